// Falling behind gracefully. A decoder whose pictures come out after they
// are due decodes every picture only for frame delivery to drop it, and the
// work spent on it makes the next one late too. So, while the pictures run
// late, the video thread tells the decoder to skip the pictures no other
// refers to, and, far behind, does not send it the packets up to the next
// key frame; once they come out on time it decodes every picture again.
// (The decoder's own skip of all but key frames would not do: a decoder
// that reorders holds the key picture back until the pictures after it
// come, so none would come out to say that the skip is over.)
//
// The measure: the lateness of each picture as it comes out of the decoder
// (the clock it is shown by, less its time), smoothed exponentially over the
// last few pictures. That is the delay skipping can mend, before the
// conversion and the queue add theirs; it needs no caller to be taking
// pictures, and a caller that takes them slowly, with a full picture queue
// in front of the decoder, is not mistaken for a slow decoder (see
// FallingBehind::keeping_up()). Two thresholds with a gap between them keep
// the decoder from switching on every picture.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace reelpipe {

// What became of a decoder's pictures since it was made: handed out,
// dropped by frame delivery as late, or skipped by the decoder (never
// decoded, so never converted). Read by any thread; frame delivery writes
// `shown` and `late`, the video thread `skipped`.
struct PictureCounts {
    std::atomic<std::uint64_t> shown{0};
    std::atomic<std::uint64_t> late{0};
    std::atomic<std::uint64_t> skipped{0};
};

// How far behind the clock the pictures come out of the decoder, and what
// the decoder skips for it. Video thread only.
class FallingBehind {
public:
    // Smoothed lateness (seconds) above which the pictures no other refers
    // to are skipped: far enough inside the 0.1 s that frame delivery
    // allows for the conversion and the queue to fit in what is left.
    static constexpr double behind_above = 0.03;
    // Below which every picture is decoded again.
    static constexpr double on_time_below = 0.0;
    // Above which the pictures come out too late to be shown at all (frame
    // delivery's late margin): every one decoded until the decoder has
    // caught up is lost, and a jump to the next key frame may lose fewer.
    static constexpr double past_the_window = 0.1;
    // Weight of the newest picture in the smoothed lateness.
    static constexpr double newest_weight = 0.25;

    // The discard level for the next packet sent.
    AVDiscard discard() const { return level == Level::on_time ? AVDISCARD_DEFAULT : AVDISCARD_NONREF; }

    // True while packets are dropped unsent up to the next key frame.
    bool waiting_for_key() const { return level == Level::far_behind; }

    // Whether the pictures come out past the window; and whether, then, to
    // stop sending packets until a key frame `key_distance`
    // seconds ahead of the next packet: when the pictures come out past the
    // window and the key frame is nearer than twice their lateness. Catching
    // up by skipping only the pictures no other refers to loses every
    // picture until then, and takes about twice the lateness when that
    // skipping saves half of the work; a decoder that does not catch up
    // that way at all grows later until the jump is taken. So a long group
    // of pictures is jumped only by a decoder that cannot hold on without.
    bool past_window() const { return level == Level::behind && measured && smoothed > past_the_window; }
    bool jump_pays(double key_distance) const { return past_window() && key_distance < 2.0 * smoothed; }
    void wait_for_key() { level = Level::far_behind; }

    // The key frame of time `seconds` is sent after a wait for it: skip the
    // pictures no other refers to, and measure again from this picture on
    // (those the decoder still held back from before the jump come out late
    // and say nothing of what follows).
    void key_reached(double seconds) {
        level = Level::behind;
        measured = false;
        measure_from = seconds;
    }

    // A picture of time `seconds` came out of the decoder `lateness`
    // seconds after it was due (negative: before).
    void observe(double seconds, double lateness) {
        if (level == Level::far_behind || seconds < measure_from) return;
        if (!measured) {
            smoothed = lateness;
            measured = true;
        } else {
            smoothed += newest_weight * (lateness - smoothed);
        }
        if (smoothed > behind_above) {
            level = Level::behind;
        } else if (smoothed < on_time_below) {
            level = Level::on_time;
        }
    }

    // The decoder is not what holds the pictures back (the picture queue
    // is full), or a new run of pictures begins (a seek, a restart): decode
    // every picture and measure afresh.
    void keeping_up() {
        level = Level::on_time;
        measured = false;
        measure_from = -std::numeric_limits<double>::infinity();
    }

private:
    enum class Level { on_time, behind, far_behind };
    Level level = Level::on_time;
    bool measured = false;
    double smoothed = 0.0;
    double measure_from = -std::numeric_limits<double>::infinity();
};

// The pictures sent to the decoder while it was told to skip some, by
// timestamp, until each comes out or is passed over. A decoder hands its
// pictures out in time order, so one still owed when a later one comes out
// was skipped. Pictures without a timestamp are not counted. Video thread
// only.
class SkipLedger {
public:
    // A packet of time `pts` was sent under a skip.
    void sent(std::int64_t pts) {
        owed.insert(std::upper_bound(owed.begin(), owed.end(), pts), pts);
        // A decoder holds back a few dozen pictures at most (a group of
        // pictures skipped to its key frame counts fully before the next
        // comes out); more only on a stream whose times never move on.
        if (owed.size() > most_owed) {
            owed.erase(owed.begin());
            ++overflowed;
        }
    }

    // A picture of time `pts` came out; returns how many owed pictures it
    // passed over, skipped.
    std::size_t came_out(std::int64_t pts) {
        const auto later = std::upper_bound(owed.begin(), owed.end(), pts);
        std::size_t passed = static_cast<std::size_t>(later - owed.begin());
        if (passed > 0 && owed[passed - 1] == pts) --passed;  // this picture itself
        owed.erase(owed.begin(), later);
        return passed + take_overflowed();
    }

    // The decoder has been drained: what it still owes, it skipped.
    std::size_t drained() {
        const std::size_t skipped = owed.size() + take_overflowed();
        owed.clear();
        return skipped;
    }

    // The decoder was flushed: what it owed was abandoned, not skipped.
    void clear() {
        owed.clear();
        overflowed = 0;
    }

private:
    static constexpr std::size_t most_owed = 1024;
    std::size_t take_overflowed() { return std::exchange(overflowed, 0); }

    std::vector<std::int64_t> owed;  // ascending
    std::size_t overflowed = 0;
};

}  // namespace reelpipe
