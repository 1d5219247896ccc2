// The extension module `reelpipe`: the class MediaDecoder and its thirteen
// methods. Each method forwards to one engine operation; the ones that can
// block release the interpreter lock while the engine waits.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <limits>
#include <mutex>

#include "log_queue.h"
#include "media_decoder.h"

namespace py = pybind11;
using reelpipe::FramePtr;
using reelpipe::MediaDecoder;

namespace {

// The engine's teardown joins threads; it runs with the interpreter lock
// released so that other interpreter threads go on meanwhile.
struct ReleaseLockAndDelete {
    void operator()(MediaDecoder* decoder) const {
        py::gil_scoped_release unlocked;
        delete decoder;
    }
};
using DecoderHolder = std::unique_ptr<MediaDecoder, ReleaseLockAndDelete>;

void free_frame(void* frame) {
    auto* owned = static_cast<AVFrame*>(frame);
    av_frame_free(&owned);
}

// Wraps a picture in a uint8 array of shape (height, width, 3) over the
// frame's own memory. The array's base is a capsule that owns the frame, so
// the picture lives exactly as long as the array and its views. NumPy is
// imported here, on the first picture, not when the module loads.
py::object picture_array(FramePtr picture) {
    AVFrame* frame = picture.get();
    py::capsule owner(frame, free_frame);
    picture.release();  // the capsule owns it now
    const auto rows = static_cast<py::ssize_t>(frame->height);
    const auto columns = static_cast<py::ssize_t>(frame->width);
    const auto row_stride = static_cast<py::ssize_t>(frame->linesize[0]);
    return py::array(py::dtype::of<std::uint8_t>(), {rows, columns, py::ssize_t{3}},
                     {row_stride, py::ssize_t{3}, py::ssize_t{1}}, frame->data[0], owner);
}

py::object next_frame(MediaDecoder& decoder) {
    FramePtr picture;
    {
        py::gil_scoped_release unlocked;
        picture = decoder.get_next_frame();
    }
    if (!picture) return py::none();
    return picture_array(std::move(picture));
}

// ---- Log records: from the engine's queue to Python's logging. The engine's
// threads never wait for the interpreter; records reach logging here, with
// the interpreter lock held, by one small thread as soon as they come and at
// each construction.

const char* logger_name(reelpipe::LogChannel channel) {
    return channel == reelpipe::LogChannel::ffmpeg ? "reelpipe.ffmpeg" : "reelpipe";
}

// Text from the engine as a str that no handler can fail to write.
py::object text_of(const std::string& bytes, const char* errors) {
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<py::ssize_t>(bytes.size()), errors));
    if (!text) throw py::error_already_set();
    return text;
}

// Hands one record to its logger, when that logger is enabled for its level.
// The record names its input in its message and as the attribute `input`.
void hand_to_logging(const py::module_& logging, reelpipe::LogChannel channel, int level, const std::string& input,
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

// Tells the engine which of FFmpeg's messages anyone listens to, so that the
// others are never formatted.
void refresh_ffmpeg_log_threshold(const py::module_& logging) {
    reelpipe::set_ffmpeg_log_threshold(listening_level(logging, logging.attr("getLogger")("reelpipe.ffmpeg")));
}

// Held by the one thread handing records over, so that they reach logging in
// the order they were queued. Only ever tried, never waited for: a handler
// may let the interpreter lock go, and the thread it lets in may be here.
std::mutex delivery_mutex;

// Hands every queued record to logging, oldest first, after a note of how
// many a flood pushed out. Call with the interpreter lock held.
void deliver_log_records() {
    std::unique_lock<std::mutex> delivering(delivery_mutex, std::try_to_lock);
    if (!delivering.owns_lock()) return;
    const py::module_ logging = py::module_::import("logging");
    refresh_ffmpeg_log_threshold(logging);
    for (;;) {
        std::size_t dropped = 0;
        const std::vector<reelpipe::LogRecord> records = reelpipe::take_log_records(&dropped);
        if (records.empty() && dropped == 0) return;
        if (dropped != 0) {
            hand_to_logging(logging, reelpipe::LogChannel::engine, static_cast<int>(reelpipe::LogLevel::warning), "",
                            std::to_string(dropped) + " messages dropped: more came than logging took in time");
        }
        for (const reelpipe::LogRecord& record : records) {
            hand_to_logging(logging, record.channel, static_cast<int>(record.level), record.input, record.message);
        }
    }
}

// Hands records over where no exception may come out: a failing handler or
// filter is reported as unraisable and playback goes on.
void deliver_log_records_reporting_errors() {
    try {
        deliver_log_records();
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("reelpipe handing a record to logging");
    }
}

// The delivering thread, in Python so that it waits only in the
// interpreter's own calls: a daemon thread that meets the interpreter's
// finalisation while waiting in C++ code would be unwound through
// references it no longer may drop. It sleeps on the queue's wakeup fd, at
// most a second so that changes of the loggers' levels reach the engine,
// and at exit it is stopped and joined before the last records go out.
constexpr const char* delivery_thread_source = R"(
import atexit, os, select, sys, threading

def start(wakeup_fd, deliver):
    stopping = threading.Event()

    def run():
        while not stopping.is_set():
            if wakeup_fd >= 0:
                if select.select([wakeup_fd], [], [], 1.0)[0]:
                    try:
                        os.read(wakeup_fd, 8)
                    except BlockingIOError:
                        pass
            else:
                stopping.wait(0.1)
            deliver()

    def finish():
        stopping.set()
        if wakeup_fd >= 0:
            os.write(wakeup_fd, (1).to_bytes(8, sys.byteorder))
        thread.join(5.0)
        deliver()

    thread = threading.Thread(target=run, name="reelpipe-log", daemon=True)
    thread.start()
    atexit.register(finish)
)";

// Gives the logger "reelpipe" its NullHandler, takes FFmpeg's log callback
// and starts the thread that delivers records.
void set_up_logging() {
    const py::module_ logging = py::module_::import("logging");
    logging.attr("getLogger")("reelpipe").attr("addHandler")(logging.attr("NullHandler")());
    reelpipe::install_ffmpeg_log_callback();
    refresh_ffmpeg_log_threshold(logging);
    py::dict scope;
    py::exec(delivery_thread_source, scope);
    scope["start"](reelpipe::log_wakeup_fd(), py::cpp_function(&deliver_log_records_reporting_errors));
}

// Opens a decoder with the interpreter lock released. The open failure names
// the path byte for byte, and a bytes path need not be UTF-8: such bytes
// come back as surrogate escapes rather than turning the RuntimeError into a
// UnicodeDecodeError.
DecoderHolder open_decoder(const std::string& path) {
    refresh_ffmpeg_log_threshold(py::module_::import("logging"));
    try {
        DecoderHolder decoder;
        {
            py::gil_scoped_release unlocked;
            decoder.reset(new MediaDecoder(path));
        }
        deliver_log_records_reporting_errors();
        return decoder;
    } catch (const std::runtime_error& error) {
        deliver_log_records_reporting_errors();
        const std::string message = error.what();
        py::object text = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(message.data(), static_cast<py::ssize_t>(message.size()), "surrogateescape"));
        if (!text) throw py::error_already_set();
        PyErr_SetObject(PyExc_RuntimeError, text.ptr());
        throw py::error_already_set();
    }
}

}  // namespace

PYBIND11_MODULE(reelpipe, m) {
    set_up_logging();
    using release_lock = py::call_guard<py::gil_scoped_release>;
    py::class_<MediaDecoder, DecoderHolder>(m, "MediaDecoder")
        .def(py::init(&open_decoder))
        .def("start", &MediaDecoder::start)
        .def("stop", &MediaDecoder::stop, release_lock())
        .def("get_next_frame", &next_frame)
        .def("get_fps", &MediaDecoder::get_fps)
        .def("get_duration", &MediaDecoder::get_duration)
        .def("get_position", &MediaDecoder::get_position)
        .def("seek", &MediaDecoder::seek, release_lock())
        .def("pause", &MediaDecoder::pause)
        .def("resume", &MediaDecoder::resume)
        .def("set_volume", &MediaDecoder::set_volume)
        .def("get_volume", &MediaDecoder::get_volume)
        .def("is_buffering", &MediaDecoder::is_buffering);
}
