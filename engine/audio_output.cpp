// The decoder's side of the sound output: what its callback asks, and the
// playback controls.
#include <stdexcept>

#include "media_decoder.h"

namespace reelpipe {

// Device thread: the sound is held while buffering.
bool MediaDecoder::sound_held() const { return status.held(); }

// Device thread: a period found too little sound. That starts buffering
// only when more sound is coming and reading is short of data too: when
// enough has been read already, the audio thread is just catching up (as at
// the start), and buffering would wait for the demux thread, which may sit
// in a stalled read while everything needed to play is at hand; once the
// last sound has played there is nothing to wait for.
void MediaDecoder::sound_ran_short() {
    if (!sound.drained() && read_ahead() < options.min_buffer_ahead) status.run_short();
}

// The sound being heard; once the pictures outlast the sound, the picture
// last shown, as without sound. Never past the input's length where the
// container knows it for sure (see within_length()).
double MediaDecoder::get_position() const {
    if (audio_stream_index >= 0 && !picture_clock.paced()) return within_length(in_lap(sound.heard_seconds()));
    return within_length(picture_in_lap(video_clock));
}

// 0.0 once stop() has released the device, 1.0 without sound.
float MediaDecoder::get_volume() {
    refuse_if_inherited();
    if (audio_stream_index < 0) return 1.0f;
    return sound.volume();
}

void MediaDecoder::set_volume(float requested) {
    refuse_if_inherited();
    if (audio_stream_index < 0) return;
    sound.set_volume(requested);
}

bool MediaDecoder::is_buffering() const { return status.now().buffering() || seek_request.pending; }

void MediaDecoder::pause() {
    refuse_if_inherited();
    status.pause();
    picture_clock.set_paused(true, steady_now_ns());
    if (audio_stream_index < 0) return;
    sound.pause();
}

void MediaDecoder::resume() {
    refuse_if_inherited();
    // After a step the sound still stands where it was paused: play on from
    // the picture shown instead.
    if (status.stepped_with_sound.exchange(false) && status.running()) bring_sound_to_step();
    if (status.step_hold.exchange(false) && !options.realtime && audio_stream_index < 0) {
        picture_clock.stop_pacing(steady_now_ns());
    }
    picture_clock.set_paused(false, steady_now_ns());
    status.resume();
    // Without sound too: the sound output's clock is the one the position
    // reads when sound comes back after a restart.
    sound.resume();
}

// Refuses NaN and factors outside slowest_speed..fastest_speed; the rest
// takes effect at once for the clocks and within a fraction of a second for
// the sound (see SoundOutput::set_speed()).
void MediaDecoder::set_speed(double factor) {
    refuse_if_inherited();
    if (!(factor >= slowest_speed && factor <= fastest_speed)) {
        throw std::invalid_argument("speed must be a factor from 0.25 to 4.0");
    }
    std::lock_guard<std::mutex> lock(speed_mutex);
    caller_speed = factor;
    apply_speed();
}

// The caller's speed alone: a live catch-up is not the caller's choice.
double MediaDecoder::get_speed() const { return caller_speed; }

}  // namespace reelpipe
