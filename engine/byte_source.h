// An input read from a reader the caller supplies rather than from a path:
// the reader's interface, and the FFmpeg I/O context that reads through it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

namespace reelpipe {

// Where an input's bytes come from when it has no path. The engine calls it
// from one thread at a time (the constructor's while it probes, then the
// demux thread's), never holding a lock of its own. An implementation may
// answer from elsewhere, but waits for the answer only in short steps,
// asking `given_up` between them: once that turns true, the call returns
// AVERROR_EXIT at once and its answer, when it comes, is dropped.
class ByteSource {
public:
    // True once the engine no longer wants the answer (stop(), or the
    // opening's deadline passed).
    using GivenUp = std::function<bool()>;

    virtual ~ByteSource() = default;

    // Reads up to `size` (> 0) bytes into `into`: how many it read,
    // AVERROR_EOF at the end of the input, or a negative AVERROR when the
    // reader failed, `failure` then saying why.
    virtual int read(std::uint8_t* into, int size, const GivenUp& given_up, std::string& failure) = 0;
    // Moves to `offset` from `whence` (SEEK_SET, SEEK_CUR or SEEK_END) and
    // returns the new position; for AVSEEK_SIZE, returns the input's size
    // without moving. A negative AVERROR as for read().
    virtual std::int64_t seek(std::int64_t offset, int whence, const GivenUp& given_up, std::string& failure) = 0;
    // False for a reader that can only be read front to back.
    virtual bool seekable() const = 0;
};

// The FFmpeg I/O context over a ByteSource, and its buffer. A format context
// opened with it (AVFMT_FLAG_CUSTOM_IO) must be closed before this is
// destroyed. Its callbacks run on whichever thread FFmpeg reads on, and log
// a reader's failure once as a WARNING about that thread's input; a failed
// seek makes the input one that is read front to back from then on.
class ByteSourceIo {
public:
    // Null context() when FFmpeg could not allocate one.
    ByteSourceIo(std::shared_ptr<ByteSource> source, ByteSource::GivenUp given_up);
    ~ByteSourceIo();
    ByteSourceIo(const ByteSourceIo&) = delete;
    ByteSourceIo& operator=(const ByteSourceIo&) = delete;

    AVIOContext* context() const { return context_; }
    // After stop() gave up on a read, lets FFmpeg read on where it stood
    // rather than take the input as ended. Call while no thread reads.
    void resume_after_stop();

private:
    static int read_packet(void* opaque, std::uint8_t* into, int size);
    static std::int64_t seek_to(void* opaque, std::int64_t offset, int whence);

    std::shared_ptr<ByteSource> source_;
    ByteSource::GivenUp given_up_;
    AVIOContext* context_ = nullptr;
    bool read_failed_ = false;  // FFmpeg's reading thread only
    bool seek_failed_ = false;  // FFmpeg's reading thread only
    bool read_given_up_ = false;  // FFmpeg's reading thread, and resume_after_stop() while none runs
};

}  // namespace reelpipe
