// Messages for the application's logging: FFmpeg's, miniaudio's and the
// engine's own. Any thread posts into one bounded queue without waiting for
// anything but the queue's own lock; the binding takes the records out with
// the interpreter lock held and hands them to Python's logging. Nothing here
// writes to stderr or stdout.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace reelpipe {

// Python's logging levels, which the records carry as they are.
enum class LogLevel : int { debug = 10, info = 20, warning = 30, error = 40 };

// Where a record goes: the logger "reelpipe" for the engine's own events and
// the device's, "reelpipe.ffmpeg" for FFmpeg's messages.
enum class LogChannel { engine, ffmpeg };

struct LogRecord {
    LogChannel channel;
    LogLevel level;
    std::string input;    // the input the message is about; empty when unknown
    std::string message;  // one line, without its newline
};

// Names one input in the records about it. A decoder owns one for its whole
// life and stores its address in the opaque field of its format and codec
// contexts, so that FFmpeg's own threads' messages are tied to the input
// too; the address is looked up in a registry of live tags before use,
// because other users' contexts keep other things there.
class LogInput {
public:
    explicit LogInput(std::string name);
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;

    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// Ties every message posted on this thread to `input` while it lives: the
// engine's threads and the constructor run inside one.
class LogInputScope {
public:
    explicit LogInputScope(const LogInput* input);
    ~LogInputScope();
    LogInputScope(const LogInputScope&) = delete;
    LogInputScope& operator=(const LogInputScope&) = delete;

private:
    const LogInput* previous_;
};

// FFmpeg's description of an error code, as its tools print it.
std::string ffmpeg_error_text(int error);

// Queues one of the engine's own events for the logger "reelpipe", about the
// input of this thread's LogInputScope, when someone listens at its level.
void log_event(LogLevel level, std::string message);

// Installs the FFmpeg log callback, once per copy of the engine. Messages
// about a decoder's input are queued when their level is listened to; all
// others go to FFmpeg's default callback as before, at the level the process
// chose. The callback is one per process, so only the program that takes the
// records installs it: a second copy of the engine (the tests' probe module)
// would otherwise take it over, and its registry knows none of the first
// copy's inputs.
void install_ffmpeg_log_callback();

// Sets the most verbose Python levels someone listens to on "reelpipe" and
// on "reelpipe.ffmpeg" (0 or more): the engine's events below the first are
// not queued, and above error nothing of FFmpeg's is formatted at all.
void set_log_thresholds(int engine_python_level, int ffmpeg_python_level);

// The records queued so far, oldest first, and how many were dropped from the
// front of the queue because it was full since the last call.
std::vector<LogRecord> take_log_records(std::size_t* dropped);

// An eventfd that becomes readable when a record is queued into an empty
// queue, so that a thread can sleep until there is work without a lock the
// posting threads would share; -1 when none could be made. A forked child
// gets a new one (fork_safety.h), so ask again after a fork.
int log_wakeup_fd();

// The most records held at once; a flood beyond it drops the oldest.
constexpr std::size_t log_queue_capacity = 1000;

}  // namespace reelpipe
