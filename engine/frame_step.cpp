// Frame step: paused, moves by whole pictures and makes the picture there
// the one get_next_frame() hands out at once. The clock that paces the
// pictures (the sound's, or the picture clock without sound) is set to that
// picture's time, so that it is due and the ones after it are not; no sound
// plays, as the decoder stays paused.
#include <algorithm>

#include "media_decoder.h"

namespace reelpipe {

namespace {

// How long a step waits for the pictures it moves to: a seek and the decode
// of a group of pictures, on a slow input.
constexpr auto step_wait = std::chrono::seconds(5);
constexpr auto step_poll = std::chrono::milliseconds(20);
// Seeks a backward step makes before it takes the first picture it has.
constexpr int backward_tries = 4;

}  // namespace

void MediaDecoder::step(int count) {
    pause();
    if (count == 0 || video_stream_index < 0 || !status.running()) return;
    status.step_hold = true;
    if (count > 0) {
        step_forward(count);
    } else {
        step_back(-count);
    }
    // The sound stands where it was; resume() brings it to the picture.
    status.stepped_with_sound = audio_stream_index >= 0;
}

// Passes count - 1 pictures after the one shown (count, when a step made
// the front the next to hand out and it has not been taken), waiting for them to be decoded;
// at the end of the input it stops at the last picture.
void MediaDecoder::step_forward(int count) {
    const auto deadline = std::chrono::steady_clock::now() + step_wait;
    std::unique_lock<std::mutex> lock(pictures.mutex);
    if (!wait_for_step_pictures(lock, 1, deadline)) return;
    int passes = count - 1 + (pictures.front_stepped_to ? 1 : 0);
    while (passes > 0 && wait_for_step_pictures(lock, 2, deadline)) {
        pictures.pop(static_cast<std::size_t>(pictures.front()->linesize[0]) * static_cast<std::size_t>(height));
        pictures.cv.notify_all();
        --passes;
    }
    show_front_at_once();
}

// Seeks before the picture `count` pictures back from the one shown and
// decodes forward to it; when the seek lands too late to have it, seeks
// again further back; at the start it stops at the first picture.
void MediaDecoder::step_back(int count) {
    double shown = video_clock;
    {
        std::lock_guard<std::mutex> lock(pictures.mutex);
        if (!pictures.empty() && pictures.front_stepped_to) shown = picture_seconds(pictures.front().get());
    }
    // The seek lands in the input's own time, not in a later lap's.
    shown = in_lap(shown);
    const double frame = 1.0 / fps;
    double aim = shown - (count + 0.5) * frame;
    for (int attempt = 0; attempt < backward_tries; ++attempt) {
        seek(std::max(0.0, aim));
        const auto deadline = std::chrono::steady_clock::now() + step_wait;
        std::unique_lock<std::mutex> lock(pictures.mutex);
        // Decode forward until the picture shown is queued again.
        const auto reached = [this, shown, frame] {
            return !pictures.empty() && picture_seconds(pictures.all().back().get()) >= shown - frame / 2;
        };
        while (!reached() && status.running() && !input_finished() && std::chrono::steady_clock::now() < deadline) {
            pictures.cv.wait_for(lock, step_poll);
        }
        if (pictures.empty()) return;
        const auto& queued = pictures.all();
        const auto at_shown = std::find_if(queued.begin(), queued.end(), [this, shown, frame](const FramePtr& p) {
            return picture_seconds(p.get()) >= shown - frame / 2;
        });
        const auto before = std::distance(queued.begin(), at_shown) - count;
        if (before >= 0 || aim <= 0.0) {
            for (auto passes = std::max<std::ptrdiff_t>(before, 0); passes > 0; --passes) {
                pictures.pop(static_cast<std::size_t>(pictures.front()->linesize[0]) * static_cast<std::size_t>(height));
            }
            pictures.cv.notify_all();
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
    const std::int64_t now = steady_now_ns();
    video_clock = t;
    pictures.front_stepped_to = true;
    if (audio_stream_index >= 0) {
        // The device holds sound ahead of the listener: set the clock so that
        // the sound heard stands at the picture.
        sound.show_at(t);
    } else {
        picture_clock.pace(true, t, now);
    }
    pictures.cv.notify_all();
}

}  // namespace reelpipe
