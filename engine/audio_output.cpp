// The playback callback, the audio clock it advances, and the playback
// controls.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "media_decoder.h"

namespace reelpipe {

// Runs on miniaudio's real-time device thread: no allocation, no
// interpreter, one lock.
void audio_data_callback(ma_device* device, void* output, const void* /*input*/, ma_uint32 frame_count) {
    auto* decoder = static_cast<MediaDecoder*>(device->pUserData);
    if (decoder == nullptr || decoder->status.paused || decoder->status.buffering) {
        std::memset(output, 0, static_cast<std::size_t>(frame_count) * playback_frame_bytes);
        // A paused device is being stopped and keeps what it holds for the
        // resume; silence while buffering goes out like sound.
        if (decoder != nullptr && !decoder->status.paused) decoder->count_device_period(frame_count, false);
        return;
    }
    decoder->play_period(output, frame_count);
}

// The device's own buffer, by what the backend tells of it. PulseAudio
// keeps one of miniaudio's periods queued (its target length; the other
// periods are headroom it may grow into), the null backend plays one period
// at a time in real time, and the other backends play from a ring of all
// their periods.
double device_latency(const ma_device& device) {
    const ma_uint32 rate = device.playback.internalSampleRate;
    if (rate == 0) return 0.0;
    double frames = device.playback.internalPeriodSizeInFrames;
    const ma_backend backend = device.pContext != nullptr ? device.pContext->backend : ma_backend_null;
    if (backend != ma_backend_null && backend != ma_backend_pulseaudio) {
        frames *= std::max<ma_uint32>(device.playback.internalPeriods, 1);
    }
    return frames / rate;
}

// Plays one whole period from audio_buffer and sets the sound's clock to
// the time of what follows it (by the buffer's marks: a hole, a lead-in or a
// jump in the input's timestamps moves the clock with the sound), or on an
// underrun plays silence and keeps the partial period for later. An underrun starts buffering only when more
// sound is coming and reading is short of data too: when enough has been
// read already, the audio thread is just catching up (as at the start), and
// buffering would wait for the demux thread, which may sit in a stalled
// read while everything needed to play is at hand; once the last sound has
// played there is nothing to wait for. Takes the sound buffer's mutex, then
// the clock's.
//
// At a speed other than 1.0 the period comes from the tempo queue, and the
// clock from its marks; what is left in the queue after a return to 1.0
// plays first, and the sound buffer makes up the rest of the period. Takes
// the sound buffer's mutex, then the tempo queue's, then the clock's.
void MediaDecoder::play_period(void* output, ma_uint32 frame_count) {
    const std::size_t bytes = static_cast<std::size_t>(frame_count) * playback_frame_bytes;
    device_queue.last_period_bytes = bytes;
    std::lock_guard<std::mutex> lock(audio_buffer.mutex);
    std::lock_guard<std::mutex> queue(tempo_queue.mutex);
    const std::size_t left_over = tempo_queue.size();
    const bool from_tempo = tempo_queue.active || left_over >= bytes;
    if (from_tempo ? left_over < bytes : left_over + audio_buffer.size() < bytes) {
        if (!audio_buffer.drained() && read_ahead() < options.min_buffer_ahead) status.buffering = true;
        std::memset(output, 0, bytes);
        count_device_period(frame_count, false);
        return;
    }
    // Counted before the clock moves, so that a reader between the two
    // stores finds the sound heard a period behind, never ahead.
    count_device_period(frame_count, true);
    const std::int64_t now = steady_now_ns();
    if (from_tempo) {
        tempo_queue.take(output, bytes);
        const double next = tempo_queue.front_seconds();
        if (!std::isnan(next)) audio_clock.set(next, now);
        return;
    }
    tempo_queue.take(output, left_over);
    audio_buffer.take(static_cast<std::uint8_t*>(output) + left_over, bytes - left_over);
    const double next = audio_buffer.front_seconds();
    if (std::isnan(next)) {
        audio_clock.set(audio_clock.get(now) + static_cast<double>(frame_count) / playback_rate, now);
    } else {
        audio_clock.set(next, now);
    }
}

// Follows how much of the device's buffer ahead of the listener is sound,
// in the input seconds it stands for at the speed it was handed over at (a
// later change of speed does not change what it held): each period the
// device plays as much from the front of it as it is handed (sound or
// silence) at the back, and only the sound is counted into audio_clock. So
// a period of sound adds to it, up to the buffer's size, and a period of
// silence lets it run out. Device thread only.
void MediaDecoder::count_device_period(ma_uint32 frame_count, bool sound) {
    const std::uint64_t serial = seek_request.playing_serial;
    double held = serial == device_queue.held_serial ? device_queue.held.load() : 0.0;
    const double rate = audio_clock.rate();
    const double period = static_cast<double>(frame_count) / playback_rate * rate;
    held = sound ? std::min(held + period, device_queue.latency.load() * rate) : std::max(held - period, 0.0);
    device_queue.held = held;
    device_queue.held_serial = serial;
}

// Media time of the sound reaching the listener now: audio_clock counts the
// sound handed to the device, part of which the device still holds. It never
// falls below where the clock was anchored, since only sound handed since
// then is counted; until the callback has seen a flush, nothing is.
double MediaDecoder::heard_clock() const {
    const double clock = audio_clock.get(steady_now_ns());
    if (device_queue.held_serial != seek_request.playing_serial) return clock;
    return clock - device_queue.held;
}

// The sound being heard; once the pictures outlast the sound, the picture
// last shown, as without sound. Never past the input's length where the
// container knows it for sure (see within_length()).
double MediaDecoder::get_position() const {
    if (audio_stream_index >= 0 && !picture_clock.paced()) return within_length(in_lap(heard_clock()));
    return within_length(picture_in_lap(video_clock));
}

// The device's gain; 0.0 once stop() has released the device (an
// uninitialised device has no gain), 1.0 without sound.
float MediaDecoder::get_volume() {
    refuse_if_inherited();
    if (audio_stream_index < 0) return 1.0f;
    std::lock_guard<std::mutex> lock(playback.mutex);
    if (!playback.ready) return 0.0f;
    float gain = 0.0f;
    ma_device_get_master_volume(&playback.device, &gain);
    return gain;
}

// Negative values and NaN mean silence; there is no upper bound.
void MediaDecoder::set_volume(float requested) {
    refuse_if_inherited();
    if (audio_stream_index < 0) return;
    const float gain = requested > 0.0f ? requested : 0.0f;
    volume = gain;
    std::lock_guard<std::mutex> lock(playback.mutex);
    if (playback.ready) ma_device_set_master_volume(&playback.device, gain);
}

bool MediaDecoder::is_buffering() const { return status.buffering || status.seeking || seek_request.pending; }

void MediaDecoder::pause() {
    refuse_if_inherited();
    status.paused = true;
    picture_clock.set_paused(true, steady_now_ns());
    if (audio_stream_index < 0) return;
    std::lock_guard<std::mutex> lock(playback.mutex);
    if (playback.ready) ma_device_stop(&playback.device);
}

void MediaDecoder::resume() {
    refuse_if_inherited();
    // After a step the sound still stands where it was paused: play on from
    // the picture shown instead.
    if (status.stepped_with_sound.exchange(false) && status.running) bring_sound_to_step();
    if (status.step_hold.exchange(false) && !options.realtime && audio_stream_index < 0) {
        picture_clock.stop_pacing(steady_now_ns());
    }
    // The clock stood still by choice; do not take the pause for sound that
    // has run out.
    const std::int64_t now = steady_now_ns();
    audio_clock.set(audio_clock.get(now), now);
    picture_clock.set_paused(false, now);
    status.paused = false;
    if (audio_stream_index < 0) return;
    notify_sound_waiter();
    {
        std::lock_guard<std::mutex> queue(tempo_queue.mutex);
        tempo_queue.cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(playback.mutex);
    if (playback.ready && ma_device_get_state(&playback.device) != ma_device_state_started) {
        ma_device_start(&playback.device);
    }
}

}  // namespace reelpipe
