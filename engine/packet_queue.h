// A packet queue per stream: the demux thread pushes the packets it reads
// for the stream, the stream's decode thread pops them. Each entry keeps
// the serial of the pipeline it was read for (a seek starts a new one) and
// the stream time it starts at, so the queue knows how far reading has run
// (read_to(): the time of the latest packet pushed, which is each stream's
// read-ahead measure) and how many bytes it holds.
//
// Lock: `mutex` guards the entries; the decode thread waits on `cv` for a
// push, the end of a seek or stop(), each notifying with `mutex` held.
// queued() and read_to() are atomics readable without it.
//
// Invariants (under `mutex`):
//   - queued() == the number of entries, bytes() == the sum of their sizes;
//   - nothing null is ever queued;
//   - entries are in the order read, so their serials never decrease;
//   - clear() empties the queue and sets read_to() to where reading starts
//     again (a seek's target).
#pragma once

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "ffmpeg_ptr.h"

namespace reelpipe {

class PacketQueue {
public:
    std::mutex mutex;
    std::condition_variable cv;  // a push, the end of a seek, stop()

    // --- Call with `mutex` held.

    // A packet and the serial of the pipeline it was read for; with a looped
    // input, whether it is the first of a new lap.
    struct Entry {
        PacketPtr packet;
        std::uint64_t serial = 0;
        bool lap_start = false;
    };

    // Appends a copy of `packet`, read for pipeline `serial`, starting at
    // `seconds` (NaN: no timestamp; read_to() stays), with its lap start,
    // and wakes the decode thread. A copy that cannot be allocated costs
    // that packet.
    void push(const AVPacket& packet, std::uint64_t serial, double seconds, bool lap_start = false) {
        if (!std::isnan(seconds)) read_to_ = seconds;
        PacketPtr copy = clone_packet(&packet);
        if (!copy) return;
        bytes_ += static_cast<std::size_t>(copy->size > 0 ? copy->size : 0);
        entries_.push_back(Entry{std::move(copy), serial, lap_start});
        queued_ = entries_.size();
        cv.notify_one();
    }
    // The front entry, removed; its packet is null when the queue is empty.
    Entry pop() {
        if (entries_.empty()) return {};
        Entry entry = std::move(entries_.front());
        entries_.pop_front();
        bytes_ -= static_cast<std::size_t>(entry.packet->size > 0 ? entry.packet->size : 0);
        queued_ = entries_.size();
        return entry;
    }
    void clear(double from) {
        entries_.clear();
        bytes_ = 0;
        queued_ = 0;
        read_to_ = from;
    }
    bool empty() const { return entries_.empty(); }
    // The timestamp of the first queued key packet; AV_NOPTS_VALUE when
    // none is queued or it has no timestamp.
    std::int64_t first_key_pts() const {
        for (const Entry& entry : entries_) {
            if ((entry.packet->flags & AV_PKT_FLAG_KEY) != 0) return entry.packet->pts;
        }
        return AV_NOPTS_VALUE;
    }
    std::size_t bytes() const { return bytes_; }

    // --- Readable without the lock.
    std::size_t queued() const { return queued_; }
    double read_to() const { return read_to_; }
    // For the read-ahead tests of the probe: where reading has run to.
    void set_read_to(double seconds) { read_to_ = seconds; }

private:
    std::deque<Entry> entries_;
    std::size_t bytes_ = 0;
    std::atomic<std::size_t> queued_{0};
    std::atomic<double> read_to_{0.0};
};

}  // namespace reelpipe
