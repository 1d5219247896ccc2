// Playback speed with the pitch kept: libavfilter's atempo chain, and the
// short queue of sound it has changed, which the device callback plays from.
//
// The tempo stage sits between the sound buffer and the device, not before
// the buffer: the sound buffer holds up to ten seconds of sound at the
// input's own tempo, and a change of speed must be heard within a fraction
// of a second. So the buffer keeps media-rate sound, and the tempo thread
// changes only a few periods of it ahead of the device (TempoQueue), which
// is all that still plays at the old speed after a change.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "byte_fifo.h"

struct AVFilterGraph;
struct AVFilterContext;

namespace reelpipe {

// The speeds a caller may choose; atempo takes 0.5 to 2.0 per filter in
// every FFmpeg we build against, so the ends take two filters.
constexpr double slowest_speed = 0.25;
constexpr double fastest_speed = 4.0;

// An atempo chain for interleaved signed 16-bit stereo at one rate, fed and
// drained on one thread (the tempo thread). Owns its filter graph.
class SoundTempo {
public:
    explicit SoundTempo(int rate) : rate_(rate) {}

    // Builds the chain for `factor` (slowest_speed..fastest_speed). False
    // when libavfilter refuses; the chain is then not built.
    bool build(double factor);
    // Drops the chain and what it holds.
    void reset();
    bool built() const { return graph_ != nullptr; }
    double factor() const { return factor_; }
    // Input seconds by which the chain's output leads the input it was fed:
    // atempo starts its output half a window into the input.
    double lead_seconds() const { return lead_; }
    // Feeds `frames` frames and appends to `out` whatever the chain gives.
    // False on a filter error (the chain is then best reset).
    bool process(const std::uint8_t* data, int frames, std::vector<std::uint8_t>& out);
    // Ends the input and appends the rest the chain holds to `out`.
    void drain(std::vector<std::uint8_t>& out);

private:
    struct GraphDeleter {
        void operator()(AVFilterGraph* graph) const;
    };
    bool pull(std::vector<std::uint8_t>& out);

    const int rate_;
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph_;
    AVFilterContext* source_ = nullptr;  // owned by graph_
    AVFilterContext* sink_ = nullptr;    // owned by graph_
    double factor_ = 1.0;
    double lead_ = 0.0;
    std::int64_t fed_frames_ = 0;  // the next input frame's timestamp
};

// The sound the tempo stage has changed, waiting for the device, with the
// input time of what it holds: a mark per append gives the input time of
// its first byte and the input seconds each byte stands for (the speed over
// the byte rate), so the audio clock moves at the speed the sound was
// changed to.
//
// Lock: `mutex` guards everything; in the lock order it comes right after
// the sound buffer's mutex (the callback and the flush take both). The
// tempo thread waits on `cv`: bounded while it changes sound (longer while
// paused; resume() wakes it), and without a bound at speed 1.0, woken by
// set_speed() and stop() under `mutex`.
//
// Invariants (under `mutex`): marks ordered by offset, the front one at or
// before read_; written_ - read_ == bytes_.size().
class TempoQueue {
public:
    std::mutex mutex;
    std::condition_variable cv;

    // --- Call with `mutex` held.
    std::size_t size() const { return bytes_.size(); }

    void clear() {
        bytes_.clear();
        marks_.clear();
        read_ = written_ = 0;
    }

    // The tempo stage owns the front of the sound: the callback plays from
    // this queue alone (an underrun is silence) rather than going on to the
    // sound buffer, whose front is in the chain. Written by the tempo thread,
    // read by the callback, both holding the sound buffer's mutex as well.
    bool active = false;
    // Appends sound whose first byte is at input time `seconds`, each byte
    // standing for `seconds_per_byte`. May throw std::bad_alloc.
    void append(const std::uint8_t* data, std::size_t count, double seconds, double seconds_per_byte) {
        if (count == 0) return;
        marks_.push_back(Mark{written_, seconds, seconds_per_byte});
        bytes_.append(data, count);
        written_ += count;
    }
    // Copies the first `count` bytes (count <= size()) to `out` and removes
    // them. Never allocates: the callback calls it.
    void take(void* out, std::size_t count) {
        bytes_.pop_into(out, count);
        read_ += count;
        while (marks_.size() > 1 && marks_[1].offset <= read_) marks_.pop_front();
    }
    // Input time of the first byte not yet taken (of where the last sound
    // taken ends, when none is left); NaN before any sound.
    double front_seconds() const {
        if (marks_.empty()) return std::numeric_limits<double>::quiet_NaN();
        const Mark& mark = marks_.front();
        return mark.seconds + static_cast<double>(read_ - mark.offset) * mark.seconds_per_byte;
    }

private:
    struct Mark {
        std::uint64_t offset;
        double seconds;
        double seconds_per_byte;
    };
    ByteFifo bytes_;
    std::deque<Mark> marks_;
    std::uint64_t read_ = 0;
    std::uint64_t written_ = 0;
};

}  // namespace reelpipe
