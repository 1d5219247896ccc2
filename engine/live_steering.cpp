// A live input held at its target delay behind the newest moment read (see
// live_steering.h): the demux thread notes what it reads, measures how late
// playback is after each packet and steers: playing faster, or skipping
// ahead within what it holds.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "media_decoder.h"

namespace reelpipe {

// The options a live input plays with: buffering ends once the target's
// worth is read (with a picture), and pictures without sound are paced, so
// that their clock says how late they are.
DecoderOptions MediaDecoder::for_live(DecoderOptions options) {
    if (!options.latency) return options;
    options.min_buffer_ahead = std::min(*options.latency, options.max_buffer_ahead);
    options.realtime = true;
    return options;
}

// What the sound path keeps in its ring to the device. The sound heard
// stands that far behind the newest sound at the least, which sets the
// least delay a live input can be held at; near the edge it is cut to a
// share of the target, down to a floor that still covers the feeder's
// 10 ms look and a late wake on a busy machine (the ring never keeps less
// than four device periods either).
double MediaDecoder::ring_fill_for(const DecoderOptions& options) {
    constexpr double live_ring_share = 0.25;
    constexpr double least_live_ring_fill = 0.04;
    if (!options.latency) return SoundOutput::usual_ring_fill_seconds;
    return std::clamp(*options.latency * live_ring_share, least_live_ring_fill,
                      SoundOutput::usual_ring_fill_seconds);
}

// Demux thread, for each packet queued (`seconds` on the pipeline's scale,
// NaN without a timestamp): moves the live edge on and keeps the packet for
// a skip, forgetting what no skip to the target behind the edge needs.
void MediaDecoder::hold_for_live(const AVPacket& packet, double seconds, bool video) {
    if (!options.latency || std::isnan(seconds)) return;
    const double edge = live.edge;
    if (std::isnan(edge) || seconds > edge) live.edge = seconds;
    if (!video && (std::isnan(live.sound_edge) || seconds > live.sound_edge)) live.sound_edge = seconds;
    if (!std::isnan(live.sound_edge)) live.sound_lag.note(live.edge - live.sound_edge, steady_now_ns());
    // Without pictures any sound packet is a place to start decoding from.
    const bool starts = video ? (packet.flags & AV_PKT_FLAG_KEY) != 0 : video_stream_index < 0;
    live.history.add(packet, seconds, video, starts);
    live.history.forget_before(live.edge - live_target());
}

// Where playback stands: the sound heard once it plays, else the pictures'
// clock (paced from the first picture), else the last picture's time.
double MediaDecoder::live_position() const {
    if (audio_stream_index >= 0 && !picture_clock.paced() && sound.anchored()) return sound.heard_seconds();
    if (picture_clock.paced()) return picture_clock.get(steady_now_ns());
    return video_clock;
}

std::optional<double> MediaDecoder::get_latency() const {
    const double edge = live.edge;
    if (!options.latency || std::isnan(edge)) return std::nullopt;
    return std::max(0.0, edge - live_position());
}

// The delay steered to: the caller's latency, or, when it is shorter, the
// least the sound allows plus the span of a packet of sound (catching up
// could never reach less; it would play fast for good, running the sound
// dry before each packet). That least is what the sound path holds while it
// plays, or, when the input packs its sound more coarsely, how far its
// newest sound trails the edge and what the device holds.
double MediaDecoder::live_target() const {
    constexpr double sound_packet_span = 0.03;
    const double target = *options.latency;
    if (audio_stream_index < 0) return target;
    const double packed = live.sound_lag.largest() + sound.device_latency();
    return std::max(target, std::max(sound.least_lead(), packed) + sound_packet_span);
}

// Demux thread, after each packet read: steers the delay toward the target.
// A pause is the caller's to hold (playback skips ahead once it resumes),
// and a skip or seek under way has not settled the position yet.
void MediaDecoder::steer_live() {
    if (!options.latency || seek_request.pending) return;
    const PlaybackStatus::Standing standing = status.now();
    if (standing.paused || standing.seek_unsettled()) return;
    const double edge = live.edge;
    if (std::isnan(edge)) return;
    const double target = live_target();
    const double excess = edge - live_position() - target;
    const std::int64_t now = steady_now_ns();
    if (excess < -hold_back_beyond && audio_stream_index < 0 && picture_clock.paced()) {
        // Pictures without sound are paced from the first one shown, which
        // came as soon as it was decoded, at the edge: their clock steps
        // back to the target (the next pictures wait), or every picture
        // would come just in time or late.
        picture_clock.set(edge - target, now);
        return;
    }
    const bool bursting = live.burst.bursting(edge, now);
    switch (steer_for(excess, live.catching_up, bursting)) {
    case Steer::skip:
        // Nothing to start from yet (no key frame read): catch up meanwhile.
        set_catch_up(skip_ahead_to(edge - target) ? 1.0 : catch_up_speed);
        break;
    case Steer::catch_up:
        set_catch_up(catch_up_speed);
        break;
    case Steer::hold:
        set_catch_up(1.0);
        break;
    }
}

// Starts a new serial of the pipeline at `target`, decoding it from the
// newest starting point held at or before it: the pictures before the
// target are decoded but not shown, the sound starts at the target, so no
// picture comes out of order. False when no starting point is held.
bool MediaDecoder::skip_ahead_to(double target) {
    const std::optional<double> start = live.history.start_at_or_before(target);
    if (!start) return false;
    live.history.forget_before(*start);
    char text[96];
    std::snprintf(text, sizeof text, "live input: %.3f s behind; skipping ahead to %.3f s",
                  live.edge - live_position(), target);
    log_event(LogLevel::debug, text);
    flush_pipeline(target, target);
    status.picture_wait_since = 0;
    for (const LiveHistory::Held& held : live.history.held()) {
        PacketQueue& queue = held.video ? video_packets_in : audio_packets_in;
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.push(*held.packet, seek_request.playing_serial, held.seconds);
    }
    return true;
}

// Demux thread: plays at `factor` times the caller's speed.
void MediaDecoder::set_catch_up(double factor) {
    live.catching_up = factor != 1.0;
    std::lock_guard<std::mutex> lock(speed_mutex);
    if (catch_up_factor == factor) return;
    catch_up_factor = factor;
    apply_speed();
}

// Hands the speed (the caller's times the catch-up's) to the clocks and the
// sound. Called with speed_mutex held.
void MediaDecoder::apply_speed() {
    const double speed = std::min(caller_speed * catch_up_factor, fastest_speed);
    picture_clock.set_rate(speed, steady_now_ns());
    sound.set_speed(speed);
}

}  // namespace reelpipe
