// Frame delivery: hands out the picture that is due against the sound, and
// answers the stream queries.
#include <algorithm>
#include <cmath>

#include "media_decoder.h"

namespace reelpipe {

namespace {

constexpr double early_margin = 0.01;  // a picture may be shown this much early
constexpr double late_margin = 0.1;    // and this much late before it is dropped
// An early picture waits at least this long before it is judged again (the
// clock may be a moment overdue), and at most the longer bound, so that a
// pause, a resume or a re-anchored clock are seen soon.
constexpr double shortest_early_wait = 0.001;
constexpr double longest_early_wait = 0.02;
// How late a device callback may come against its period without an early
// picture waking before it.
constexpr double callback_jitter = 0.002;
// The sound counts as run out when, at the end of the input, the audio
// clock has not moved for this long.
constexpr std::int64_t stall_ns = 100'000'000;

}  // namespace

FramePtr MediaDecoder::get_next_frame() {
    // Without pictures there is nothing to wait for, and waiting would only
    // hold the sound in buffering.
    if (video_stream_index < 0) return {};
    for (;;) {
        std::unique_lock<std::mutex> lock(frame_queue_mutex);
        // Only a pipeline with nothing left to decode needs the demux thread to
        // read ahead again; with packets still queued the pictures are coming.
        if (frame_queue.empty() && video_packets_queued == 0 && running && !end_of_stream && !seek_requested &&
            !buffering) {
            buffering = true;
        }
        frame_queue_cv.wait(lock, [this] {
            return (!frame_queue.empty() && !buffering) || !running || input_finished() || seek_requested;
        });
        // Reading may have ended while pictures are still being decoded: the
        // wait above ends only once the last of them is queued.
        if (seek_requested || frame_queue.empty()) return {};

        const Verdict verdict = judge_front_picture(frame_queue.front().get());
        if (verdict == Verdict::early) {
            // After stop() nothing moves the clock again: do not wait for it.
            if (!running) return {};
            frame_queue_cv.wait_for(lock, early_wait(frame_queue.front().get()),
                                    [this] { return !running || seek_requested; });
            continue;
        }
        FramePtr picture = std::move(frame_queue.front());
        frame_queue.pop_front();
        frame_queue_bytes -= static_cast<std::size_t>(picture->linesize[0]) * static_cast<std::size_t>(height);
        // The video thread may be waiting for room in the queue.
        frame_queue_cv.notify_all();
        if (verdict == Verdict::late) continue;
        if (picture->pts != AV_NOPTS_VALUE) video_clock = picture_seconds(picture.get());
        return picture;
    }
}

// The one conversion of a picture's timestamp into the seconds the caller
// sees, counted from the input's start; video_clock holds these.
double MediaDecoder::picture_seconds(const AVFrame* picture) const {
    return stream_seconds(video_time_base, picture->pts);
}

// Places the front picture against the display window around the audio
// clock. Called with frame_queue_mutex held.
MediaDecoder::Verdict MediaDecoder::judge_front_picture(const AVFrame* picture) {
    if (picture->pts == AV_NOPTS_VALUE || audio_stream_index < 0) return Verdict::deliver;
    const double t = picture_seconds(picture);
    if (t <= 0.0) return Verdict::deliver;
    if (sound_ran_out()) {
        // The sound has run out before the pictures: pace what is left by the
        // wall clock, from the last picture shown when that began. A fixed
        // start keeps the early margin from adding up picture by picture.
        const std::int64_t now = steady_now_ns();
        if (wall_pacing_since_ns == 0) {
            wall_pacing_since_ns = now;
            wall_pacing_from = video_clock;
        }
        const double elapsed = static_cast<double>(now - wall_pacing_since_ns) / 1e9;
        return t - wall_pacing_from <= elapsed + early_margin ? Verdict::deliver : Verdict::early;
    }
    wall_pacing_since_ns = 0;
    const double a = heard_clock();
    if (t > a + early_margin) return Verdict::early;
    if (a - late_margin > t) return Verdict::late;
    return Verdict::deliver;
}

// How long the early front picture can wait before it may be due: until the
// callback that brings the audio clock up to it (the clock moves a whole
// device period at a time, so waking sooner finds it where it was), or until
// its time when the pictures are paced by the wall clock. Called with
// frame_queue_mutex held, after judge_front_picture() found the picture early.
std::chrono::nanoseconds MediaDecoder::early_wait(const AVFrame* picture) const {
    const double t = picture_seconds(picture);
    const double now = static_cast<double>(steady_now_ns()) / 1e9;
    double wait = longest_early_wait;  // paused or buffering: the clock stands still
    if (wall_pacing_since_ns != 0) {
        wait = static_cast<double>(wall_pacing_since_ns) / 1e9 + (t - wall_pacing_from - early_margin) - now;
    } else if (!paused && !buffering) {
        const double ahead = t - early_margin - heard_clock();
        const double period = static_cast<double>(last_period_bytes) / playback_bytes_per_second;
        const double moved_at = static_cast<double>(audio_clock_moved_at) / 1e9;
        wait = period > 0.0 ? moved_at + std::ceil(ahead / period) * period + callback_jitter - now : ahead;
    }
    wait = std::isfinite(wait) ? std::clamp(wait, shortest_early_wait, longest_early_wait) : longest_early_wait;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(wait * 1e9));
}

// True when the sound is over (the input has ended, or the sound track has
// ended long before the pictures), the audio clock has stood still for a
// while without a pause, and less than a period of sound is left: nothing
// will move the clock again. A clock that is merely late (a busy machine, a slow
// device) still has sound buffered and keeps pacing the pictures. Called
// with frame_queue_mutex held; takes audio_buffer_mutex, which comes later
// in the lock order.
bool MediaDecoder::sound_ran_out() {
    if (!(end_of_stream || sound_gone()) || paused || steady_now_ns() - audio_clock_moved_at <= stall_ns) return false;
    const std::size_t unplayable =
        std::max(last_period_bytes.load(), static_cast<std::size_t>(playback_bytes_per_second / 10));
    std::lock_guard<std::mutex> lock(audio_buffer_mutex);
    return audio_buffer.size() < unplayable;
}

double MediaDecoder::get_fps() const { return fps; }

// 0.0 when the container does not know its duration (a live stream).
// Otherwise never less than the position: a file still being written, or
// joined pieces whose timestamps jump, play on past what the container
// said at opening.
double MediaDecoder::get_duration() const { return duration > 0.0 ? std::max(duration, get_position()) : duration; }

}  // namespace reelpipe
