// A first-in first-out queue of bytes over one contiguous allocation.
//
// The sound feeder takes bytes from the front a few milliseconds at a time;
// sliding the remainder down on every take would cost up to a full buffer's
// worth of memmove each time. Instead the front advances by an offset, and
// the decode thread, which appends, compacts the storage when the consumed
// prefix has grown large. Not thread-safe: the owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace reelpipe {

class ByteFifo {
public:
    std::size_t size() const { return storage_.size() - front_; }
    bool empty() const { return size() == 0; }

    // Appends `count` bytes; may allocate (and throw std::bad_alloc).
    void append(const std::uint8_t* bytes, std::size_t count) {
        const bool would_grow = storage_.size() + count > storage_.capacity();
        if (front_ > 0 && (front_ >= storage_.size() / 2 || would_grow)) compact();
        storage_.insert(storage_.end(), bytes, bytes + count);
    }

    // Appends `count` zero bytes (silence); may throw std::bad_alloc.
    void append_zeros(std::size_t count) {
        if (front_ > 0 && front_ >= storage_.size() / 2) compact();
        storage_.insert(storage_.end(), count, std::uint8_t{0});
    }

    // Copies the first `count` bytes to `out` and removes them. The caller
    // has checked that `count` <= size(). Never allocates. Taking nothing
    // from an empty FIFO is allowed: its storage may be null then, which
    // memcpy must not be given even for no bytes.
    void pop_into(void* out, std::size_t count) {
        if (count == 0) return;
        std::memcpy(out, storage_.data() + front_, count);
        front_ += count;
        if (front_ == storage_.size()) clear();
    }

    // Drops every byte; the capacity stays for the next fill.
    void clear() {
        storage_.clear();
        front_ = 0;
    }

private:
    void compact() {
        storage_.erase(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(front_));
        front_ = 0;
    }

    std::vector<std::uint8_t> storage_;
    std::size_t front_ = 0;
};

}  // namespace reelpipe
