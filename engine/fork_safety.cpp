// The engine's fork handlers.
#include "fork_safety.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace reelpipe {

namespace {

// Bumped by the child's handler, which runs while the child has one thread;
// read by any thread afterwards. Relaxed: the count changes only where no
// other thread exists to see it change.
std::atomic<std::uint64_t> forks_since_load{0};

// A thread holding the device log's lock posts to the record queue, and no
// thread holding a log lock takes a sound lock: the sound locks come first.
void before_fork() {
    hold_sound_locks_for_fork();
    hold_log_locks_for_fork();
}

void after_fork_in_parent() {
    release_log_locks_after_fork(false);
    release_sound_locks_after_fork();
}

void after_fork_in_child() {
    forks_since_load.fetch_add(1, std::memory_order_relaxed);
    release_log_locks_after_fork(true);
    release_sound_locks_after_fork();
    forget_inherited_decoders();
}

}  // namespace

std::uint64_t fork_generation() { return forks_since_load.load(std::memory_order_relaxed); }

void install_fork_handlers() {
    static std::once_flag installed;
    std::call_once(installed, [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
}

}  // namespace reelpipe
