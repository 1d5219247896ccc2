// The extension module `reelpipe`: the class MediaDecoder, its thirteen
// playback methods and what a Python program expects around them (options,
// a with block, iteration, repr). Each method forwards to one engine
// operation; the ones that can block release the interpreter lock while the
// engine waits.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>

#include "media_decoder.h"

namespace py = pybind11;
using reelpipe::DecoderOptions;
using reelpipe::FramePtr;
using reelpipe::MediaDecoder;
using reelpipe::PlaybackState;

namespace {

// A path as the operating system takes it: the bytes of a bytes or bytearray
// object, or of a str or os.PathLike encoded as os.fsencode() does (the file
// system encoding with surrogate escapes, so a name os.listdir() returned
// comes back to the same bytes).
struct InputPath {
    std::string bytes;
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<InputPath> {
    PYBIND11_TYPE_CASTER(InputPath, const_name("str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]"));

    // Anything else is not a path: the call fails with pybind11's TypeError.
    // A str that the file system encoding cannot take raises its
    // UnicodeEncodeError, as os.fsencode() would.
    bool load(handle source, bool /*convert*/) {
        if (PyByteArray_Check(source.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(source.ptr()),
                               static_cast<std::size_t>(PyByteArray_GET_SIZE(source.ptr())));
            return true;
        }
        object named = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!named) {
            PyErr_Clear();
            return false;
        }
        object encoded = named;
        if (PyUnicode_Check(named.ptr())) {
            encoded = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(named.ptr()));
            if (!encoded) throw error_already_set();
        }
        value.bytes = reinterpret_borrow<bytes>(encoded);
        return true;
    }
};

}  // namespace pybind11::detail

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

// A path or message from the engine as text; bytes that are not UTF-8 come
// back as surrogate escapes rather than as a UnicodeDecodeError.
py::str engine_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "surrogateescape");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// Timeouts beyond this many seconds wait as long as no timeout does; it
// keeps the deadline within the steady clock's range.
constexpr double longest_timeout = 1e8;

// The wait get_next_frame() was asked for: none for None (or a timeout too
// long to matter). Negative and NaN are refused.
std::optional<std::chrono::nanoseconds> frame_wait(std::optional<double> timeout) {
    if (!timeout) return std::nullopt;
    if (std::isnan(*timeout) || *timeout < 0.0) throw py::value_error("timeout must be a number of seconds >= 0 or None");
    if (*timeout > longest_timeout) return std::nullopt;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(*timeout * 1e9));
}

py::object next_frame(MediaDecoder& decoder, std::optional<double> timeout, bool with_time) {
    const std::optional<std::chrono::nanoseconds> wait = frame_wait(timeout);
    MediaDecoder::Delivery delivery;
    {
        py::gil_scoped_release unlocked;
        delivery = decoder.get_next_frame(wait);
    }
    if (!delivery.picture) return py::none();
    py::object picture = picture_array(std::move(delivery.picture));
    if (!with_time) return picture;
    py::object seconds = delivery.seconds ? py::object(py::float_(*delivery.seconds)) : py::none();
    return py::make_tuple(picture, seconds);
}

std::pair<int, int> picture_size(const MediaDecoder& decoder) { return {decoder.get_width(), decoder.get_height()}; }

// The Python object a method was called on: pybind11 hands back the
// existing wrapper of a registered instance.
MediaDecoder& itself(MediaDecoder& decoder) { return decoder; }

bool is_running(const MediaDecoder& decoder) {
    const PlaybackState state = decoder.get_state();
    return state == PlaybackState::playing || state == PlaybackState::paused;
}

// How long one step of iteration waits for a picture before it looks
// whether the input is over; and how long it rests when the decoder had
// nothing to wait for (the pictures are over but the sound plays on, or a
// seek is under way), so that it does not spin.
constexpr std::chrono::milliseconds iteration_wait{50};
constexpr std::chrono::milliseconds iteration_rest{5};

// The next picture as it falls due, for `for picture in decoder`. Ends the
// iteration once the input is finished or the decoder does not run; Ctrl-C
// interrupts the wait between steps.
py::object next_picture_or_stop(MediaDecoder& decoder) {
    for (;;) {
        FramePtr picture;
        bool over = false;
        {
            py::gil_scoped_release unlocked;
            const auto began = std::chrono::steady_clock::now();
            picture = decoder.get_next_frame(iteration_wait).picture;
            if (!picture) {
                over = decoder.is_finished() || !is_running(decoder);
                if (!over && std::chrono::steady_clock::now() - began < iteration_rest) {
                    std::this_thread::sleep_for(iteration_rest);
                }
            }
        }
        if (picture) return picture_array(std::move(picture));
        if (over) throw py::stop_iteration();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

// Leaving a with block: stops the decoder and lets any exception pass on.
void leave_block(MediaDecoder& decoder, const py::object& /*exc_type*/, const py::object& /*exc_value*/,
                 const py::object& /*traceback*/) {
    py::gil_scoped_release unlocked;
    decoder.stop();
}

const char* state_name(PlaybackState state) {
    switch (state) {
        case PlaybackState::constructed:
            return "constructed";
        case PlaybackState::playing:
            return "playing";
        case PlaybackState::paused:
            return "paused";
        case PlaybackState::stopped:
            return "stopped";
    }
    return "unknown";
}

// <reelpipe.MediaDecoder 'clip.mp4' 1920x1080 at 30 fps, 60.0 s, playing>
std::string describe(const MediaDecoder& decoder) {
    std::string text = "<reelpipe.MediaDecoder " + py::repr(engine_text(decoder.get_path())).cast<std::string>();
    if (decoder.has_video()) {
        text += py::str(" {}x{} at {:g} fps").format(decoder.get_width(), decoder.get_height(), decoder.get_fps())
                    .cast<std::string>();
    } else {
        text += " without video";
    }
    text += py::str(", {:.1f} s, {}>").format(decoder.get_duration(), state_name(decoder.get_state()))
                .cast<std::string>();
    return text;
}

// Refuses read-ahead seconds that are negative, NaN or infinite.
void check_seconds(const char* name, double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        throw py::value_error(std::string(name) + " must be a finite number of seconds >= 0");
    }
}

// The caller's options, checked before anything is opened.
DecoderOptions checked_options(bool audio, double max_buffer_ahead, double min_buffer_ahead,
                               long long max_picture_memory) {
    check_seconds("max_buffer_ahead", max_buffer_ahead);
    check_seconds("min_buffer_ahead", min_buffer_ahead);
    if (min_buffer_ahead > max_buffer_ahead) {
        throw py::value_error("min_buffer_ahead must not be above max_buffer_ahead");
    }
    if (max_picture_memory < 0) throw py::value_error("max_picture_memory must be a number of bytes >= 0");
    DecoderOptions options;
    options.audio = audio;
    options.max_buffer_ahead = max_buffer_ahead;
    options.min_buffer_ahead = min_buffer_ahead;
    options.max_picture_memory = static_cast<std::size_t>(max_picture_memory);
    return options;
}

// Raises the RuntimeError of a failed open: the engine's message, which
// names the path byte for byte, with FFmpeg's reason as a note.
[[noreturn]] void raise_open_error(const reelpipe::OpenError& error) {
    py::object exception = py::reinterpret_steal<py::object>(
        PyObject_CallOneArg(PyExc_RuntimeError, engine_text(error.what()).ptr()));
    if (!exception) throw py::error_already_set();
    exception.attr("add_note")(engine_text(error.reason()));
    PyErr_SetObject(PyExc_RuntimeError, exception.ptr());
    throw py::error_already_set();
}

// Opens a decoder with the interpreter lock released.
DecoderHolder open_decoder(const InputPath& path, bool audio, double max_buffer_ahead, double min_buffer_ahead,
                           long long max_picture_memory) {
    const DecoderOptions options = checked_options(audio, max_buffer_ahead, min_buffer_ahead, max_picture_memory);
    try {
        py::gil_scoped_release unlocked;
        return DecoderHolder(new MediaDecoder(path.bytes, options));
    } catch (const reelpipe::OpenError& error) {
        raise_open_error(error);
    }
}

constexpr long long default_picture_memory = static_cast<long long>(DecoderOptions{}.max_picture_memory);

constexpr const char* class_doc = R"doc(Plays one media input (a file or URL): FFmpeg decodes it on background
threads, the sound plays on the default playback device, and the pictures are
handed out as NumPy arrays when they are due against the sound.

    with reelpipe.MediaDecoder("clip.mp4") as decoder:
        decoder.start()
        for picture in decoder:   # (height, width, 3) uint8 RGB, each when it is due
            draw(picture)

Iterating yields each picture as it falls due and ends once the input is
finished (see is_finished()); it neither starts nor stops the decoder. Leaving
a with block stops it.)doc";

constexpr const char* init_doc = R"doc(Opens and probes the input; nothing plays before start().

path: a file name or URL, as str, bytes, bytearray or os.PathLike (a str is
    encoded as os.fsencode() does).
audio: False leaves the sound out: no device is opened and the pictures come
    unpaced, as fast as they are asked for (batch extraction).
max_buffer_ahead: seconds of input read ahead of the picture on screen before
    reading waits.
min_buffer_ahead: seconds read ahead that end buffering; at most
    max_buffer_ahead.
max_picture_memory: bytes of decoded pictures held ready (2 GiB by default);
    one picture is always let in, whatever its size.

Invalid options raise ValueError or TypeError before anything is opened. An
input that cannot be opened or probed raises RuntimeError; its note gives
FFmpeg's reason.)doc";

constexpr const char* next_frame_doc = R"doc(The next picture once it is due, as a (height, width, 3) RGB uint8 array
over the picture's own memory; None when there is nothing to show now (not
started, paused or buffering past the timeout, a seek under way, the input
over, or no pictures in the input).

timeout: seconds to wait at most for a picture to fall due; None waits as
    long as it takes (until the picture is due, a seek, stop() or the end).
with_time: True returns (picture, seconds) instead, seconds being the
    picture's own time on the scale of get_position() and seek(), or None for
    a picture without a timestamp; None still means no picture.)doc";

}  // namespace

PYBIND11_MODULE(reelpipe, m) {
    using release_lock = py::call_guard<py::gil_scoped_release>;
    py::class_<MediaDecoder, DecoderHolder>(m, "MediaDecoder", class_doc)
        .def(py::init(&open_decoder), init_doc, py::arg("path"), py::kw_only(), py::arg("audio") = true,
             py::arg("max_buffer_ahead") = DecoderOptions{}.max_buffer_ahead,
             py::arg("min_buffer_ahead") = DecoderOptions{}.min_buffer_ahead,
             py::arg("max_picture_memory") = default_picture_memory)
        .def("start", &MediaDecoder::start,
             "Starts reading, decoding and the sound; after stop(), starts again where it stood.")
        .def("stop", &MediaDecoder::stop, release_lock(),
             "Ends playback and releases the sound device; waits for the threads to end. Safe to call again.")
        .def("get_next_frame", &next_frame, next_frame_doc, py::kw_only(), py::arg("timeout") = py::none(),
             py::arg("with_time") = false)
        .def("get_fps", &MediaDecoder::get_fps, "Pictures per second of the video stream; 30.0 when unknown.")
        .def("get_duration", &MediaDecoder::get_duration, "Length of the input in seconds; 0.0 when unknown.")
        .def("get_position", &MediaDecoder::get_position,
             "Playback position in seconds: the sound's clock, or the last picture's time without sound.")
        .def("seek", &MediaDecoder::seek, release_lock(), py::arg("seconds"),
             "Moves playback to `seconds` from the start (negative or NaN: 0) and waits until reading has got "
             "there.")
        .def("pause", &MediaDecoder::pause, "Holds the sound and with it the pictures; resume() goes on.")
        .def("resume", &MediaDecoder::resume, "Goes on after pause().")
        .def("set_volume", &MediaDecoder::set_volume, py::arg("volume"),
             "Sets the gain: 1.0 as recorded, 0 or less (or NaN) silence, no upper bound.")
        .def("get_volume", &MediaDecoder::get_volume, "The current gain; 1.0 for an input without sound.")
        .def("is_buffering", &MediaDecoder::is_buffering,
             "True while reading ahead before playback (re)starts, or while a seek is under way.")
        .def("is_finished", &MediaDecoder::is_finished,
             "True once the input has ended, every picture has been handed out or dropped and the sound has "
             "played out; false before start() and again after a seek back into the input.")
        .def("has_audio", &MediaDecoder::has_audio, "True when a sound stream is played.")
        .def("has_video", &MediaDecoder::has_video, "True when the input has a video stream whose pictures come out.")
        .def("get_size", &picture_size, "(width, height) of the pictures handed out; (0, 0) without video.")
        .def("__iter__", &itself, py::return_value_policy::reference, "The decoder itself: it yields its pictures.")
        .def("__next__", &next_picture_or_stop,
             "The next picture as it falls due; StopIteration once the input is finished or the decoder is not "
             "running.")
        .def("__enter__", &itself, py::return_value_policy::reference, "The decoder itself.")
        .def("__exit__", &leave_block, py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
             "Stops the decoder; an exception raised in the block passes on.")
        .def("__repr__", &describe);
}
