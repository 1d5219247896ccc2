// The timeline: how the input's timestamps become the seconds the caller
// sees (position, seek targets, picture times), and how each stream's
// timestamps are carried across joins. Pure functions and plain values: no
// lock, no thread; the demux thread alone owns the join state.
//
// Invariants:
//   - caller seconds = timestamp seconds - origin; the origin is fixed at
//     construction;
//   - a time the caller is told (position, duration) is never more than the
//     input's length when the length is known (clamp());
//   - a stream's offset changes only at a jump of more than join_threshold
//     seconds from where the stream was heading: to the other stream's
//     offset when the other stream is already where the jump lands (a gap in
//     this stream: its packets keep their own time), else so that the stream
//     carries on where it was (a join: both streams jump).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

namespace reelpipe {

// Seconds of a timestamp in the given time base; the quotient is formed
// first so that every reader rounds the same way.
inline double timestamp_seconds(AVRational time_base, std::int64_t ts) {
    return static_cast<double>(time_base.num) / static_cast<double>(time_base.den) * static_cast<double>(ts);
}

// Truncates a timestamp toward zero; a value too large for 64 bits (a seek
// to 1e300 or infinity) becomes the largest timestamp instead of undefined.
inline std::int64_t saturating_timestamp(double units) {
    constexpr double largest = 9.2e18;
    if (std::isnan(units)) return 0;
    if (units <= -largest) return static_cast<std::int64_t>(-largest);
    return units < largest ? static_cast<std::int64_t>(units) : static_cast<std::int64_t>(largest);
}

// A timestamp this many seconds away from where its stream was heading is
// a jump, on formats that allow them: within one stream, packets lie a
// picture or a sound frame apart. It also tells whether the two streams'
// jumps are the same one.
constexpr double join_threshold = 3.0;

struct Timeline {
    double origin = 0.0;   // the input's start, seconds of its own timestamps
    double length = 0.0;   // seconds; 0 when unknown (a live stream)

    double seconds(AVRational time_base, std::int64_t ts) const { return timestamp_seconds(time_base, ts) - origin; }
    // The timestamp, in `time_base`, of caller seconds; saturating.
    std::int64_t timestamp(AVRational time_base, double caller_seconds) const {
        const double units =
            (caller_seconds + origin) / (static_cast<double>(time_base.num) / static_cast<double>(time_base.den));
        return saturating_timestamp(units);
    }
    // A time as the caller may be told it: never past the length when the
    // length is known, never NaN.
    double clamp(double caller_seconds) const {
        if (std::isnan(caller_seconds)) return 0.0;
        return length > 0.0 && caller_seconds > length ? length : caller_seconds;
    }
};

// How one stream's timestamps are rewritten across joins: the offset added
// since the last join, the decode timestamp (offset applied) its next
// packet is expected at, the length of a packet that states none, the
// input's own time (seconds) of its first packet after its latest join
// (NaN before any), and its latest decode timestamp as read (no offset).
struct TimestampJoins {
    std::int64_t offset = 0;
    std::int64_t next_dts = AV_NOPTS_VALUE;
    std::int64_t step = 0;
    double joined_at = std::numeric_limits<double>::quiet_NaN();
    std::int64_t last_dts = AV_NOPTS_VALUE;

    // After a seek the input is read from another place: its timestamps
    // count as they are again until the next jump.
    void forget() {
        offset = 0;
        next_dts = AV_NOPTS_VALUE;
        joined_at = std::numeric_limits<double>::quiet_NaN();
        last_dts = AV_NOPTS_VALUE;
    }
};

// The join state of the two streams, the demux thread's alone: whether the
// format lets timestamps jump (MPEG-TS and its kin; fixed at construction),
// and each stream's joins.
struct StreamJoins {
    bool possible = false;
    TimestampJoins video;
    TimestampJoins audio;

    void forget() {
        video.forget();
        audio.forget();
    }
};

// The laps of a looped input: the seconds added to the timestamps of the
// lap being read, so that the pipeline sees one timeline across the seams
// (a seek sets it back to 0), where each stream begins and ends by the
// packets read (the sound's less the samples its decoder trims at either
// end), whether each stream's next packet is the first of a new lap (all
// the demux thread's alone), and the length of a lap once the first has
// been read (0 before; written by the demux thread, read by the position),
// by which the caller's times start again at 0; and the samples the sound's
// decoder was told to trim from the end the first time the end was read
// (-1 before), which every later lap keeps (see keep_lap_end_trimming()).
struct Laps {
    double offset = 0.0;
    std::int64_t sound_end_trimmed = -1;
    double sound_read_start = std::numeric_limits<double>::infinity();
    double sound_read_end = 0.0;
    double pictures_read_start = std::numeric_limits<double>::infinity();
    double pictures_read_end = 0.0;
    bool sound_seam = false;
    bool pictures_seam = false;
    std::atomic<double> length{0.0};
    std::atomic<double> pictures_base{0.0};  // where a lap's pictures begin; set with length
};

// Carries one packet's timestamps (`pts`, `dts`, either AV_NOPTS_VALUE)
// across a jump. A packet more than join_threshold away from where its
// stream was heading is either a gap in this stream, when `other` (the other
// stream's joins, may be null) was last read within join_threshold of where
// the packet lands, or else a join: two recordings joined, a broadcast
// splice. After a gap the stream takes the other's offset, so its packets
// keep their own time against the other stream; after a join its
// timestamps are moved so that they carry on where they were. At a join the
// demuxer may hand out the last packets of one stream's old piece after the
// other's new piece began, so each stream finds its own joins; when
// `follow` is set (the pictures, which follow the sound), a stream whose
// join is the other's too takes the other's offset, which keeps the new
// piece's own sync.
inline void follow_joins(TimestampJoins& joins, AVRational time_base, std::int64_t& pts, std::int64_t& dts,
                         std::int64_t duration, const TimestampJoins* other, AVRational other_time_base,
                         bool follow) {
    const std::int64_t read = dts != AV_NOPTS_VALUE ? dts : pts;
    if (read == AV_NOPTS_VALUE) return;
    if (joins.next_dts != AV_NOPTS_VALUE &&
        std::fabs(timestamp_seconds(time_base, read + joins.offset - joins.next_dts)) > join_threshold) {
        const bool other_is_there =
            other != nullptr && other->last_dts != AV_NOPTS_VALUE &&
            std::fabs(timestamp_seconds(other_time_base, other->last_dts) - timestamp_seconds(time_base, read)) <
                join_threshold;
        if (other_is_there) {
            joins.offset = av_rescale_q(other->offset, other_time_base, time_base);
        } else {
            joins.offset = joins.next_dts - read;
            joins.joined_at = timestamp_seconds(time_base, read);
        }
    }
    if (follow && other != nullptr && !std::isnan(joins.joined_at) &&
        std::fabs(other->joined_at - joins.joined_at) < join_threshold) {
        joins.offset = av_rescale_q(other->offset, other_time_base, time_base);
    }
    joins.last_dts = read;
    if (pts != AV_NOPTS_VALUE) pts += joins.offset;
    if (dts != AV_NOPTS_VALUE) dts += joins.offset;
    joins.next_dts = read + joins.offset + (duration > 0 ? duration : joins.step);
}

}  // namespace reelpipe
