// The FFmpeg I/O context over a caller's reader (byte_source.h).
#include "byte_source.h"

#include <cstdio>
#include <utility>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "log_queue.h"

namespace reelpipe {

namespace {

// The context's buffer, and the least a refill asks the reader for: FFmpeg
// refills into the buffer's free end only while that much is free, else
// from its start, so each call asks for the whole 1 MiB. A reader whose
// every call costs a hand-over to another thread and the interpreter lock
// (a Python object's) is then called a few times a second even for 4K:
// with 64 KiB calls, 1080p read unpaced on a loaded machine came at 0.6 of
// the path's speed, the demux thread waiting on each hand-over. A reader
// answers with what it has (a socket's, say), so a large call costs a live
// input no delay.
constexpr int buffer_size = 1024 * 1024;
constexpr int min_read_size = buffer_size;

}  // namespace

ByteSourceIo::ByteSourceIo(std::shared_ptr<ByteSource> source, ByteSource::GivenUp given_up)
    : source_(std::move(source)), given_up_(std::move(given_up)) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(buffer_size));
    if (buffer == nullptr) return;
    context_ = avio_alloc_context(buffer, buffer_size, 0, this, &ByteSourceIo::read_packet, nullptr,
                                  source_->seekable() ? &ByteSourceIo::seek_to : nullptr);
    if (context_ == nullptr) {
        av_free(buffer);
        return;
    }
    context_->max_packet_size = min_read_size;
}

ByteSourceIo::~ByteSourceIo() {
    if (context_ == nullptr) return;
    // FFmpeg may have replaced the buffer it was given by one of its own.
    av_freep(&context_->buffer);
    avio_context_free(&context_);
}

int ByteSourceIo::read_packet(void* opaque, std::uint8_t* into, int size) {
    auto* io = static_cast<ByteSourceIo*>(opaque);
    // A reader that failed stays failed: its object is broken or closed,
    // and one warning says so.
    if (io->read_failed_) return AVERROR(EIO);
    std::string failure;
    const int read = io->source_->read(into, size, io->given_up_, failure);
    if (read == AVERROR_EXIT) io->read_given_up_ = true;
    if (read < 0 && read != AVERROR_EOF && read != AVERROR_EXIT) {
        io->read_failed_ = true;
        log_event(LogLevel::warning, "reading failed: " + (failure.empty() ? ffmpeg_error_text(read) : failure));
    }
    return read;
}

void ByteSourceIo::resume_after_stop() {
    if (!read_given_up_ || context_ == nullptr) return;
    // The read given up left FFmpeg's end-of-input mark and its error, and
    // nothing else: the buffer still stands where it did.
    context_->eof_reached = 0;
    context_->error = 0;
    read_given_up_ = false;
}

std::int64_t ByteSourceIo::seek_to(void* opaque, std::int64_t offset, int whence) {
    auto* io = static_cast<ByteSourceIo*>(opaque);
    whence &= ~AVSEEK_FORCE;
    // An object whose seek() failed is not asked again, for its size either
    // (the end of a file asks whether it has grown).
    if (io->seek_failed_) return AVERROR(ESPIPE);
    std::string failure;
    const std::int64_t moved = io->source_->seek(offset, whence, io->given_up_, failure);
    if (moved < 0 && whence != AVSEEK_SIZE && moved != AVERROR_EXIT) {
        io->seek_failed_ = true;
        io->context_->seekable = 0;
        log_event(LogLevel::warning, "seeking failed: " + (failure.empty() ? ffmpeg_error_text(static_cast<int>(moved)) : failure) +
                                         "; the input is read front to back from here on");
    }
    return moved;
}

}  // namespace reelpipe
