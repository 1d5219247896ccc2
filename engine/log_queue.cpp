// The queue of records for Python's logging, and FFmpeg's log callback.
#include "log_queue.h"

#include "fork_safety.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace reelpipe {

namespace {

// The records waiting for the binding. A leaf lock: posting takes nothing
// else while it holds `mutex`, so any thread may post whatever it holds.
// Made once and never destroyed, as FFmpeg's threads may post while the
// process exits.
struct LogQueue {
    std::mutex mutex;
    std::deque<LogRecord> records;    // guarded by mutex
    std::size_t dropped = 0;          // guarded by mutex: records lost to a full queue since the last take
    // Signalled when records arrive in an empty queue; guarded by mutex.
    // Made once per process: a child makes its own, as the parent's counter
    // would carry each one's wake-ups to the other's reader.
    int wakeup_fd = make_wakeup_fd();

    static int make_wakeup_fd() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

    // Gives the child a counter of its own under the same number, so that
    // a reader that knows the number (the binding's thread, or its wake-up
    // at exit) never reaches a descriptor the program has opened since.
    void renew_wakeup_fd() {
        const int renewed = make_wakeup_fd();
        if (wakeup_fd < 0 || renewed < 0 || dup3(renewed, wakeup_fd, O_CLOEXEC) < 0) {
            if (wakeup_fd >= 0) close(wakeup_fd);
            wakeup_fd = renewed;
            return;
        }
        close(renewed);
    }
};

LogQueue& log_queue() {
    static auto* queue = new LogQueue;
    return *queue;
}

// The LogInput objects alive now; an opaque pointer of a context is trusted
// only when it is one of them. A leaf lock, held to copy one name.
struct InputRegistry {
    std::mutex mutex;
    std::unordered_set<const LogInput*> live;  // guarded by mutex
};

InputRegistry& input_registry() {
    static auto* registry = new InputRegistry;
    return *registry;
}

// The input whose work this thread is doing, if it is one of the engine's
// threads or a constructor.
thread_local const LogInput* current_input = nullptr;

// FFmpeg's most verbose level that someone listens to, AV_LOG_QUIET for
// none. Written by the binding, read by every FFmpeg thread's callback;
// relaxed, since a message filtered by a level a moment stale is harmless.
std::atomic<int> ffmpeg_threshold{AV_LOG_QUIET};

// The least Python level that someone listens to on the logger "reelpipe";
// the engine's events below it are not queued, so that they neither cost a
// record nor wake the delivery thread, which would take the interpreter lock
// from the caller's thread at the moments that matter most (a start, a
// seek). Written by the binding, read by every posting thread; relaxed, as
// above. Everything is queued until the binding says who listens.
std::atomic<int> engine_threshold{0};

// A line of FFmpeg's in progress on this thread: FFmpeg writes some lines in
// several calls, and only the last one ends with a newline. One that never
// ends is cut at longest_line.
thread_local std::string partial_line;
constexpr std::size_t longest_line = 4096;
thread_local int line_prefix = 1;

void post(LogRecord record) {
    LogQueue& queue = log_queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.records.size() >= log_queue_capacity) {
        queue.records.pop_front();
        ++queue.dropped;
    }
    queue.records.push_back(std::move(record));
    if (queue.records.size() == 1 && queue.wakeup_fd >= 0) {
        // A full counter (never read for 2^64 records) only means the
        // reader is already due to wake.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(queue.wakeup_fd, &one, sizeof one);
    }
}

// The name of the input a message with FFmpeg context `avcl` is about; false
// when it is about none of the decoders'. Besides the posting thread's own
// input, a format or codec context (FFmpeg's frame threads log with copies
// of the codec context, opaque field included) names its decoder's tag.
bool attributed_input(void* avcl, std::string* name) {
    if (current_input != nullptr) {
        *name = current_input->name();
        return true;
    }
    if (avcl == nullptr) return false;
    const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
    const void* opaque = nullptr;
    if (cls == avcodec_get_class()) {
        opaque = static_cast<const AVCodecContext*>(avcl)->opaque;
    } else if (cls == avformat_get_class()) {
        opaque = static_cast<const AVFormatContext*>(avcl)->opaque;
    }
    if (opaque == nullptr) return false;
    InputRegistry& registry = input_registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.live.find(static_cast<const LogInput*>(opaque));
    if (found == registry.live.end()) return false;
    *name = (*found)->name();
    return true;
}

LogLevel python_level(int ffmpeg_level) {
    if (ffmpeg_level <= AV_LOG_ERROR) return LogLevel::error;
    if (ffmpeg_level <= AV_LOG_WARNING) return LogLevel::warning;
    if (ffmpeg_level <= AV_LOG_INFO) return LogLevel::info;
    return LogLevel::debug;
}

// Formats one call's text onto this thread's line and queues the line once
// it ends. Messages without text of their own (a bare newline after a
// dump) are not worth a record.
void queue_ffmpeg_line(void* avcl, int level, const char* format, va_list arguments, std::string input) {
    char text[1024];
    av_log_format_line2(avcl, level, format, arguments, text, sizeof text, &line_prefix);
    partial_line += text;
    const bool ended = !partial_line.empty() && partial_line.back() == '\n';
    if (!ended && partial_line.size() < longest_line) return;
    if (ended) partial_line.pop_back();
    if (!partial_line.empty()) {
        post({LogChannel::ffmpeg, python_level(level), std::move(input), std::move(partial_line)});
    }
    partial_line.clear();
}

// FFmpeg's log callback, for every thread of the process. The level is
// judged before anything is formatted: a damaged input logs on every
// packet, and what nobody listens to must cost next to nothing.
void ffmpeg_log_callback(void* avcl, int level, const char* format, va_list arguments) {
    const int plain_level = level & 0xff;  // the bits above carry a colour
    const bool listened = plain_level <= ffmpeg_threshold.load(std::memory_order_relaxed);
    if (!listened && plain_level > av_log_get_level()) return;
    std::string input;
    if (!attributed_input(avcl, &input)) {
        av_log_default_callback(avcl, level, format, arguments);
        return;
    }
    if (listened) queue_ffmpeg_line(avcl, plain_level, format, arguments, std::move(input));
}

int ffmpeg_level_for(int python_level) {
    if (python_level <= static_cast<int>(LogLevel::debug)) return AV_LOG_DEBUG;
    if (python_level <= static_cast<int>(LogLevel::info)) return AV_LOG_INFO;
    if (python_level <= static_cast<int>(LogLevel::warning)) return AV_LOG_WARNING;
    if (python_level <= static_cast<int>(LogLevel::error)) return AV_LOG_ERROR;
    return AV_LOG_QUIET;
}

// A URL's user name and password stay out of the records: logs travel
// further than the program that opened the input.
std::string without_credentials(std::string name) {
    const std::size_t scheme_end = name.find("://");
    if (scheme_end == std::string::npos) return name;
    const std::size_t authority = scheme_end + 3;
    const std::size_t authority_end = name.find_first_of("/?#", authority);
    const std::size_t at = name.rfind('@', authority_end == std::string::npos ? name.size() : authority_end);
    if (at == std::string::npos || at < authority) return name;
    return name.replace(authority, at - authority, "***");
}

}  // namespace

std::string ffmpeg_error_text(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

LogInput::LogInput(std::string name) : name_(without_credentials(std::move(name))) {
    InputRegistry& registry = input_registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.insert(this);
}

LogInput::~LogInput() {
    InputRegistry& registry = input_registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.erase(this);
}

LogInputScope::LogInputScope(const LogInput* input) : previous_(current_input) { current_input = input; }

LogInputScope::~LogInputScope() { current_input = previous_; }

void log_event(LogLevel level, std::string message) {
    if (static_cast<int>(level) < engine_threshold.load(std::memory_order_relaxed)) return;
    post({LogChannel::engine, level, current_input != nullptr ? current_input->name() : std::string(),
          std::move(message)});
}

void install_ffmpeg_log_callback() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(ffmpeg_log_callback); });
}

void set_log_thresholds(int engine_python_level, int ffmpeg_python_level) {
    engine_threshold.store(engine_python_level, std::memory_order_relaxed);
    ffmpeg_threshold.store(ffmpeg_level_for(ffmpeg_python_level), std::memory_order_relaxed);
}

std::vector<LogRecord> take_log_records(std::size_t* dropped) {
    LogQueue& queue = log_queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    std::vector<LogRecord> taken(std::make_move_iterator(queue.records.begin()),
                                 std::make_move_iterator(queue.records.end()));
    queue.records.clear();
    *dropped = queue.dropped;
    queue.dropped = 0;
    return taken;
}

int log_wakeup_fd() {
    LogQueue& queue = log_queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.wakeup_fd;
}

// The registry before the queue: posting never holds the queue's lock while
// it looks an input up.
void hold_log_locks_for_fork() {
    input_registry().mutex.lock();
    log_queue().mutex.lock();
}

// The child keeps the registry (its inherited decoders' inputs stay
// named), but the queued records are the parent's to deliver, and the wake-up
// counter is shared with the parent until the child has one of its own.
void release_log_locks_after_fork(bool in_child) {
    LogQueue& queue = log_queue();
    if (in_child) {
        queue.records.clear();
        queue.dropped = 0;
        queue.renew_wakeup_fd();
    }
    queue.mutex.unlock();
    input_registry().mutex.unlock();
}

}  // namespace reelpipe
