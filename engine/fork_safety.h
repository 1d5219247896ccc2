// What a fork of a process that plays leaves usable in the child.
//
// fork() copies the memory of every thread but keeps only the forking one:
// a lock another thread held at that moment stays held in the child for
// good, and a decoder's threads (its own, FFmpeg's frame threads, the sound
// device's) simply do not exist there. So the process-wide locks of the
// engine are taken by the forking thread around the fork and released on
// both sides, and a decoder made before the fork is abandoned in the child:
// never joined, its FFmpeg contexts never freed, its memory left to the
// process's end. Decoders made in the child are whole and work as anywhere.
#pragma once

#include <cstdint>

namespace reelpipe {

// How many forks lie between the process that loaded the engine and this
// one: 0 there, one more in each child. A decoder records it when it is
// made; one whose number differs was inherited through a fork.
std::uint64_t fork_generation();

// Registers the engine's fork handlers, once per process; called before any
// of the locks they guard can be taken by a second thread.
void install_fork_handlers();

// The process-wide locks each file owns, for the fork handlers alone, in
// the order they take them. Held by the forking thread across fork();
// released in the parent, and in the child, which also drops whatever
// belongs to the parent alone.
void hold_sound_locks_for_fork();     // sound_device.cpp: the sound libraries' quieting, the device log
void release_sound_locks_after_fork();
void hold_log_locks_for_fork();       // log_queue.cpp: the input registry, the record queue
void release_log_locks_after_fork(bool in_child);

// The child's count of picture threads held by open decoders starts from
// none: the inherited decoders are never destroyed, so they would never
// give theirs back (lifecycle.cpp).
void forget_inherited_decoders();

}  // namespace reelpipe
