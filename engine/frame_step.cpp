// Frame step: paused, moves by whole pictures and makes the picture there
// the one get_next_frame() hands out at once. The clock that paces the
// pictures (the sound's, or the picture clock without sound) is set to that
// picture's time, so that it is due and the ones after it are not; no sound
// plays, as the decoder stays paused.
#include <algorithm>
#include <stdexcept>

#include "media_decoder.h"

namespace reelpipe {

namespace {

// How long a step waits for the pictures it moves to: a seek and the decode
// of a group of pictures, on a slow input.
constexpr auto step_wait = std::chrono::seconds(5);
constexpr auto step_poll = std::chrono::milliseconds(20);
// Seeks a backward step makes before it takes the first picture it has.
constexpr int backward_tries = 4;
// Timestamps round; a picture this close after a seek target is at it.
constexpr double at_target = 0.001;

}  // namespace

void MediaDecoder::step(int count) {
    refuse_if_inherited();
    if (video_stream_index < 0) throw std::runtime_error("step() moves by pictures, and this input has no video");
    if (!status.running()) throw std::runtime_error("step() needs a started decoder: call start() first");
    pause();
    if (count == 0) return;
    status.step_hold = true;
    if (count > 0) {
        step_forward(count);
    } else {
        step_back(-count);
    }
    // The sound stands where it was; resume() brings it to the picture.
    status.stepped_with_sound = audio_stream_index >= 0;
}

// Moves `count` pictures on from the one the step counts from: the one a
// step showed (still at the front), after a seek with nothing shown yet the
// first picture at or after the target (the seek window's pictures before
// it are passed), else the one last handed out (the front is the one after
// it). Waits for the pictures to be decoded; at the end of the input it
// stops at the last picture.
void MediaDecoder::step_forward(int count) {
    const auto deadline = std::chrono::steady_clock::now() + step_wait;
    std::unique_lock<std::mutex> lock(pictures.mutex);
    if (!wait_for_step_pictures(lock, 1, deadline)) return;
    int passes = count - 1;
    if (pictures.front_stepped_to || (pictures.none_shown && pass_seek_window(lock, deadline))) passes = count;
    while (passes > 0 && wait_for_step_pictures(lock, 2, deadline)) {
        pop_front_picture();
        --passes;
    }
    show_front_at_once();
}

// Passes the queued pictures before the seek target (video_clock holds it
// until a picture is shown), keeping at least one. True when the front is
// then at or after the target. Called with pictures.mutex held by `lock`.
bool MediaDecoder::pass_seek_window(std::unique_lock<std::mutex>& lock,
                                    std::chrono::steady_clock::time_point deadline) {
    const double target = video_clock - at_target;
    const auto before_target = [this, target] {
        const AVFrame* front = pictures.front().get();
        return front->pts != AV_NOPTS_VALUE && picture_seconds(front) < target;
    };
    while (before_target()) {
        if (!wait_for_step_pictures(lock, 2, deadline)) return false;
        pop_front_picture();
    }
    return true;
}

// Drops the front picture and tells the video thread there is room. Called
// with pictures.mutex held.
void MediaDecoder::pop_front_picture() {
    pictures.pop(static_cast<std::size_t>(pictures.front()->linesize[0]) * static_cast<std::size_t>(height));
    pictures.cv.notify_all();
}

// Seeks before the picture `count` pictures back from the one shown and
// decodes forward to it; when the seek lands too late to have it, seeks
// again further back; at the start it stops at the first picture.
void MediaDecoder::step_back(int count) {
    const double frame = 1.0 / fps;
    // The picture the step counts from is the first at or after `from`: the
    // one shown (a picture's time, which its neighbours lie a picture
    // interval from), or after a seek with nothing shown the target.
    double from = video_clock - frame / 2;
    {
        std::lock_guard<std::mutex> lock(pictures.mutex);
        if (!pictures.empty() && pictures.front_stepped_to) {
            from = picture_seconds(pictures.front().get()) - frame / 2;
        } else if (pictures.none_shown) {
            from = video_clock - at_target;
        }
    }
    // The seek lands in the input's own time, not in a later lap's.
    from = picture_in_lap(from);
    double aim = from - count * frame;
    // The pictures the step wants may be the input's last, held back in the
    // decoder until it is drained.
    step_awaits_end = true;
    struct EndWait {
        std::atomic<bool>& flag;
        ~EndWait() { flag = false; }
    } end_wait{step_awaits_end};
    for (int attempt = 0; attempt < backward_tries; ++attempt) {
        const std::uint64_t serial = seek_request.playing_serial;
        seek(std::max(0.0, aim));
        if (seek_request.playing_serial == serial) {
            // The input cannot seek (a pipe): the picture shown stays shown,
            // and the one after it is not due.
            std::lock_guard<std::mutex> lock(pictures.mutex);
            hold_clock_at(video_clock);
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + step_wait;
        std::unique_lock<std::mutex> lock(pictures.mutex);
        // Decode forward until the picture shown is queued again.
        const auto reached = [this, from] {
            return !pictures.empty() && picture_seconds(pictures.all().back().get()) >= from;
        };
        while (!reached() && status.running() && !input_finished() && std::chrono::steady_clock::now() < deadline) {
            pictures.cv.wait_for(lock, step_poll);
        }
        if (pictures.empty()) return;
        const auto& queued = pictures.all();
        const auto at_shown = std::find_if(queued.begin(), queued.end(),
                                           [this, from](const FramePtr& p) { return picture_seconds(p.get()) >= from; });
        const auto before = std::distance(queued.begin(), at_shown) - count;
        if (before >= 0 || aim <= 0.0) {
            for (auto passes = std::max<std::ptrdiff_t>(before, 0); passes > 0; --passes) pop_front_picture();
            show_front_at_once();
            return;
        }
        aim -= 1.0 + count * frame;
    }
}

// Waits until the queue holds `wanted` pictures; false at the end of the
// input (or stop(), a seek, the deadline) with fewer. Called with
// pictures.mutex held by `lock`.
bool MediaDecoder::wait_for_step_pictures(std::unique_lock<std::mutex>& lock, std::size_t wanted,
                                          std::chrono::steady_clock::time_point deadline) {
    while (pictures.size() < wanted) {
        if (input_finished() || !status.running() || seek_request.pending ||
            std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pictures.cv.wait_for(lock, step_poll);
    }
    return true;
}

// Sets the clock that paces the pictures to the front picture's time, so
// that it is due and the next is not, and the position with it. Called with
// pictures.mutex held.
void MediaDecoder::show_front_at_once() {
    if (pictures.empty() || pictures.front()->pts == AV_NOPTS_VALUE) return;
    const double t = picture_seconds(pictures.front().get());
    video_clock = t;
    pictures.front_stepped_to = true;
    pictures.none_shown = false;
    hold_clock_at(t);
    pictures.cv.notify_all();
}

// Sets the clock that paces the pictures, which stands still while paused,
// to `seconds`: the position with it. Called with pictures.mutex held.
void MediaDecoder::hold_clock_at(double seconds) {
    const std::int64_t now = steady_now_ns();
    if (audio_stream_index >= 0) {
        // The device holds sound ahead of the listener: set the clock so that
        // the sound heard stands there.
        sound.show_at(seconds);
    } else {
        picture_clock.pace(true, seconds, now);
    }
}

// resume() after a step with sound: the sound still stands where the pause
// left it, so playback seeks to the picture the step showed. The sound
// starts at that picture; the pictures start after it once it has been
// handed out (else with it), so none is shown twice or out of order.
void MediaDecoder::bring_sound_to_step() {
    double shown = video_clock;
    bool taken = true;
    {
        std::lock_guard<std::mutex> lock(pictures.mutex);
        if (!pictures.empty() && pictures.front_stepped_to) {
            shown = picture_seconds(pictures.front().get());
            taken = false;
        }
    }
    const double half_picture = 0.5 / fps;
    shown = picture_in_lap(shown);
    post_seek(shown, taken ? shown + half_picture : shown - half_picture);
}

}  // namespace reelpipe
