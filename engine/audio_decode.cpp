// The audio decode thread: packets from audio_packet_queue become sound in
// the playback format, appended to the sound output.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "media_decoder.h"

namespace reelpipe {

namespace {

// How often a full sound buffer is looked at again while it plays: it holds
// seconds of sound (see wait_for_buffer_room()), so a look every 50 ms keeps
// it as full as one every 10 ms would, and spares each decoder 80 wake-ups a
// second, which add up once many decoders share a few cores.
constexpr auto buffer_full_poll = std::chrono::milliseconds(50);
// The sound buffer holds at least this many seconds, however short the
// read-ahead limit: the callback takes whole periods, and a buffer held
// below one would never play.
constexpr double shortest_sound_ahead = 1.0;

}  // namespace

void MediaDecoder::audio_decode_loop() {
    const DecodeStream stream{audio_packets_in, audio_codec_ctx.get(), &MediaDecoder::sound_dry, false,
                              &MediaDecoder::begin_sound_lap};
    decode_loop(stream, &MediaDecoder::decode_audio_packet, &MediaDecoder::announce_sound_exhausted,
                &MediaDecoder::expect_more_sound);
}

// A new lap of a looped input, its decoder flushed: a flush does not bring
// back the warm-up the decoder trims at the start of the stream (the
// codec's initial padding, unless the lap's first packet says what to
// trim itself), so it is dropped here; and the lap's sound joins the sound
// before it sample for sample. Called on the audio thread.
void MediaDecoder::begin_sound_lap(const AVPacket& first) {
    std::size_t size = 0;
    const bool trims_itself = av_packet_get_side_data(&first, AV_PKT_DATA_SKIP_SAMPLES, &size) != nullptr;
    lap_warm_up_left = trims_itself ? 0 : format_ctx->streams[audio_stream_index]->codecpar->initial_padding;
    lap_warm_up_serial = seek_request.playing_serial;
    lap_sound_joins = true;
}

// Drops what is left of a lap's warm-up from the start of `frame`, of
// pipeline `serial` (a seek since the seam leaves none); the seconds
// dropped. Called on the audio thread.
double MediaDecoder::drop_lap_warm_up(const AVFrame* frame, std::uint64_t serial) {
    if (serial != lap_warm_up_serial) lap_warm_up_left = 0;
    if (lap_warm_up_left <= 0 || frame->sample_rate <= 0) return 0.0;
    const std::int64_t dropped = std::min<std::int64_t>(lap_warm_up_left, frame->nb_samples);
    lap_warm_up_left -= dropped;
    return static_cast<double>(dropped) / frame->sample_rate;
}

// The last sound of the input is in the sound output, unless a seek has
// begun a new serial since the decoder was drained. Called on the audio
// thread.
void MediaDecoder::announce_sound_exhausted(std::uint64_t serial) { sound.set_drained(serial); }

// Input came again after the audio decoder was drained.
void MediaDecoder::expect_more_sound() { sound.expect_more(); }

// True when the callback has less than a period left to play. Called on the
// audio thread.
bool MediaDecoder::sound_dry() {
    const std::size_t queued = sound.queued_bytes();
    return queued == 0 || queued < sound.period_bytes();
}

// Feeds one packet (null: the end of the stream) of pipeline `serial` and
// converts every frame it yields, until a seek is requested. Called on the
// audio thread.
void MediaDecoder::decode_audio_packet(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial) {
    if (avcodec_send_packet(audio_codec_ctx.get(), packet) != 0) return;
    while (avcodec_receive_frame(audio_codec_ctx.get(), scratch) == 0) {
        const bool go_on = handle_audio_frame(scratch, serial);
        av_frame_unref(scratch);
        if (!go_on) return;
    }
}

// Drops the sound before where the serial plays from, to the sample (a
// frame that straddles it keeps only its part from there on), so that the
// sound starts where the position says; waits for room and appends the
// converted sound with its time; the first sound of a serial
// anchors the sound output (see SoundBuffer::anchor: a track that starts
// later than the point playback starts from is preceded by silence, a
// larger gap is no lead-in but a hole, and the clock starts at the sound).
// Returns false when a seek is pending, or has begun a new serial, and the
// packet must be abandoned. Called on the audio thread.
bool MediaDecoder::handle_audio_frame(const AVFrame* frame, std::uint64_t serial) {
    if (serial != seek_request.playing_serial) return false;
    const std::int64_t ts = frame->best_effort_timestamp;
    double t = std::numeric_limits<double>::quiet_NaN();
    double skipped = drop_lap_warm_up(frame, serial);
    const double length = frame->sample_rate > 0 ? static_cast<double>(frame->nb_samples) / frame->sample_rate : 0.0;
    if (skipped >= length && length > 0.0) return true;
    if (ts != AV_NOPTS_VALUE) {
        t = stream_seconds(audio_time_base, ts);
        const double from = seek_request.playing_from;
        if (t + length <= from) return true;
        if (t + skipped < from) skipped = from - t;
    }
    status.seek_settled();
    wait_for_buffer_room();
    if (seek_request.pending) return false;
    try {
        convert_and_append(frame, t, skipped, serial);
    } catch (const std::bad_alloc&) {
        // Out of memory costs this frame's sound, not the process.
    }
    return true;
}

// Waits while the sound output holds more than it should ahead of the
// clock (at least shortest_sound_ahead seconds): in buffer_full_poll steps
// while the device drains it, and while playback is paused (nothing drains it then)
// until resume(), a seek or stop() wakes it. Playing, only min_buffer_ahead
// is decoded: the packets read up to max_buffer_ahead ahead are what
// carries playback through a slow input, and decoding them further ahead
// would only hold seconds of sound per decoder in memory (176 kB each) and,
// for decoders started together, spend their first moments on sound not yet
// needed while their first pictures wait for a core. Held for data (a start,
// a seek), only the least is decoded: nothing plays until the first picture
// is out, and the core is that picture's. Paused, nothing is due, and the
// sound may fill up to max_buffer_ahead. A pause, a resume or the end of the
// hold during the wait moves the limit at once. Called on the audio thread.
void MediaDecoder::wait_for_buffer_room() {
    for (;;) {
        const PlaybackStatus::Standing standing = status.now();
        double ahead = std::min(options.min_buffer_ahead, options.max_buffer_ahead);
        if (standing.paused) {
            ahead = options.max_buffer_ahead;
        } else if (standing.held()) {
            ahead = shortest_sound_ahead;
        }
        const double limit = playback_bytes_per_second * std::max(ahead, shortest_sound_ahead);
        bool limit_moved = false;
        sound.wait_for_room(
            static_cast<std::size_t>(limit), buffer_full_poll,
            [this, standing, &limit_moved] {
                if (!status.running() || seek_request.pending) return true;
                const PlaybackStatus::Standing current = status.now();
                limit_moved = current.paused != standing.paused || current.held() != standing.held();
                return limit_moved;
            },
            [this] { return status.paused(); });
        if (!limit_moved) return;
    }
}

// Converts one frame of pipeline `serial` to the playback format and
// appends it to the sound output with its time (`seconds`, NaN when it has
// none), less its first `skipped` seconds. A failed conversion adds nothing,
// and neither does sound of a serial that a seek has ended (judged under the
// sound output's lock, which the seek's flush takes to move the serial on).
// May throw std::bad_alloc.
void MediaDecoder::convert_and_append(const AVFrame* frame, double seconds, double skipped, std::uint64_t serial) {
    SoundConverter::Converted converted = sound_converter.convert(frame);
    const std::size_t skipped_bytes = std::min(
        converted.bytes, static_cast<std::size_t>(std::llround(skipped * playback_rate)) * playback_frame_bytes);
    converted.data += skipped_bytes;
    converted.bytes -= skipped_bytes;
    seconds += static_cast<double>(skipped_bytes) / playback_bytes_per_second;
    if (converted.bytes == 0) return;
    sound.append(converted.data, converted.bytes, seconds, serial, std::exchange(lap_sound_joins, false));
}

}  // namespace reelpipe
