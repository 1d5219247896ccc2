// A playback clock, after the clocks of the players that have kept sound
// and pictures together for twenty years: a media time, the steady time it
// was set at and the serial of the seek it belongs to. A clock is either
// set (the sound's clock: the device callback sets it from the times of the
// bytes it plays) or paced by the wall clock from where it was last set
// (pictures that outlast the sound; later, inputs without sound), at its
// rate while it is not paused.
//
// Invariants, under its own lock (a leaf: taken with any other lock held,
// the device callback's included, and never holding another):
//   - a paced clock reads seconds + (now - set_at) * rate while it runs, and
//     seconds while paused (pausing keeps the reading);
//   - a set clock reads seconds;
//   - serial only grows; set() with an older serial is ignored.
#pragma once

#include <cstdint>
#include <mutex>

namespace reelpipe {

class Clock {
public:
    struct Reading {
        double seconds = 0.0;
        std::int64_t set_at_ns = 0;  // steady time of the last set(), or of the pacing's start
        std::uint64_t serial = 0;
        bool paced = false;
    };

    // Sets the time at `now_ns`; a clock paced by the wall clock stays paced,
    // from here. Ignored when `serial` is older than the clock's.
    void set(double seconds, std::int64_t now_ns, std::uint64_t serial) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serial < serial_) return;
        serial_ = serial;
        seconds_ = seconds;
        set_at_ns_ = now_ns;
    }
    // set() within the clock's current serial.
    void set(double seconds, std::int64_t now_ns) {
        std::lock_guard<std::mutex> lock(mutex_);
        seconds_ = seconds;
        set_at_ns_ = now_ns;
    }
    // Starts pacing by the wall clock from `seconds` at `now_ns`, or stops it
    // (the clock then keeps its reading until set again).
    void pace(bool by_wall, double seconds, std::int64_t now_ns) {
        std::lock_guard<std::mutex> lock(mutex_);
        paced_ = by_wall;
        seconds_ = seconds;
        set_at_ns_ = now_ns;
    }
    void stop_pacing(std::int64_t now_ns) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!paced_) return;
        seconds_ = read_locked(now_ns);
        set_at_ns_ = now_ns;
        paced_ = false;
    }
    // A paused clock keeps its reading; a paced one goes on from it on resume.
    void set_paused(bool paused, std::int64_t now_ns) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused == paused_) return;
        seconds_ = read_locked(now_ns);
        set_at_ns_ = now_ns;
        paused_ = paused;
    }
    // A running paced clock goes on from its reading at the new rate; a set
    // or paused one keeps when it was last set, which tells how long it has
    // stood still.
    void set_rate(double rate, std::int64_t now_ns) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paced_ && !paused_) {
            seconds_ = read_locked(now_ns);
            set_at_ns_ = now_ns;
        }
        rate_ = rate;
    }

    double get(std::int64_t now_ns) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return read_locked(now_ns);
    }
    Reading reading(std::int64_t now_ns) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return Reading{read_locked(now_ns), set_at_ns_, serial_, paced_};
    }
    bool paced() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return paced_;
    }
    double rate() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return rate_;
    }
    std::uint64_t serial() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return serial_;
    }

private:
    double read_locked(std::int64_t now_ns) const {
        if (!paced_ || paused_) return seconds_;
        return seconds_ + static_cast<double>(now_ns - set_at_ns_) / 1e9 * rate_;
    }

    mutable std::mutex mutex_;
    double seconds_ = 0.0;
    std::int64_t set_at_ns_ = 0;
    std::uint64_t serial_ = 0;
    bool paced_ = false;
    bool paused_ = false;
    double rate_ = 1.0;  // the speed it runs at: the caller's, times a live catch-up
};

}  // namespace reelpipe
