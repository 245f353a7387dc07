"""Registration imports what the hook needs, so that a first event in another
thread never imports: a fork during that import leaves the module locked
forever in the child. Prints the hook's modules loaded after registration."""

import sys

from threaded_host import ThreadedHost

from ruvo import _ruvo

HOOK_MODULES = ("logging", "ruvo.serialize")
assert not any(name in sys.modules for name in HOOK_MODULES)
_ruvo.register_profiler(ThreadedHost("trc_imports", "imports"))
_ruvo.register_noop_profiler()
print([name for name in HOOK_MODULES if name in sys.modules])
