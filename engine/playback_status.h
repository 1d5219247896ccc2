// Where playback stands: one status word, read whole by every question
// about it and moved only by the named transitions below, each one
// compare-and-swap, so that two threads racing to move it (a decode thread
// settling a seek while the callback runs short, stop() while the demux
// thread ends buffering) each see the other's move and none undoes it.
//
// Beside the word stand the conditions that are about something else than
// playback's course, and so change independently of it: where reading met
// the end of the input, whether a picture has ever been handed out, and a
// step's hold on the pictures and the sound.
#pragma once

#include <atomic>
#include <cstdint>

namespace reelpipe {

// Where a decoder is in its life, for the caller's eyes.
enum class PlaybackState { constructed, playing, paused, stopped };

// Made, running since start(), or stopped by stop().
enum class Life : std::uint8_t { constructed, running, stopped };

// The pipeline's course. Two waits hold playback, and they end apart: the
// read-ahead, which the demux thread ends once enough is read, and after a
// seek the first picture or sound of the new position, which a decode
// thread ends once it keeps one. A seek begins both; either may end first.
enum class Phase : std::uint8_t {
    // Reading ahead before playback (re)starts: the sound plays silence and
    // paced pictures wait. A decoder is made in this phase.
    buffering,
    // A seek emptied the pipeline: reading ahead from its target, nothing
    // of it decoded yet. Held as while buffering.
    seeking,
    // Read far enough after a seek, its first picture or sound still being
    // decoded: nothing holds playback, but the seek has not yet settled.
    settling,
    playing,
};

class PlaybackStatus {
public:
    // One reading of the word.
    struct Standing {
        Life life = Life::constructed;
        Phase phase = Phase::buffering;
        bool paused = false;  // by the caller (pause(), step()) or by stop()

        bool running() const { return life == Life::running; }
        // The pipeline holds playback for data: the sound plays silence,
        // its clock stands, paced pictures wait, the demux thread reads on.
        bool held() const { return phase == Phase::buffering || phase == Phase::seeking; }
        // What is_buffering() reports, a seek not yet carried out aside:
        // reading ahead, or a seek not yet settled.
        bool buffering() const { return phase != Phase::playing; }
        // A seek is under way: its first picture or sound not yet kept.
        bool seek_unsettled() const { return phase == Phase::seeking || phase == Phase::settling; }
        // The sound's clock moves: neither paused nor held.
        bool clock_moves() const { return !paused && !held(); }
        PlaybackState state() const {
            switch (life) {
                case Life::running:
                    return paused ? PlaybackState::paused : PlaybackState::playing;
                case Life::stopped:
                    return PlaybackState::stopped;
                case Life::constructed:
                    break;
            }
            return PlaybackState::constructed;
        }
    };

    Standing now() const { return unpack(word.load()); }
    bool running() const { return now().running(); }
    bool paused() const { return now().paused; }
    bool held() const { return now().held(); }

    // --- Transitions. Each says who makes it.

    // start(), under the decoder's lifecycle_mutex: running; a restart
    // undoes stop()'s pause. The phase stays: a decoder stopped while it
    // buffered buffers on.
    void start() {
        change([](Standing s) {
            if (s.life == Life::stopped) s.paused = false;
            s.life = Life::running;
            return s;
        });
    }
    // stop(), under lifecycle_mutex: stopped, and paused until start().
    void stop() {
        change([](Standing s) {
            s.life = Life::stopped;
            s.paused = true;
            return s;
        });
    }
    // pause(), step() and resume(), on the caller's thread.
    void pause() { set_paused(true); }
    void resume() { set_paused(false); }

    // A seek's flush (demux thread): both of a seek's waits begin.
    void begin_seek() { set_phase(Phase::seeking); }
    // A decode thread kept the first picture or sound of the new position,
    // or reading failed at the end of the input (demux thread): the seek
    // has settled. Nothing changes outside a seek.
    void seek_settled() {
        change([](Standing s) {
            if (s.phase == Phase::seeking) s.phase = Phase::buffering;
            if (s.phase == Phase::settling) s.phase = Phase::playing;
            return s;
        });
    }
    // The demux thread read far enough, or reading failed: the read-ahead
    // wait is over.
    void buffering_done() {
        change([](Standing s) {
            if (s.phase == Phase::buffering) s.phase = Phase::playing;
            if (s.phase == Phase::seeking) s.phase = Phase::settling;
            return s;
        });
    }
    // Frame delivery found no picture, or the callback too little sound:
    // playback waits for data again. True when this began the wait.
    bool run_short() {
        return change([](Standing s) {
            if (s.phase == Phase::playing) s.phase = Phase::buffering;
            if (s.phase == Phase::settling) s.phase = Phase::seeking;
            return s;
        });
    }

    // --- Beside the word.

    // Steady time (ns) of the failed read that began the end of the input
    // reading last met (the end, or an error); 0 while reading goes on, so
    // that the decode threads tell a lasting end from a momentary one.
    // Written by the demux thread.
    bool input_ended() const { return input_ended_at_ns != 0; }
    std::int64_t input_ended_at() const { return input_ended_at_ns; }
    void note_input_end(std::int64_t now_ns) {
        if (input_ended_at_ns == 0) input_ended_at_ns = now_ns;
    }
    void input_goes_on() { input_ended_at_ns = 0; }

    // Steady time (ns) at which buffering, with enough read, began waiting
    // for a first picture; 0 while it does not. Demux thread only.
    std::int64_t picture_wait_since = 0;
    // step() holds the pictures of a decoder without sound by the picture
    // clock until resume(), as realtime does; and, with sound, leaves the
    // sound behind the picture shown, for resume() to seek to it. Set by
    // step(), cleared by resume() (and seek(), for the sound). They outlast
    // a stop() and start(), which a pause does not.
    std::atomic<bool> step_hold{false};
    std::atomic<bool> stepped_with_sound{false};

private:
    // The word: life in bits 0-1, phase in bits 2-3, paused in bit 4.
    static std::uint8_t pack(Standing s) {
        return static_cast<std::uint8_t>(static_cast<unsigned>(s.life) | static_cast<unsigned>(s.phase) << 2 |
                                         static_cast<unsigned>(s.paused) << 4);
    }
    static Standing unpack(std::uint8_t bits) {
        return {static_cast<Life>(bits & 3u), static_cast<Phase>(bits >> 2 & 3u), (bits >> 4 & 1u) != 0};
    }
    // Applies `next` to the word as it stands until no other thread moved
    // it meanwhile; true when the word changed.
    template <typename Next>
    bool change(Next next) {
        std::uint8_t seen = word.load();
        for (;;) {
            const std::uint8_t wanted = pack(next(unpack(seen)));
            if (wanted == seen) return false;
            if (word.compare_exchange_weak(seen, wanted)) return true;
        }
    }
    void set_paused(bool paused) {
        change([paused](Standing s) {
            s.paused = paused;
            return s;
        });
    }
    void set_phase(Phase phase) {
        change([phase](Standing s) {
            s.phase = phase;
            return s;
        });
    }

    // Sequentially consistent, as the decoder's other flags: a thread that
    // reads the word after a transition also sees what was written before
    // it (a seek's new serial before begin_seek()).
    std::atomic<std::uint8_t> word{pack(Standing{})};
    std::atomic<std::int64_t> input_ended_at_ns{0};
};

}  // namespace reelpipe
