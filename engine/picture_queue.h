// The picture queue: RGB pictures ready to be shown, front first, held
// within the caller's byte budget (max_picture_memory), and the mark that
// the video decoder has been drained at the end of the input, so that no
// picture is on its way.
//
// Lock: `mutex` guards everything but drained(), an atomic written under it
// and readable without it. Frame delivery waits on `cv` for a picture, the
// video thread for room under the budget; writers notify with `mutex` held.
//
// Invariants (under `mutex`):
//   - bytes() == the sum of the queued pictures' sizes;
//   - bytes() <= budget, except for a single picture (one is always let in,
//     whatever its size, so a budget smaller than a picture cannot stall);
//   - clear() empties the queue and clears the drained mark.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "ffmpeg_ptr.h"

namespace reelpipe {

class PictureQueue {
public:
    explicit PictureQueue(std::size_t budget) : budget(budget) {}

    std::mutex mutex;
    std::condition_variable cv;
    std::size_t budget;  // bytes; guarded by mutex (the probe may change it)

    // --- Call with `mutex` held.
    bool empty() const { return pictures_.empty(); }
    std::size_t size() const { return pictures_.size(); }
    std::size_t bytes() const { return bytes_; }
    const FramePtr& front() const { return pictures_.front(); }
    const std::deque<FramePtr>& all() const { return pictures_; }
    bool has_room_for(std::size_t picture_bytes) const {
        return pictures_.empty() || bytes_ + picture_bytes <= budget;
    }
    void push(FramePtr picture, std::size_t picture_bytes) {
        pictures_.push_back(std::move(picture));
        bytes_ += picture_bytes;
    }
    FramePtr pop(std::size_t picture_bytes) {
        FramePtr picture = std::move(pictures_.front());
        pictures_.pop_front();
        bytes_ -= picture_bytes;
        return picture;
    }
    void clear() {
        pictures_.clear();
        bytes_ = 0;
        drained_ = false;
        front_stepped_to = false;
        none_shown = true;
    }

    // The front picture is the one a step moved to, not taken yet. Set by a
    // step, cleared when frame delivery takes a picture and by clear().
    bool front_stepped_to = false;
    // No picture has been handed out since the queue was last emptied (a
    // seek) or made: a step counts from the picture at the seek target.
    // Cleared when frame delivery takes a picture or a step shows one.
    bool none_shown = true;

    // The video decoder has been drained at the end of the input (set under
    // `mutex`, readable without it).
    void set_drained(bool drained) { drained_ = drained; }
    bool drained() const { return drained_; }

private:
    std::deque<FramePtr> pictures_;
    std::size_t bytes_ = 0;
    std::atomic<bool> drained_{false};
};

}  // namespace reelpipe
