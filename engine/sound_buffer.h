// The sound buffer: playback-format bytes waiting for the device, which keep
// the input time of what they hold. Beside the byte FIFO lies a short deque
// of marks (byte offset, seconds); the time of any byte is that of the last
// mark at or before it plus the bytes since over the playback rate. The
// sound output's feeder takes bytes from the front with their times into
// the device's ring, whose marks set the sound's clock, so the clock follows
// the input's timestamps rather than counting samples from one anchor.
//
// Not thread-safe: its owner (SoundOutput) guards it with its lock.
//
// Invariants:
//   - read <= every mark's offset after the front one, marks ordered by
//     offset; written - read == bytes.size();
//   - after clear() nothing is held, the serial has grown by one, and the
//     next sound appended anchors the buffer (anchored() false until then);
//   - silence stands in the FIFO as zeros: the lead-in before a sound track
//     that starts late, and holes of up to longest_hole seconds in the
//     sound's timestamps; a larger jump is taken by a mark instead (the
//     clock jumps with it).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>

#include "byte_fifo.h"

namespace reelpipe {

class SoundBuffer {
public:
    // Frames and bytes of the playback format.
    SoundBuffer(int rate, std::size_t frame_bytes) : rate_(rate), frame_bytes_(frame_bytes) {}

    // A difference between a frame's timestamp and where the sound before it
    // ends that is larger than this is a hole (or an overlap) to account for;
    // below it timestamps and sample counts agree to within rounding. An AAC
    // frame lasts 21 ms, so one lost frame is a hole.
    static constexpr double hole_tolerance = 0.015;
    // Holes up to this long are played as silence; a longer jump is followed
    // by the clock instead.
    static constexpr double longest_hole = 10.0;

    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

    // Empties the buffer for a new serial (a seek, or the start): nothing is
    // held and the next sound anchors it.
    void clear() {
        bytes_.clear();
        marks_.clear();
        read_ = written_ = 0;
        anchored_ = false;
        ++serial_;
    }

    bool anchored() const { return anchored_; }
    // Anchors the buffer at `from` (where playback starts) for sound that
    // begins at `first_sound`: a start up to `longest_lead_in` later is
    // played as silence first (the lead-in), so that the first pictures are
    // shown in their time; otherwise the sound starts where it is.
    void anchor(double from, double first_sound, double longest_lead_in, double window) {
        anchored_ = true;
        const double gap = first_sound - from;
        if (gap > window && gap <= longest_lead_in) {
            mark(from);
            append_silence(gap);
        }
    }
    // Marks the buffer anchored without sound (a stream whose frames carry
    // no timestamps).
    void set_anchored() { anchored_ = true; }

    // Appends `count` bytes of sound that starts at `seconds` (NaN: no
    // timestamp, taken as following on). A hole before it up to longest_hole
    // is filled with silence; any other disagreement beyond hole_tolerance
    // is marked. Sound that `joins` what is held (a looped input's next lap)
    // is marked at its time whatever the disagreement. May throw
    // std::bad_alloc.
    void append(const std::uint8_t* data, std::size_t count, double seconds, bool joins = false) {
        if (!std::isnan(seconds)) {
            if (marks_.empty() || joins) {
                mark(seconds);
            } else {
                const double gap = seconds - end_seconds();
                if (gap > hole_tolerance && gap <= longest_hole) {
                    append_silence(gap);
                } else if (std::fabs(gap) > hole_tolerance) {
                    mark(seconds);
                }
            }
        }
        bytes_.append(data, count);
        written_ += count;
    }

    // Copies the first `count` bytes (count <= size()) to `out` and removes
    // them. Never allocates.
    void take(void* out, std::size_t count) {
        bytes_.pop_into(out, count);
        read_ += count;
        while (marks_.size() > 1 && marks_[1].offset <= read_) marks_.pop_front();
    }

    // Input time of the first byte not yet taken; NaN before any mark.
    double front_seconds() const { return seconds_at(read_); }
    // Input time where the sound held ends; NaN before any mark.
    double end_seconds() const { return seconds_at(written_); }

    // Bytes from the front up to the next mark: a run whose time follows
    // on from the front's.
    std::size_t run_bytes() const {
        for (const Mark& candidate : marks_) {
            if (candidate.offset > read_) return static_cast<std::size_t>(candidate.offset - read_);
        }
        return bytes_.size();
    }

    // Counts the clears, so that a reader can tell the sound it took from
    // before one.
    std::uint64_t serial() const { return serial_; }

private:
    struct Mark {
        std::uint64_t offset;
        double seconds;
    };

    double seconds_per_byte() const { return 1.0 / (static_cast<double>(rate_) * static_cast<double>(frame_bytes_)); }

    double seconds_at(std::uint64_t offset) const {
        if (marks_.empty()) return std::numeric_limits<double>::quiet_NaN();
        const Mark* best = &marks_.front();
        for (const Mark& candidate : marks_) {
            if (candidate.offset > offset) break;
            best = &candidate;
        }
        const double bytes = offset >= best->offset ? static_cast<double>(offset - best->offset)
                                                    : -static_cast<double>(best->offset - offset);
        return best->seconds + bytes * seconds_per_byte();
    }

    void mark(double seconds) {
        if (!marks_.empty() && marks_.back().offset == written_) {
            marks_.back().seconds = seconds;
            return;
        }
        marks_.push_back(Mark{written_, seconds});
    }

    void append_silence(double seconds) {
        const std::size_t bytes = static_cast<std::size_t>(seconds * rate_) * frame_bytes_;
        bytes_.append_zeros(bytes);
        written_ += bytes;
    }

    const int rate_;
    const std::size_t frame_bytes_;
    ByteFifo bytes_;
    std::deque<Mark> marks_;
    std::uint64_t read_ = 0;
    std::uint64_t written_ = 0;
    bool anchored_ = false;
    std::uint64_t serial_ = 0;
};

}  // namespace reelpipe
