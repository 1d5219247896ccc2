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
// The sound counts as run out when, at the end of the input with less than
// a period of it left, the audio clock has not moved for this many device
// periods, and at least the shorter time: a callback comes once a period.
constexpr std::int64_t stalled_periods = 3;
constexpr std::int64_t shortest_stall_ns = 30'000'000;
// The sound counts as played out (is_finished()) once the clock has stood
// this long.
constexpr std::int64_t stall_ns = 100'000'000;

}  // namespace

FramePtr MediaDecoder::get_next_frame() { return get_next_frame(std::nullopt).picture; }

MediaDecoder::Delivery MediaDecoder::get_next_frame(std::optional<std::chrono::nanoseconds> timeout) {
    refuse_if_inherited();
    // Without pictures there is nothing to wait for, and waiting would only
    // hold the sound in buffering.
    if (video_stream_index < 0) return {};
    const auto deadline = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::nanoseconds::zero());
    for (;;) {
        std::unique_lock<std::mutex> lock(pictures.mutex);
        // Only a pipeline with nothing left to decode needs the demux thread to
        // read ahead again; with packets still queued the pictures are coming.
        // Pictures that are over while the sound goes on (see
        // pictures_going()) are no reason to hold the sound.
        if (pictures.empty() && video_packets_in.queued() == 0 && status.running() && !status.input_ended() &&
            !seek_request.pending && !status.held() && pictures_going()) {
            status.run_short();
        }
        // Pictures that nothing paces need no read-ahead before they are
        // handed out, and the first of them comes as soon as it is decoded.
        const bool unpaced = pictures_unpaced();
        const auto ready = [this, unpaced] {
            return (!pictures.empty() && (!status.held() || unpaced)) || !status.running() || input_finished() ||
                   seek_request.pending;
        };
        if (!timeout) {
            pictures.cv.wait(lock, ready);
        } else if (!pictures.cv.wait_until(lock, deadline, ready)) {
            return {};
        }
        // Reading may have ended while pictures are still being decoded: the
        // wait above ends only once the last of them is queued.
        if (seek_request.pending || pictures.empty()) return {};

        const Verdict verdict = judge_front_picture(pictures.front().get());
        if (verdict == Verdict::early) {
            // After stop() nothing moves the clock again: do not wait for it.
            if (!status.running()) return {};
            auto wake = std::chrono::steady_clock::now() + early_wait(pictures.front().get());
            if (timeout) {
                if (std::chrono::steady_clock::now() >= deadline) return {};
                wake = std::min(wake, deadline);
            }
            pictures.cv.wait_until(lock, wake, [this] { return !status.running() || seek_request.pending; });
            continue;
        }
        FramePtr picture = pictures.pop(static_cast<std::size_t>(pictures.front()->linesize[0]) * static_cast<std::size_t>(height));
        pictures.front_stepped_to = false;
        pictures.none_shown = false;
        // The video thread may be waiting for room in the queue.
        pictures.cv.notify_all();
        // With a read-ahead limit shorter than the decoder's delay, the demux
        // thread holds back until the decoder starves; wake it now rather
        // than after its throttled wait. That wait is bounded, so a wake-up
        // missed for want of seek_request.mutex (which comes first in the lock
        // order) costs only its length.
        if (pictures.empty()) seek_request.cv.notify_all();
        if (verdict == Verdict::late) {
            ++counts.late;
            continue;
        }
        ++counts.shown;
        if (picture->pts == AV_NOPTS_VALUE) return {std::move(picture), std::nullopt};
        const double seconds = picture_seconds(picture.get());
        video_clock = seconds;
        return {std::move(picture), picture_in_lap(seconds)};
    }
}

// The end as a caller's loop needs it: reading is over, no picture is left
// to hand out and no sound is left to play, and no seek is under way that
// could lead back into the input. Takes pictures.mutex.
bool MediaDecoder::is_finished() {
    refuse_if_inherited();
    if (!status.input_ended() || seek_request.pending) return false;
    if (video_stream_index >= 0) {
        std::lock_guard<std::mutex> lock(pictures.mutex);
        if (!pictures.drained() || !pictures.empty()) return false;
    }
    return audio_stream_index < 0 || sound_played_out();
}

// The one conversion of a picture's timestamp into the seconds the caller
// sees, counted from the input's start; video_clock holds these.
double MediaDecoder::picture_seconds(const AVFrame* picture) const {
    return stream_seconds(video_time_base, picture->pts);
}

// Places the front picture against the display window around the audio
// clock. Called with pictures.mutex held.
MediaDecoder::Verdict MediaDecoder::judge_front_picture(const AVFrame* picture) {
    if (picture->pts == AV_NOPTS_VALUE) return Verdict::deliver;
    if (audio_stream_index < 0) {
        return options.realtime || status.step_hold ? judge_by_wall_clock(picture) : Verdict::deliver;
    }
    const double t = picture_seconds(picture);
    if (t <= 0.0) return Verdict::deliver;
    const std::int64_t now = steady_now_ns();
    if (sound_ran_out()) {
        // The sound has run out before the pictures: pace what is left by the
        // picture clock, which goes on from where the sound ended when the
        // listener heard it end (the device held it a moment longer than the
        // clock's last move), by the wall clock. So the pictures keep the
        // time they kept with the sound: no stall while the end is noticed,
        // no offset after it. A fixed start keeps the early margin from
        // adding up picture by picture.
        if (!picture_clock.paced()) {
            const Clock::Reading last = sound.clock_reading();
            const auto heard_end_ns = static_cast<std::int64_t>(sound.device_latency() * 1e9);
            picture_clock.pace(true, last.seconds, last.set_at_ns + heard_end_ns);
        }
        return t <= picture_clock.get(now) + early_margin ? Verdict::deliver : Verdict::early;
    }
    picture_clock.stop_pacing(now);
    const double a = sound.heard_seconds();
    if (t > a + early_margin) return Verdict::early;
    if (a - late_margin > t) return Verdict::late;
    return Verdict::deliver;
}

// Pictures without sound in real time: the picture clock stands in for the
// sound, paced by the wall clock from the first picture of each run (the
// start, a seek, a restart), with the sound's early and late margins. It
// stands still while paused and runs at the playback speed. Called with
// pictures.mutex held.
MediaDecoder::Verdict MediaDecoder::judge_by_wall_clock(const AVFrame* picture) {
    const double t = picture_seconds(picture);
    const std::int64_t now = steady_now_ns();
    if (!picture_clock.paced()) picture_clock.pace(true, t, now);
    const double clock = picture_clock.get(now);
    if (t > clock + early_margin) return Verdict::early;
    if (clock - late_margin > t) return Verdict::late;
    return Verdict::deliver;
}

// How long the early front picture can wait before it may be due: until the
// callback that brings the audio clock up to it (the clock moves a whole
// device period at a time, so waking sooner finds it where it was), or until
// its time when the pictures are paced by the wall clock. Called with
// pictures.mutex held, after judge_front_picture() found the picture early.
std::chrono::nanoseconds MediaDecoder::early_wait(const AVFrame* picture) const {
    const double t = picture_seconds(picture);
    const double now = static_cast<double>(steady_now_ns()) / 1e9;
    double wait = longest_early_wait;  // paused or buffering: the clock stands still
    const std::int64_t now_ns = steady_now_ns();
    if (picture_clock.paced()) {
        wait = t - early_margin - picture_clock.get(now_ns);
    } else if (status.now().clock_moves()) {
        const double ahead = t - early_margin - sound.heard_seconds();
        const double period =
            static_cast<double>(sound.period_bytes()) / playback_bytes_per_second * sound.clock_rate();
        const double moved_at = static_cast<double>(sound.clock_reading().set_at_ns) / 1e9;
        wait = period > 0.0 ? moved_at + std::ceil(ahead / period) * period + callback_jitter - now : ahead;
    }
    wait = std::isfinite(wait) ? std::clamp(wait, shortest_early_wait, longest_early_wait) : longest_early_wait;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(wait * 1e9));
}

// True when the sound is over (the input has ended, or the sound track has
// ended long before the pictures), the audio clock has stood still for a
// few periods without a pause, and less than a period of sound is left: nothing
// will move the clock again. A clock that is merely late (a busy machine, a slow
// device) still has sound buffered and keeps pacing the pictures. Called
// with pictures.mutex held: reads the sound output's atomics and clock,
// never its lock.
bool MediaDecoder::sound_ran_out() {
    const std::int64_t now = steady_now_ns();
    const auto period_ns =
        static_cast<std::int64_t>(static_cast<double>(sound.period_bytes()) / playback_bytes_per_second * 1e9);
    const std::int64_t stall = std::max(stalled_periods * period_ns, shortest_stall_ns);
    if (!(status.input_ended() || sound_gone()) || status.paused() || now - sound.clock_reading().set_at_ns <= stall) {
        return false;
    }
    return sound.left_unplayable();
}

// True at the end of the input once the sound is over: the audio decoder
// has been drained at a lasting end (a momentary one, a file still being
// written, leaves it undrained), what is buffered is too short to play, and
// the clock has stood still a while. A pause stills the clock too, but then
// more than a period is usually left; at the very end it is over either
// way.
bool MediaDecoder::sound_played_out() const {
    const std::int64_t now = steady_now_ns();
    if (!sound.drained() || now - sound.clock_reading().set_at_ns <= stall_ns) return false;
    return sound.left_unplayable();
}

double MediaDecoder::get_fps() const { return fps; }

// 0.0 when the container does not know its duration (a live stream).
// Otherwise never less than the position: a file still being written, or
// joined pieces whose timestamps jump, play on past what the container
// said at opening.
double MediaDecoder::get_duration() const {
    const double length = timeline.length;
    return length > 0.0 ? std::max(length, get_position()) : length;
}

// A caller's loop over the pictures: the policy `for picture in decoder`
// follows, so that the binding only translates it.
LoopStep MediaDecoder::next_in_loop(std::chrono::milliseconds wait, FramePtr& picture) {
    constexpr std::chrono::milliseconds rest{5};
    const auto began = std::chrono::steady_clock::now();
    picture = get_next_frame(wait).picture;
    if (picture) return LoopStep::picture;
    if (is_finished()) return LoopStep::finished;
    if (!status.running()) return LoopStep::stopped;
    if (std::chrono::steady_clock::now() - began < rest) std::this_thread::sleep_for(rest);
    return LoopStep::nothing_yet;
}

}  // namespace reelpipe
