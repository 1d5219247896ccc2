// The playback callback, the audio clock it advances, and the playback
// controls.
#include <cstring>

#include "media_decoder.h"

namespace reelpipe {

// Runs on miniaudio's real-time device thread: no allocation, no
// interpreter, one lock.
void audio_data_callback(ma_device* device, void* output, const void* /*input*/, ma_uint32 frame_count) {
    auto* decoder = static_cast<MediaDecoder*>(device->pUserData);
    if (decoder == nullptr || decoder->paused || decoder->buffering) {
        std::memset(output, 0, static_cast<std::size_t>(frame_count) * playback_frame_bytes);
        return;
    }
    decoder->play_period(output, frame_count);
}

// Plays one whole period from audio_buffer and advances the clock by it, or
// on an underrun plays silence and keeps the partial period for later. An
// underrun starts buffering only when reading is short of data too: when
// enough has been read already, the audio thread is just catching up (as at
// the start), and buffering would wait for the demux thread, which may sit
// in a stalled read while everything needed to play is at hand. Takes
// audio_buffer_mutex.
void MediaDecoder::play_period(void* output, ma_uint32 frame_count) {
    const std::size_t bytes = static_cast<std::size_t>(frame_count) * playback_frame_bytes;
    last_period_bytes = bytes;
    std::lock_guard<std::mutex> lock(audio_buffer_mutex);
    if (audio_buffer.size() < bytes) {
        if (read_ahead() < min_buffer_ahead) buffering = true;
        std::memset(output, 0, bytes);
        return;
    }
    audio_clock = audio_clock + static_cast<double>(frame_count) / playback_rate;
    audio_clock_moved_at = steady_now_ns();
    audio_buffer.pop_into(output, bytes);
}

double MediaDecoder::get_position() const { return audio_stream_index >= 0 ? audio_clock : video_clock; }

// The device's gain; 0.0 once stop() has released the device (an
// uninitialised device has no gain), 1.0 without sound.
float MediaDecoder::get_volume() {
    if (audio_stream_index < 0) return 1.0f;
    std::lock_guard<std::mutex> lock(device_mutex);
    if (!audio_device_ready) return 0.0f;
    float gain = 0.0f;
    ma_device_get_master_volume(&audio_device, &gain);
    return gain;
}

// Negative values and NaN mean silence; there is no upper bound.
void MediaDecoder::set_volume(float requested) {
    if (audio_stream_index < 0) return;
    const float gain = requested > 0.0f ? requested : 0.0f;
    volume = gain;
    std::lock_guard<std::mutex> lock(device_mutex);
    if (audio_device_ready) ma_device_set_master_volume(&audio_device, gain);
}

bool MediaDecoder::is_buffering() const { return buffering || seeking; }

void MediaDecoder::pause() {
    paused = true;
    if (audio_stream_index < 0) return;
    std::lock_guard<std::mutex> lock(device_mutex);
    if (audio_device_ready) ma_device_stop(&audio_device);
}

void MediaDecoder::resume() {
    // The clock stood still by choice; do not take the pause for sound that
    // has run out.
    audio_clock_moved_at = steady_now_ns();
    paused = false;
    if (audio_stream_index < 0) return;
    notify_sound_waiter();
    std::lock_guard<std::mutex> lock(device_mutex);
    if (audio_device_ready && ma_device_get_state(&audio_device) != ma_device_state_started) {
        ma_device_start(&audio_device);
    }
}

}  // namespace reelpipe
