// Where playback stands, as the threads tell each other: the decoder's life
// (one state), and beside it the few conditions that hold independently of
// it and of each other: paused, buffering, a seek settling, the end of the
// input, a step. Atomics (sequentially consistent), no lock; each comment
// names the writers. The caller's questions (get_state(), is_buffering(),
// is_finished()) are answered from these fields alone.
//
// Invariants:
//   - input_ended_since_ns is non-zero exactly while input_ended holds
//     (stored before input_ended is set, cleared after it is cleared);
//   - a paused decoder is running or stopped; stop() pauses it.
#pragma once

#include <atomic>
#include <cstdint>

namespace reelpipe {

// Where a decoder is in its life, for the caller's eyes.
enum class PlaybackState { constructed, playing, paused, stopped };

// Made, running since start(), or stopped by stop() (the next start()
// reopens the device and undoes stop()'s pause).
enum class Life { constructed, running, stopped };

struct PlaybackStatus {
    // Written under the decoder's lifecycle_mutex by start() and stop().
    std::atomic<Life> life{Life::constructed};
    bool running() const { return life == Life::running; }
    PlaybackState state() const {
        switch (life.load()) {
            case Life::running:
                return paused ? PlaybackState::paused : PlaybackState::playing;
            case Life::stopped:
                return PlaybackState::stopped;
            case Life::constructed:
                break;
        }
        return PlaybackState::constructed;
    }

    std::atomic<bool> paused{false};      // pause()/stop() set, resume()/start() clear
    // Reading ahead before playback (re)starts: the sound is held. Set by a
    // seek's flush, frame delivery and the callback; cleared only by the
    // demux thread.
    std::atomic<bool> buffering{true};
    // A seek's flush sets; the decode threads clear it at the first picture
    // or sound kept, a failed read at the end of the input.
    std::atomic<bool> seeking{false};
    // The demux thread's last read failed (the end of the input, or an
    // error); and the steady time (ns) of the failed read that began it, so
    // that the decode threads tell a lasting end from a momentary one.
    std::atomic<bool> input_ended{false};
    std::atomic<std::int64_t> input_ended_since_ns{0};
    // Steady time (ns) at which buffering, with enough read, began waiting
    // for a first picture; 0 while it does not. Demux thread only.
    std::int64_t picture_wait_since = 0;
    // Frame delivery has handed out a picture since the decoder was made;
    // until then the audio thread decodes less sound ahead. Set by frame
    // delivery, never cleared.
    std::atomic<bool> first_picture_out{false};
    // step() holds the pictures of a decoder without sound by the picture
    // clock until resume(), as realtime does; and, with sound, leaves the
    // sound behind the picture shown, for resume() to seek to it. Set by
    // step(), cleared by resume() (and seek(), for the sound).
    std::atomic<bool> step_hold{false};
    std::atomic<bool> stepped_with_sound{false};
};

}  // namespace reelpipe
