// A forked child's own trace: after os.fork() every profiler state of the
// child starts a new trace, so that the child never saves the parent's
// records, nor under the parent's trace id.
#pragma once

namespace ruvo {

struct ProfilerState;

// Tells a live state's new trace to it (and its host) in every forked child
// from now on. The first call registers the handler with os.register_at_fork.
// False with the error set.
bool follow_forks(ProfilerState* state);

// A state being destroyed; safe for one that was never followed.
void stop_following_forks(ProfilerState* state);

}  // namespace ruvo
