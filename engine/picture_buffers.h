// PictureBuffers: the memory of the pictures handed out, mapped from the system for
// each picture and unmapped when it dies, with a few recycled.
//
// A 1080p picture is 6 MB and a 4K one 25 MB. Taken from the C library,
// such buffers end up in its arenas once it has raised its mapping
// threshold after the first large frees, and freed arena memory is not
// given back: a process that opens and closes decoders would keep the
// peak of every queue it ever held. Mapped pages go back to the system at
// munmap. Fresh pages fault in, zeroed, while the picture is converted, so
// a few buffers returned by pictures that are gone are kept and handed out
// again: in steady playback a picture dies for every one made, so a few
// suffice, and memory still comes back when a seek drops a full queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <sys/mman.h>

extern "C" {
#include <libavutil/buffer.h>
}

#include "fork_safety.h"

namespace reelpipe {

class PictureBuffers {
public:
    // Keeps at most `keep_count` returned buffers.
    explicit PictureBuffers(std::size_t keep_count) : shared(std::make_shared<Shared>(keep_count)) {}
    ~PictureBuffers() { shared->close(); }

    PictureBuffers(const PictureBuffers&) = delete;
    PictureBuffers& operator=(const PictureBuffers&) = delete;

    // A buffer of at least `size` bytes; null when out of memory. Its last
    // reference may be dropped on any thread, before or after this object
    // is destroyed: the bookkeeping lives as long as any buffer does.
    AVBufferRef* get(std::size_t size) {
        std::uint8_t* data = shared->take(size);
        if (data == nullptr) data = map_pages(size);
        if (data == nullptr) return nullptr;
        auto* loan = new (std::nothrow) Loan{shared, size};
        AVBufferRef* ref = loan != nullptr ? av_buffer_create(data, size, give_back, loan, 0) : nullptr;
        if (ref == nullptr) {
            delete loan;
            unmap_pages(data, size);
        }
        return ref;
    }

private:
    // Null when the system has no memory to map. The converter writes every
    // page at once: faulting them all in with the mapping costs half of
    // taking one fault per page.
    static std::uint8_t* map_pages(std::size_t size) {
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return data == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(data);
    }
    static void unmap_pages(std::uint8_t* data, std::size_t size) { munmap(data, size); }

    struct Shared {
        // Room for every buffer kept is made here, so that put(), called
        // from FFmpeg's C code, never allocates and so never throws.
        explicit Shared(std::size_t keep_count) : keep_count(keep_count) { kept.reserve(keep_count); }
        ~Shared() { release_kept(); }

        std::uint8_t* take(std::size_t wanted) {
            std::lock_guard<std::mutex> lock(mutex);
            if (wanted != size) {
                release_kept();  // another picture size: the kept ones no longer fit
                size = wanted;
                return nullptr;
            }
            if (kept.empty()) return nullptr;
            std::uint8_t* data = kept.back();
            kept.pop_back();
            return data;
        }

        void put(std::uint8_t* data, std::size_t data_size) {
            // A picture of a decoder inherited through a fork, dropped in the
            // child: the video thread that may have held `mutex` at the fork
            // is not here to release it.
            if (fork_generation() != born_in_fork_generation) {
                unmap_pages(data, data_size);
                return;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!closed && data_size == size && kept.size() < keep_count) {
                    kept.push_back(data);
                    return;
                }
            }
            unmap_pages(data, data_size);
        }

        void close() {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
            release_kept();
        }

        // Caller holds `mutex`, or is the destructor.
        void release_kept() {
            for (std::uint8_t* data : kept) unmap_pages(data, size);
            kept.clear();
        }

        const std::size_t keep_count;
        const std::uint64_t born_in_fork_generation = fork_generation();
        // Taken by the video thread for a new picture and by whichever
        // thread drops a picture's last reference, which may hold any of the
        // decoder's locks then: a leaf, no other lock is taken under it.
        std::mutex mutex;
        std::vector<std::uint8_t*> kept;  // guarded by mutex
        std::size_t size = 0;             // guarded by mutex: the size of the buffers kept
        bool closed = false;              // guarded by mutex: the decoder is gone, keep nothing
    };

    // What a buffer handed out carries back: the bookkeeping, kept alive by
    // it, and the buffer's size.
    struct Loan {
        std::shared_ptr<Shared> shared;
        std::size_t size;
    };

    // av_buffer_create()'s free callback: the buffer's last reference is gone.
    static void give_back(void* opaque, std::uint8_t* data) {
        auto* loan = static_cast<Loan*>(opaque);
        loan->shared->put(data, loan->size);
        delete loan;
    }

    std::shared_ptr<Shared> shared;
};

}  // namespace reelpipe
