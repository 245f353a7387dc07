#include "ids.hpp"

#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include <cstring>

#include "errors.hpp"

namespace ruvo {

std::optional<double> timestamp() {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        set_internal_error("Could not read the real-time clock");
        return std::nullopt;
    }
    if (now.tv_sec < 0) {
        set_internal_error("System time is before unix epoch");
        return std::nullopt;
    }
    return static_cast<double>(static_cast<uint64_t>(now.tv_sec)) +
           static_cast<double>(static_cast<uint64_t>(now.tv_nsec)) / 1e9;
}

namespace {

// Bumped in a forked child, so that each thread's generator reseeds instead of
// repeating the ids its parent goes on making.
std::atomic<uint64_t> fork_generation{0};

// xoshiro256**, seeded from the OS random source and reseeded every 2**20
// draws. Trivially destructible: nothing to do when a thread exits.
struct Rng {
    uint64_t s[4];
    uint64_t draws_left;
    uint64_t generation;
    bool seeded;
};
thread_local Rng rng;

uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void seed(Rng& r) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(r.s);
    size_t got = 0;
    while (got < sizeof(r.s)) {
        ssize_t n = getrandom(bytes + got, sizeof(r.s) - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof(r.s)) {
        // No OS randomness: fall back to the clock and this thread's address
        // space, which still keeps ids of different threads apart.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t x = (static_cast<uint64_t>(now.tv_sec) * 1000000000ULL +
                      static_cast<uint64_t>(now.tv_nsec)) ^
                     reinterpret_cast<uintptr_t>(&r);
        for (auto& word : r.s) word ^= splitmix64(x);
    }
    if ((r.s[0] | r.s[1] | r.s[2] | r.s[3]) == 0) r.s[0] = 1;
    r.draws_left = 1u << 20;
    r.generation = fork_generation.load(std::memory_order_relaxed);
    r.seeded = true;
}

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t next_random() {
    Rng& r = rng;
    if (!r.seeded || r.draws_left == 0 ||
        r.generation != fork_generation.load(std::memory_order_relaxed)) {
        seed(r);
    }
    --r.draws_left;
    uint64_t result = rotl(r.s[1] * 5, 7) * 9;
    uint64_t t = r.s[1] << 17;
    r.s[2] ^= r.s[0];
    r.s[3] ^= r.s[1];
    r.s[1] ^= r.s[2];
    r.s[0] ^= r.s[3];
    r.s[2] ^= t;
    r.s[3] = rotl(r.s[3], 45);
    return result;
}

constexpr char CROCKFORD[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

void after_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void install_fork_handler() {
    static bool installed = false;
    if (!installed) installed = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
}

void ulid_text(uint64_t high, uint64_t low, char out[26]) {
    // Digit k from the right holds bits 5k to 5k+4: the low word gives the
    // first twelve digits, digit 12 straddles both words, the high word the rest.
    for (int k = 0; k < 12; ++k) out[25 - k] = CROCKFORD[(low >> (5 * k)) & 31u];
    out[13] = CROCKFORD[((low >> 60) | (high << 4)) & 31u];
    for (int k = 13; k < 26; ++k) out[25 - k] = CROCKFORD[(high >> (5 * k - 64)) & 31u];
}

Id new_id(const char prefix[4]) {
    struct timespec now;
    uint64_t millis = 0;
    if (clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec >= 0) {
        millis = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    }
    uint64_t random_high = next_random();
    uint64_t random_low = next_random();
    uint64_t high = ((millis & ((1ULL << 48) - 1)) << 16) | (random_high >> 48);
    Id id;
    std::memcpy(id.data(), prefix, 4);
    ulid_text(high, random_low, id.data() + 4);
    return id;
}

}  // namespace ruvo
