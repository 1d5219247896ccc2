// Playing a live input a set time behind the newest moment read from it
// (the live edge as far as the decoder knows): what the demux thread keeps
// to skip ahead within what it has read, and the rule that steers the delay
// back to its target.
//
// How late playback is: the live edge (the latest timestamp read, of either
// stream) less where playback stands (the sound heard, else the pictures'
// clock). The excess is that less the target:
//   - above skip_beyond (0.5 s: at catch_up_speed that would take over 5 s
//     to make up, as after a stall or a burst of held packets): the decoder
//     skips to the target, decoding from the newest key frame at or before
//     it and showing pictures from the target on, the older sound and
//     pictures flushed. It waits while packets arrive much faster than they
//     play (the input ran more than burst_margin ahead of the wall clock
//     over the last burst_window): a skip in the middle of a burst would
//     leave the rest of it behind, to catch up slowly;
//   - above catch_up_from (40 ms): sound and pictures play at catch_up_speed
//     (1.1x, the sound's pitch kept) until the excess falls under
//     catch_up_until (10 ms), so the speed does not flicker;
//   - pictures without sound, paced by their own clock from the first one
//     shown, stand nearer the edge than the target by more than
//     hold_back_beyond (50 ms) when that first one came: their clock steps
//     back to the target once, and the next pictures wait for it;
//   - the target is raised to the least the input allows with sound: the
//     newest sound read trails the edge by up to its packing (SoundLag),
//     and the sound path keeps a little of it queued for the device;
//   - an input that runs dry leaves playback buffering, as any input does;
//     the rules above then steer it back once packets come again.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <utility>

#include "ffmpeg_ptr.h"

namespace reelpipe {

constexpr double skip_beyond = 0.5;
constexpr double catch_up_from = 0.04;
constexpr double catch_up_until = 0.01;
constexpr double catch_up_speed = 1.1;
constexpr double hold_back_beyond = 0.05;
constexpr double burst_window = 0.1;
constexpr double burst_margin = 0.25;

// What to do about the excess delay (seconds beyond the target) while
// `catching_up` is or is not under way, and packets are or are not arriving
// in a burst.
enum class Steer { hold, catch_up, skip };

inline Steer steer_for(double excess, bool catching_up, bool bursting) {
    if (excess > skip_beyond && !bursting) return Steer::skip;
    if (excess > catch_up_from || (catching_up && excess > catch_up_until)) return Steer::catch_up;
    return Steer::hold;
}

// Whether the input is arriving in a burst: how far the live edge ran
// ahead of the wall clock over the last burst_window. Demux thread only.
class BurstWatch {
public:
    // Called with the live edge after each packet; true while the edge runs
    // more than burst_margin ahead of the wall clock in the window under
    // way, or did over the window before.
    bool bursting(double edge, std::int64_t now_ns) {
        const double since = static_cast<double>(now_ns - window_start_ns_) / 1e9;
        if (std::isnan(window_edge_) || since >= burst_window) {
            last_window_burst_ = !std::isnan(window_edge_) && edge - window_edge_ > since + burst_margin;
            window_edge_ = edge;
            window_start_ns_ = now_ns;
            return last_window_burst_;
        }
        return last_window_burst_ || edge - window_edge_ > since + burst_margin;
    }

private:
    double window_edge_ = std::numeric_limits<double>::quiet_NaN();
    std::int64_t window_start_ns_ = 0;
    bool last_window_burst_ = false;
};

// How far the newest sound read trails the live edge at most, over the
// last 2 to 4 s (the window under way and the one before): a muxer that
// packs a fifth of a second of sound into one packet sends it after the
// pictures of that span, so the sound heard can come no nearer the edge
// than that plus what the device holds. Demux thread only.
constexpr std::int64_t sound_lag_window_ns = 2'000'000'000;

class SoundLag {
public:
    // Called after each packet of an input with sound, once sound was read.
    void note(double lag, std::int64_t now_ns) {
        if (now_ns - window_start_ns_ >= sound_lag_window_ns) {
            previous_ = current_;
            current_ = 0.0;
            window_start_ns_ = now_ns;
        }
        current_ = std::max(current_, lag);
    }
    double largest() const { return std::max(previous_, current_); }

private:
    double previous_ = 0.0;
    double current_ = 0.0;
    std::int64_t window_start_ns_ = 0;
};

// The packets routed since the newest key frame that a skip could start
// from, as they went into the packet queues (their timestamps already
// carried across joins), so that a skip can queue them again in a new
// serial. Demux thread only.
class LiveHistory {
public:
    struct Held {
        PacketPtr packet;
        double seconds;  // NaN without a timestamp
        bool video;
        bool starts;  // decoding can start here: a key frame (any sound packet of an input without pictures)
    };

    // Keeps a reference to `packet`, which decoding can start from when
    // `starts`. Packets before any such can start nothing and are not kept.
    void add(const AVPacket& packet, double seconds, bool video, bool starts) {
        starts = starts && !std::isnan(seconds);
        if (held_.empty() && !starts) return;
        PacketPtr copy = clone_packet(&packet);
        if (!copy) return;
        held_.push_back(Held{std::move(copy), seconds, video, starts});
    }

    // Drops what lies before the newest starting point at or before `start`: a
    // skip to `start` or later never needs it.
    void forget_before(double start) {
        std::size_t newest = held_.size();
        for (std::size_t i = 0; i < held_.size(); ++i) {
            if (held_[i].starts && held_[i].seconds <= start) newest = i;
        }
        if (newest == held_.size() || newest == 0) return;
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(newest));
    }

    // The time of the newest starting point at or before `target`, if one is held.
    std::optional<double> start_at_or_before(double target) const {
        std::optional<double> found;
        for (const Held& held : held_) {
            if (held.starts && held.seconds <= target) found = held.seconds;
        }
        return found;
    }

    // What is held from the starting point at `key` seconds on, in the
    // order it was read (call forget_before(key) first).
    const std::deque<Held>& held() const { return held_; }
    void clear() { held_.clear(); }

private:
    std::deque<Held> held_;
};

}  // namespace reelpipe
