// The handover between the sound feeder and the playback callback: a
// lock-free single-producer, single-consumer ring of playback bytes (over
// miniaudio's ma_rb), with the input time of what it holds.
//
// Each push carries one mark: the input time of its first byte and the
// input seconds each byte stands for (the speed over the byte rate), so the
// callback reads the time of whatever follows what it took, across a wrap
// of the ring and across a change of speed, without asking anyone.
//
// Threads: allocate() runs while neither side does (the device is not
// playing and the feeder is not running). The producer side (room(),
// push(), written()) is called by one thread at a time: the owner holds its
// own lock around it. The consumer side (take(), discard_all()) likewise,
// under a lock of the owner's that the callback only ever tries; it never
// blocks, allocates or waits for the producer.
// read() and written() are atomics any thread may read.
//
// Ordering: a push stores its mark before its bytes and publishes both by
// the release store of written_; the consumer loads written_ (acquire)
// before it looks at the marks, so every byte it may take has its mark
// visible. read_ is published the same way back to the producer, which
// reuses bytes and mark slots only below it.
//
// Invariants: read_ <= written_ <= read_ + capacity; the marks held are
// ordered by offset, the front one at or before read_ once anything has
// been taken.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <miniaudio.h>

namespace reelpipe {

// Where a run of sound starts in input time, and how much input time each
// of its bytes stands for.
struct SoundMark {
    std::uint64_t offset = 0;  // of its first byte, counted from the start
    double seconds = std::numeric_limits<double>::quiet_NaN();
    double seconds_per_byte = 0.0;

    // Input time of the byte at `at` (at or after offset); NaN when the run
    // has no time.
    double seconds_at(std::uint64_t at) const {
        return seconds + static_cast<double>(at - offset) * seconds_per_byte;
    }
};

class DeviceRing {
public:
    // A run shorter than this many bytes still takes a mark of its own; the
    // marks are sized for runs of a few hundred bytes on average.
    static constexpr std::size_t mark_slots = 512;

    DeviceRing() = default;
    ~DeviceRing() { release(); }
    DeviceRing(const DeviceRing&) = delete;
    DeviceRing& operator=(const DeviceRing&) = delete;

    // Makes room for `capacity` bytes and empties the ring; false when the
    // memory cannot be had. Only while neither side runs.
    bool allocate(std::size_t capacity) {
        release();
        if (ma_rb_init(capacity, nullptr, nullptr, &bytes_) != MA_SUCCESS) return false;
        ready_ = true;
        capacity_ = capacity;
        marks_.assign(mark_slots, SoundMark{});
        marks_pushed_ = marks_taken_ = 0;
        written_ = read_ = 0;
        return true;
    }
    std::size_t capacity() const { return capacity_; }

    // --- Producer.

    std::size_t room() const {
        if (marks_pushed_.load() - marks_taken_.load() >= mark_slots) return 0;
        return capacity_ - static_cast<std::size_t>(written_.load() - read_.load());
    }
    // Appends `count` bytes (count <= room()) whose first is at input time
    // `seconds` (NaN: unknown), each standing for `seconds_per_byte`.
    void push(const std::uint8_t* data, std::size_t count, double seconds, double seconds_per_byte) {
        if (count == 0 || count > room()) return;
        const std::uint64_t at = written_.load(std::memory_order_relaxed);
        const std::uint64_t slot = marks_pushed_.load(std::memory_order_relaxed);
        marks_[slot % mark_slots] = SoundMark{at, seconds, seconds_per_byte};
        marks_pushed_.store(slot + 1, std::memory_order_release);
        std::size_t done = 0;
        while (done < count) {
            std::size_t part = count - done;
            void* into = nullptr;
            if (ma_rb_acquire_write(&bytes_, &part, &into) != MA_SUCCESS || part == 0) break;
            std::memcpy(into, data + done, part);
            ma_rb_commit_write(&bytes_, part);
            done += part;
        }
        written_.store(at + done, std::memory_order_release);
    }

    std::uint64_t written() const { return written_.load(); }
    std::uint64_t read() const { return read_.load(); }

    // --- Consumer (the callback).

    // Drops every byte written so far.
    void discard_all() {
        const std::uint64_t read = read_.load(std::memory_order_relaxed);
        const std::uint64_t end = written_.load(std::memory_order_acquire);
        if (end > read) advance(static_cast<std::size_t>(end - read));
    }

    // Copies the next `count` bytes to `out` and sets `next_seconds` to the
    // input time of the byte after them (NaN: unknown), and
    // `seconds_per_byte` to what each byte taken stood for. False, taking
    // nothing, when fewer than `count` bytes are held.
    bool take(void* out, std::size_t count, double& next_seconds, double& seconds_per_byte) {
        const std::uint64_t read = read_.load(std::memory_order_relaxed);
        if (written_.load(std::memory_order_acquire) - read < count) return false;
        std::size_t done = 0;
        auto* into = static_cast<std::uint8_t*>(out);
        while (done < count) {
            std::size_t part = count - done;
            void* from = nullptr;
            if (ma_rb_acquire_read(&bytes_, &part, &from) != MA_SUCCESS || part == 0) break;
            std::memcpy(into + done, from, part);
            ma_rb_commit_read(&bytes_, part);
            done += part;
        }
        const SoundMark& spent = front_mark();
        seconds_per_byte = spent.seconds_per_byte;
        read_.store(read + done, std::memory_order_release);
        drop_passed_marks();
        next_seconds = front_mark().seconds_at(read + done);
        return true;
    }

private:
    void release() {
        if (ready_) ma_rb_uninit(&bytes_);
        ready_ = false;
        capacity_ = 0;
    }

    void advance(std::size_t count) {
        ma_rb_seek_read(&bytes_, count);
        read_.store(read_.load(std::memory_order_relaxed) + count, std::memory_order_release);
        drop_passed_marks();
    }

    // The mark that times the byte at read_: the last pushed at or before it.
    const SoundMark& front_mark() const {
        return marks_[marks_taken_.load(std::memory_order_relaxed) % mark_slots];
    }
    void drop_passed_marks() {
        const std::uint64_t read = read_.load(std::memory_order_relaxed);
        std::uint64_t taken = marks_taken_.load(std::memory_order_relaxed);
        const std::uint64_t pushed = marks_pushed_.load(std::memory_order_acquire);
        while (pushed - taken > 1 && marks_[(taken + 1) % mark_slots].offset <= read) ++taken;
        marks_taken_.store(taken, std::memory_order_release);
    }

    ma_rb bytes_{};
    bool ready_ = false;
    std::size_t capacity_ = 0;
    std::vector<SoundMark> marks_;
    std::atomic<std::uint64_t> marks_pushed_{0};  // producer writes
    std::atomic<std::uint64_t> marks_taken_{0};   // consumer writes: index of the front mark
    std::atomic<std::uint64_t> written_{0};       // producer writes
    std::atomic<std::uint64_t> read_{0};          // consumer writes
};

}  // namespace reelpipe
