// Log delivery: the engine's records to Python's logging (log_delivery.h).
#include "log_delivery.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interpreter_lock.h"
#include "log_queue.h"
#include "python_text.h"

namespace py = pybind11;

namespace reelpipe::binding {

namespace {

const char* logger_name(LogChannel channel) {
    return channel == LogChannel::ffmpeg ? "reelpipe.ffmpeg" : "reelpipe";
}

// Hands one record to its logger, when that logger is enabled for its level.
// The record names its input in its message and as the attribute `input`.
void hand_to_logging(const py::module_& logging, LogChannel channel, int level, const std::string& input,
                     const std::string& message) {
    py::object logger = logging.attr("getLogger")(logger_name(channel));
    if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
    py::dict extra;
    extra["input"] = input.empty() ? py::none() : text_of(input, "surrogateescape");
    const std::string line = input.empty() ? message : input + ": " + message;
    py::object record = logger.attr("makeRecord")(logger_name(channel), level, "", 0, text_of(line, "replace"),
                                                  py::tuple(), py::none(), py::none(), extra);
    logger.attr("handle")(record);
}

// The least level that a handler other than a NullHandler takes records of
// `logger` at, through propagation; past CRITICAL when none does.
int listening_level(const py::module_& logging, const py::object& logger) {
    constexpr int nobody = std::numeric_limits<int>::max();
    const py::object null_handler = logging.attr("NullHandler");
    int least = nobody;
    for (py::object node = logger; !node.is_none(); node = node.attr("parent")) {
        for (const py::handle handler : node.attr("handlers")) {
            if (!py::isinstance(handler, null_handler)) least = std::min(least, handler.attr("level").cast<int>());
        }
        if (!node.attr("propagate").cast<bool>()) break;
    }
    if (least == nobody) return nobody;
    const int disabled_up_to = logging.attr("root").attr("manager").attr("disable").cast<int>();
    return std::max({least, logger.attr("getEffectiveLevel")().cast<int>(), disabled_up_to + 1});
}

// Tells the engine which of its events and of FFmpeg's messages anyone
// listens to, so that the others are never queued or formatted.
void refresh_log_thresholds(const py::module_& logging) {
    set_log_thresholds(listening_level(logging, logging.attr("getLogger")("reelpipe")),
                       listening_level(logging, logging.attr("getLogger")("reelpipe.ffmpeg")));
}

// Set by the one thread handing records over, so that they reach logging in
// the order they were queued. Only ever tried, never waited for: a handler
// may let the interpreter lock go, and the thread it lets in may be here. A
// flag rather than a mutex, so that a fork's child, which keeps only the
// forking thread, can clear it whoever set it.
std::atomic<bool> delivering{false};

// Tells the logger "reelpipe" that something could not be handed to
// logging: a Python exception goes as the record's exc_info, a failure to
// convert a value (a handler whose level is not a number) by its text. A
// logger that fails at this too has no way left to hear of it; stderr is
// not one.
void report_delivery_failure(const py::module_& logging, const py::object& exception, const char* text) {
    try {
        logging.attr("getLogger")("reelpipe").attr("error")("a record could not be handed to logging%s",
                                                            py::str(text), py::arg("exc_info") = exception);
    } catch (const py::error_already_set&) {
        // Dropped: see above.
    } catch (const std::exception&) {
        // Dropped: see above.
    }
}

// Runs `deliver` so that no failure of it comes out: each is reported.
template <typename Delivery>
void reporting_failures(const py::module_& logging, Delivery deliver) {
    try {
        deliver();
    } catch (const py::error_already_set& failure) {
        report_delivery_failure(logging, failure.value(), "");
    } catch (const std::exception& failure) {
        report_delivery_failure(logging, py::none(), (std::string(": ") + failure.what()).c_str());
    }
}

// Hands one record over; a failing handler, filter or logger class is
// reported and the next record goes on.
void hand_over(const py::module_& logging, LogChannel channel, int level, const std::string& input,
               const std::string& message) {
    reporting_failures(logging, [&] { hand_to_logging(logging, channel, level, input, message); });
}

// Hands every queued record to logging, oldest first, after a note of how
// many a flood pushed out. Call with the interpreter lock held.
void deliver_queued_records(const py::module_& logging) {
    refresh_log_thresholds(logging);
    for (;;) {
        std::size_t dropped = 0;
        const std::vector<LogRecord> records = take_log_records(&dropped);
        if (records.empty() && dropped == 0) return;
        if (dropped != 0) {
            hand_over(logging, LogChannel::engine, static_cast<int>(LogLevel::warning), "",
                      std::to_string(dropped) + " messages dropped: more came than logging took in time");
        }
        for (const LogRecord& record : records) {
            hand_over(logging, record.channel, static_cast<int>(record.level), record.input, record.message);
        }
    }
}

}  // namespace

void deliver_log_records() {
    if (delivering.exchange(true)) return;
    struct Delivered {
        ~Delivered() { delivering = false; }
    } delivered;
    py::module_ logging;
    try {
        logging = py::module_::import("logging");
    } catch (const py::error_already_set&) {
        // Without the logging module there is nowhere to deliver to.
        return;
    }
    reporting_failures(logging, [&] { deliver_queued_records(logging); });
}

namespace {

// ---- The delivery thread. A Python thread, so that it shows in threading's
// list and a fork's child knows it is gone, whose body is below. It sleeps on
// the queue's wakeup descriptor through poll(), which takes a descriptor of
// any number, at most a second so that changes of the loggers' levels reach
// the engine. Across its waits it holds the interpreter lock released and
// no Python reference: a daemon thread that meets the interpreter's
// finalization there is ended as it takes the lock back, unwound through
// its frames, and must have nothing to drop on the way. At exit it is
// stopped and joined before the last records go out.

// Why a wait for records failed; empty when it did not. Wakes when a
// record is queued into an empty queue, or after a second.
std::string wait_for_records(int fd) {
    pollfd watched{fd, POLLIN, 0};
    const int ready = poll(&watched, 1, 1000);
    if (ready < 0) return errno == EINTR ? "" : std::string("poll() failed: ") + std::strerror(errno);
    if (ready == 0) return "";
    if ((watched.revents & POLLIN) != 0) {
        // Another reader may have taken the count first; nothing is lost.
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = read(fd, &count, sizeof count);
        return "";
    }
    char events[16];
    std::snprintf(events, sizeof events, "%#x", static_cast<unsigned>(watched.revents));
    return "the wakeup descriptor " + std::to_string(fd) + " is gone (poll events " + events + ")";
}

// Says that the thread waits on a timer from now on; a logger that fails at
// this too has no way left to hear of it.
void warn_of_polling(const std::string& failure) {
    try {
        py::module_::import("logging").attr("getLogger")("reelpipe").attr("warning")(
            "waiting for log records failed; polling instead: %s", failure);
    } catch (const py::error_already_set&) {
        // Dropped: see above.
    }
}

// Asks the delivery thread to end; shared with it, so that a thread that
// outlives its join's bound still finds it.
struct Stopping {
    std::atomic<bool> asked{false};
};

// The body of the delivery thread: waits, hands the records over, and
// after a last delivery ends once asked to. A failed wait is reported once
// and the thread goes on paced by a 100 ms timer.
void run_delivery(int fd, const std::shared_ptr<Stopping>& stopping) {
    bool polling = fd >= 0;
    for (;;) {
        std::string failure;
        {
            ReleaseInterpreterLock unlocked;
            if (polling) {
                failure = wait_for_records(fd);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (!failure.empty()) {
            polling = false;
            warn_of_polling(failure);
        }
        deliver_log_records();
        if (stopping->asked) return;
    }
}

// The delivery thread of this process, if any. Changed with the interpreter
// lock held; made once and never destroyed, as it holds a Python reference
// that must not be dropped after finalization.
struct DeliveryThread {
    py::object thread;  // its threading.Thread; empty when none was started or it was stopped
    std::shared_ptr<Stopping> stopping;
    int fd = -1;        // the wakeup descriptor it sleeps on
};

DeliveryThread& delivery() {
    static auto* current = new DeliveryThread;
    return *current;
}

// Starts the thread unless it runs already (in a fork's child, the parent's
// is not alive).
void start_delivery_thread() {
    DeliveryThread& current = delivery();
    if (current.thread && current.thread.attr("is_alive")().cast<bool>()) return;
    auto stopping = std::make_shared<Stopping>();
    const int fd = log_wakeup_fd();
    py::object thread = py::module_::import("threading")
                            .attr("Thread")(py::arg("target") = py::cpp_function([fd, stopping] {
                                                run_delivery(fd, stopping);
                                            }),
                                            py::arg("name") = "reelpipe-log", py::arg("daemon") = true);
    thread.attr("start")();
    current.thread = std::move(thread);
    current.stopping = std::move(stopping);
    current.fd = fd;
}

// Asks the thread to end, wakes it, and waits up to 5 s for it.
void stop_delivery_thread() {
    DeliveryThread& current = delivery();
    if (!current.thread) return;
    const py::object thread = std::move(current.thread);
    current.thread = py::object();
    current.stopping->asked = true;
    if (current.fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(current.fd, &one, sizeof one);
    }
    if (!thread.is(py::module_::import("threading").attr("current_thread")())) thread.attr("join")(5.0);
}

// At exit: the thread ends, then the last records go out.
void finish_at_exit() {
    stop_delivery_thread();
    deliver_log_records();
}

// This process's decoders, those inherited through a fork aside. Changed
// with the interpreter lock held; a fork's child starts from none.
std::size_t decoders_of_this_process = 0;

// A fork's child handler: the parent's delivering thread is not in the
// child, and the parent's decoders are not the child's.
void forget_the_parents_delivery() {
    delivering = false;
    decoders_of_this_process = 0;
}

// Takes FFmpeg's log callback and readies delivery, once, when the first
// decoder is made: importing the module does neither.
void set_up_delivery_once() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<bool> storage;
    storage.call_once_and_store_result([] {
        install_ffmpeg_log_callback();
        pthread_atfork(nullptr, nullptr, forget_the_parents_delivery);
        py::module_::import("atexit").attr("register")(py::cpp_function(&finish_at_exit));
        return true;
    });
}

}  // namespace

void prepare_logging_for_opening() {
    set_up_delivery_once();
    refresh_log_thresholds(py::module_::import("logging"));
}

void one_decoder_more() {
    if (decoders_of_this_process++ == 0) {
        set_up_delivery_once();
        start_delivery_thread();
    }
}

void one_decoder_fewer() {
    if (--decoders_of_this_process != 0) return;
    try {
        stop_delivery_thread();
    } catch (const py::error_already_set&) {
        // The thread is asked to stop before anything here can fail; it
        // ends at its next wake-up.
    }
    deliver_log_records();
}

void set_up_logging() {
    const py::module_ logging = py::module_::import("logging");
    logging.attr("getLogger")("reelpipe").attr("addHandler")(logging.attr("NullHandler")());
}

}  // namespace reelpipe::binding
