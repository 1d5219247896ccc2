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
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "interpreter_lock.h"
#include "log_delivery.h"
#include "media_decoder.h"
#include "python_reader.h"
#include "python_text.h"

namespace py = pybind11;
using reelpipe::DecoderOptions;
using reelpipe::FramePtr;
using reelpipe::MediaDecoder;
using reelpipe::PlaybackState;
using reelpipe::binding::ReleaseInterpreterLock;
using reelpipe::binding::text_of;
namespace logs = reelpipe::binding;

namespace {

// The input the caller names: a path as the operating system takes it (the
// bytes of a bytes or bytearray object, or of a str or os.PathLike encoded
// as os.fsencode() does: the file system encoding with surrogate escapes,
// so a name os.listdir() returned comes back to the same bytes), or a
// binary file object to read it from.
struct InputSource {
    std::string path;
    py::object file;  // none for a path
};

// What every method takes as self: the engine decoder of an instance whose
// __init__ has run. pybind11 would otherwise hand a method the storage of
// an instance made by MediaDecoder.__new__ alone, never constructed.
struct InitialisedDecoder {
    MediaDecoder* decoder = nullptr;
};

// An argument that a named conversion below judges, so that a refusal names
// its option: the caster takes any object as it comes. `Kind` gives the type
// the signature shows.
template <typename Kind>
struct Given {
    pybind11::handle object;
};
struct FlagKind {
    static constexpr auto name = pybind11::detail::const_name("bool");
};
struct WholeNumberKind {
    static constexpr auto name = pybind11::detail::const_name("int");
};
struct NameKind {
    static constexpr auto name = pybind11::detail::const_name("str");
};
struct StreamNameKind {
    static constexpr auto name = pybind11::detail::const_name("int | str");
};
using Flag = Given<FlagKind>;
using WholeNumber = Given<WholeNumberKind>;
using Name = Given<NameKind>;
using StreamName = Given<StreamNameKind>;

}  // namespace

namespace pybind11::detail {

template <typename Kind>
struct type_caster<Given<Kind>> {
    PYBIND11_TYPE_CASTER(Given<Kind>, Kind::name);

    bool load(handle source, bool /*convert*/) {
        value.object = source;
        return true;
    }
    static handle cast(const Given<Kind>& given, return_value_policy, handle) { return given.object.inc_ref(); }
};

template <>
struct type_caster<InputSource> {
    PYBIND11_TYPE_CASTER(InputSource, const_name("str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes] | "
                                                 "typing.BinaryIO"));

    // Anything else is neither: the call fails with pybind11's TypeError. A
    // str that the file system encoding cannot take raises its
    // UnicodeEncodeError, as os.fsencode() would. An object that is a path
    // and has read() too is a path.
    bool load(handle source, bool /*convert*/) {
        if (PyByteArray_Check(source.ptr())) {
            value.path.assign(PyByteArray_AS_STRING(source.ptr()),
                              static_cast<std::size_t>(PyByteArray_GET_SIZE(source.ptr())));
            return true;
        }
        object named = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!named) {
            PyErr_Clear();
            if (!reelpipe::binding::is_file_object(source)) return false;
            value.file = reinterpret_borrow<object>(source);
            value.path = repr(source).cast<std::string>();
            return true;
        }
        object encoded = named;
        if (PyUnicode_Check(named.ptr())) {
            encoded = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(named.ptr()));
            if (!encoded) throw error_already_set();
        }
        value.path = reinterpret_borrow<bytes>(encoded);
        return true;
    }
};

template <>
class type_caster<InitialisedDecoder> {
public:
    static constexpr auto name = make_caster<MediaDecoder>::name;

    // False for an object of another type (pybind11 then reports the
    // incompatible arguments); TypeError for an instance never initialised.
    bool load(handle source, bool /*convert*/) {
        if (!isinstance<MediaDecoder>(source)) return false;
        auto* instance_of = reinterpret_cast<instance*>(source.ptr());
        const value_and_holder decoder = instance_of->get_value_and_holder(get_type_info(typeid(MediaDecoder)));
        if (!decoder.holder_constructed()) {
            throw type_error("MediaDecoder is not initialised: its __init__() never ran (a subclass that defines "
                             "__init__ must call super().__init__(path))");
        }
        value.decoder = decoder.value_ptr<MediaDecoder>();
        return true;
    }

    template <typename>
    using cast_op_type = InitialisedDecoder;
    operator InitialisedDecoder() const { return value; }

private:
    InitialisedDecoder value;
};

}  // namespace pybind11::detail

namespace {

// The identity of the interpreter's main thread, read at import. Only that
// thread finalizes the interpreter, so only it can never be ended while it
// takes the interpreter lock back.
unsigned long main_thread_ident = 0;

// Decoders inherited through a fork and dropped in this process: kept here,
// never freed, so that they stay reachable (a leak checker would otherwise
// take them for lost) until the process ends. Changed with the interpreter
// lock held; made once, never destroyed.
std::vector<MediaDecoder*>& abandoned_decoders() {
    static auto* abandoned = new std::vector<MediaDecoder*>;
    return *abandoned;
}

// The engine's teardown joins threads; on the main thread it runs with the
// interpreter lock released, so that other interpreter threads go on
// meanwhile. Any other thread keeps the lock: once finalization has begun,
// taking the lock back ends that thread with a forced unwind, which cannot
// pass through the holder's destructor (noexcept, as unique_ptr's is) and
// would abort the program. Keeping it is safe, since the engine's threads
// never wait for the interpreter. A decoder inherited through a fork is
// left as it is: its threads are not in this process, and freeing its
// contexts would wait for them for good.
struct ReleaseLockAndDelete {
    void operator()(MediaDecoder* decoder) const {
        if (decoder->inherited()) {
            abandoned_decoders().push_back(decoder);
            return;
        }
        if (Py_IsFinalizing()) {
            delete decoder;
            return;
        }
        if (PyThread_get_thread_ident() != main_thread_ident) {
            delete decoder;
        } else {
            ReleaseInterpreterLock unlocked;
            delete decoder;
        }
        logs::one_decoder_fewer();
    }
};
using DecoderHolder = std::unique_ptr<MediaDecoder, ReleaseLockAndDelete>;

// Binds an engine operation, or a function of the decoder, as a method
// that refuses an instance whose __init__ never ran before anything starts.
template <typename Result, typename... Args>
auto initialised_only(Result (MediaDecoder::*operation)(Args...)) {
    return [operation](InitialisedDecoder self, Args... args) -> Result {
        return (self.decoder->*operation)(std::forward<Args>(args)...);
    };
}

template <typename Result, typename... Args>
auto initialised_only(Result (MediaDecoder::*operation)(Args...) const) {
    return [operation](InitialisedDecoder self, Args... args) -> Result {
        return (self.decoder->*operation)(std::forward<Args>(args)...);
    };
}

template <typename Result, typename... Args>
auto initialised_only(Result (*function)(MediaDecoder&, Args...)) {
    return [function](InitialisedDecoder self, Args... args) -> Result {
        return function(*self.decoder, std::forward<Args>(args)...);
    };
}

template <typename Result, typename... Args>
auto initialised_only(Result (*function)(const MediaDecoder&, Args...)) {
    return [function](InitialisedDecoder self, Args... args) -> Result {
        return function(*self.decoder, std::forward<Args>(args)...);
    };
}

// The name of an object's type, for a TypeError.
std::string type_name(py::handle object) { return py::type::handle_of(object).attr("__name__").cast<std::string>(); }

// A flag as Python programs pass one: True or False, NumPy's bool, or the
// ints 0 and 1. None, text and other numbers are refused: "yes", "no" and
// None would otherwise read as whatever their truth happens to be.
bool flag(const char* option, const Flag& given) {
    PyObject* object = given.object.ptr();
    if (object == Py_True || object == Py_False) return object == Py_True;
    const py::handle type = py::type::handle_of(given.object);
    if (py::hasattr(type, "__module__") && type.attr("__module__").cast<std::string>() == "numpy" &&
        (type_name(given.object) == "bool" || type_name(given.object) == "bool_")) {
        return given.object.cast<bool>();
    }
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0 && (value == 0 || value == 1)) return value == 1;
        throw py::value_error(std::string(option) + " must be True or False (or 1 or 0), not " +
                              py::repr(given.object).cast<std::string>());
    }
    throw py::type_error(std::string(option) + " must be True or False, not " + type_name(given.object));
}

// A whole number (anything with __index__) of any size, clamped to long
// long's range: the engine's check refuses such a value as too large (or
// small), where pybind11 would refuse it as of the wrong type.
long long whole_number(const char* option, const Given<WholeNumberKind>& given) {
    if (!PyIndex_Check(given.object.ptr())) {
        throw py::type_error(std::string(option) + " must be an int, not " + type_name(given.object));
    }
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(given.object.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) return overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    return value;
}

long long whole_number(const char* option, const StreamName& given) {
    if (!PyIndex_Check(given.object.ptr())) {
        throw py::type_error(std::string(option) + " must be a stream index (int) or a language code (str), not " +
                             type_name(given.object));
    }
    return whole_number(option, WholeNumber{given.object});
}

// A name (a pixel format, a device, a language) as UTF-8; only a str is
// one, as bytes name files alone.
template <typename Kind>
std::string name_text(const char* option, const Given<Kind>& given) {
    if (!PyUnicode_Check(given.object.ptr())) {
        throw py::type_error(std::string(option) + " must be a str, not " + type_name(given.object));
    }
    return py::cast<std::string>(given.object);
}

void free_frame(void* frame) {
    auto* owned = static_cast<AVFrame*>(frame);
    av_frame_free(&owned);
}

// Loads NumPy's API, once, before a frame wait: pybind11 gives the lock up
// and takes it back while it loads it, in a frame that cannot be unwound,
// and a first picture built as the interpreter exits would end the program
// there. NumPy is still imported on first use, not when the module loads.
void load_numpy() { py::detail::npy_api::get(); }

// Starts playback with NumPy loaded first. Its first import takes longer
// than a first picture (about 100 ms against 30): paid on the first
// get_next_frame() instead, it held the caller while the sound's clock
// already ran, and the first pictures came out late and in a burst. A
// NumPy that cannot be loaded is left for get_next_frame() to raise, as
// the first call that needs it; a failed load is tried again there.
void start_playback(MediaDecoder& decoder) {
    try {
        load_numpy();
    } catch (const py::error_already_set&) {
    }
    ReleaseInterpreterLock unlocked;
    decoder.start();
}

// Wraps a picture in a uint8 array over the frame's own memory: of shape
// (height, width) for grey, (height, width, 3) or (height, width, 4) for
// colour. The array's base is a capsule that owns the frame, so the picture
// lives exactly as long as the array and its views.
py::object picture_array(FramePtr picture) {
    AVFrame* frame = picture.get();
    py::capsule owner(frame, free_frame);
    picture.release();  // the capsule owns it now
    const auto rows = static_cast<py::ssize_t>(frame->height);
    const auto columns = static_cast<py::ssize_t>(frame->width);
    const auto row_stride = static_cast<py::ssize_t>(frame->linesize[0]);
    const auto channels = static_cast<py::ssize_t>(reelpipe::picture_channels(frame->format));
    if (channels == 1) {
        return py::array(py::dtype::of<std::uint8_t>(), {rows, columns}, {row_stride, py::ssize_t{1}},
                         frame->data[0], owner);
    }
    return py::array(py::dtype::of<std::uint8_t>(), {rows, columns, channels},
                     {row_stride, channels, py::ssize_t{1}}, frame->data[0], owner);
}

py::object next_frame(MediaDecoder& decoder, std::optional<double> timeout, const Flag& with_time) {
    const std::optional<std::chrono::nanoseconds> wait = reelpipe::checked_frame_wait(timeout);
    load_numpy();
    MediaDecoder::Delivery delivery;
    {
        ReleaseInterpreterLock unlocked;
        delivery = decoder.get_next_frame(wait);
    }
    if (!delivery.picture) return py::none();
    py::object picture = picture_array(std::move(delivery.picture));
    if (!flag("with_time", with_time)) return picture;
    py::object seconds = delivery.seconds ? py::object(py::float_(*delivery.seconds)) : py::none();
    return py::make_tuple(picture, seconds);
}

std::pair<int, int> picture_size(const MediaDecoder& decoder) { return {decoder.get_width(), decoder.get_height()}; }

// The Python object a method was called on: pybind11 hands back the
// existing wrapper of a registered instance.
MediaDecoder& itself(MediaDecoder& decoder) { return decoder; }

// How long one step of iteration waits for a picture before the engine
// looks whether the input is over.
constexpr std::chrono::milliseconds iteration_wait{50};

// The next picture as it falls due, for `for picture in decoder`: the
// engine's loop step, translated. Ends the iteration once the input is
// finished or the decoder does not run; Ctrl-C interrupts the wait between
// steps.
py::object next_picture_or_stop(MediaDecoder& decoder) {
    load_numpy();
    for (;;) {
        FramePtr picture;
        reelpipe::LoopStep step;
        {
            ReleaseInterpreterLock unlocked;
            step = decoder.next_in_loop(iteration_wait, picture);
        }
        if (step == reelpipe::LoopStep::picture) return picture_array(std::move(picture));
        if (step != reelpipe::LoopStep::nothing_yet) throw py::stop_iteration();
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

// Leaving a with block: stops the decoder and lets any exception pass on.
void leave_block(MediaDecoder& decoder, const py::object& /*exc_type*/, const py::object& /*exc_value*/,
                 const py::object& /*traceback*/) {
    ReleaseInterpreterLock unlocked;
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
    // A file object is named by its own repr().
    const py::object name = text_of(decoder.get_path(), "surrogateescape");
    std::string text = "<reelpipe.MediaDecoder " +
                       (decoder.reads_from_reader() ? name : py::repr(name)).cast<std::string>();
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

// A stream as get_streams() gives it: None where the input does not say.
py::dict stream_dict(const reelpipe::StreamInfo& stream) {
    py::dict entry;
    entry["index"] = stream.index;
    entry["type"] = stream.type;
    entry["codec"] = stream.codec;
    entry["language"] = stream.language ? py::object(text_of(*stream.language, "replace")) : py::none();
    entry["title"] = stream.title ? py::object(text_of(*stream.title, "replace")) : py::none();
    entry["default"] = stream.is_default;
    if (stream.type == "video") {
        entry["width"] = stream.width;
        entry["height"] = stream.height;
        entry["fps"] = stream.fps > 0.0 ? py::object(py::float_(stream.fps)) : py::none();
    } else if (stream.type == "audio") {
        entry["sample_rate"] = stream.sample_rate;
        entry["channels"] = stream.channels;
    }
    entry["selected"] = stream.selected;
    return entry;
}

py::list stream_list(const MediaDecoder& decoder) {
    py::list listed;
    for (const reelpipe::StreamInfo& stream : decoder.get_streams()) listed.append(stream_dict(stream));
    return listed;
}

// get_picture_counts(): a skipped picture is one of those dropped.
py::dict picture_counts(const MediaDecoder& decoder) {
    const MediaDecoder::PictureTally tally = decoder.picture_tally();
    py::dict counts;
    counts["shown"] = tally.shown;
    counts["dropped"] = tally.late + tally.skipped;
    counts["skipped"] = tally.skipped;
    return counts;
}

// The playback devices, listed with the interpreter lock released: the
// backend may take a moment to answer.
py::list device_list() {
    std::vector<reelpipe::AudioDeviceInfo> devices;
    {
        ReleaseInterpreterLock unlocked;
        devices = MediaDecoder::audio_devices();
    }
    py::list listed;
    for (const reelpipe::AudioDeviceInfo& device : devices) {
        py::dict entry;
        entry["name"] = text_of(device.name, "replace");
        entry["id"] = text_of(device.system_name, "replace");
        entry["backend"] = device.backend;
        entry["default"] = device.is_default;
        listed.append(entry);
    }
    return listed;
}

// Raises the RuntimeError of a failed open: the engine's message, which
// names the path byte for byte, with FFmpeg's reason as a note.
[[noreturn]] void raise_open_error(const reelpipe::OpenError& error) {
    py::object exception = py::reinterpret_steal<py::object>(
        PyObject_CallOneArg(PyExc_RuntimeError, text_of(error.what(), "surrogateescape").ptr()));
    if (!exception) throw py::error_already_set();
    exception.attr("add_note")(text_of(error.reason(), "surrogateescape"));
    PyErr_SetObject(PyExc_RuntimeError, exception.ptr());
    throw py::error_already_set();
}

// Opens a decoder with the interpreter lock released. A failure is caught
// before the lock is taken back, so that the release guard is never
// destroyed while an exception is in flight: a thread ended there during
// finalization would find two exceptions at once and terminate.
DecoderHolder open_decoder(const InputSource& source, const Flag& audio, double max_buffer_ahead,
                           double min_buffer_ahead, const WholeNumber& max_picture_memory,
                           std::optional<std::pair<WholeNumber, WholeNumber>> size, const Name& pixel_format,
                           std::optional<WholeNumber> video_stream, std::optional<StreamName> audio_stream,
                           std::optional<Name> audio_device, const Flag& realtime, const Flag& loop,
                           std::optional<double> latency) {
    reelpipe::RequestedOptions asked;
    asked.audio = flag("audio", audio);
    asked.max_buffer_ahead = max_buffer_ahead;
    asked.min_buffer_ahead = min_buffer_ahead;
    asked.max_picture_memory = whole_number("max_picture_memory", max_picture_memory);
    if (size) asked.size = {whole_number("size", size->first), whole_number("size", size->second)};
    asked.pixel_format = name_text("pixel_format", pixel_format);
    if (video_stream) asked.video_stream = whole_number("video_stream", *video_stream);
    if (audio_stream) {
        if (PyUnicode_Check(audio_stream->object.ptr())) {
            asked.audio_stream_language = name_text("audio_stream", *audio_stream);
        } else {
            asked.audio_stream_index = whole_number("audio_stream", *audio_stream);
        }
    }
    if (audio_device) asked.audio_device = name_text("audio_device", *audio_device);
    asked.realtime = flag("realtime", realtime);
    asked.loop = flag("loop", loop);
    asked.latency = latency;
    // The engine checks the options; its std::invalid_argument is ValueError.
    DecoderOptions options = reelpipe::checked_options(asked);
    if (source.file) options.reader = reelpipe::binding::python_reader(source.file);
    // FFmpeg's messages about the opening already come to the queue.
    logs::prepare_logging_for_opening();
    std::unique_ptr<MediaDecoder> opened;
    std::exception_ptr failure;
    {
        ReleaseInterpreterLock unlocked;
        try {
            opened = std::make_unique<MediaDecoder>(source.path, options);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // The records of the opening, a failure's reason among them, reach
    // logging before the caller hears of the outcome.
    logs::deliver_log_records();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const reelpipe::OpenError& error) {
            raise_open_error(error);
        }
    }
    // Counted once it is held, so that a failure to start the delivery
    // thread releases it and counts it out again.
    DecoderHolder holder(opened.release());
    logs::one_decoder_more();
    return holder;
}

const long long default_picture_memory = static_cast<long long>(DecoderOptions{}.max_picture_memory);

constexpr const char* class_doc = R"doc(Plays one media input (a file or URL): FFmpeg decodes it on background
threads, the sound plays on the default playback device, and the pictures are
handed out as NumPy arrays when they are due against the sound.

    with reelpipe.MediaDecoder("clip.mp4") as decoder:
        decoder.start()
        for picture in decoder:   # (height, width, 3) uint8 RGB, each when it is due
            draw(picture)

MediaDecoder(path, size=(1280, -1), pixel_format="rgba") hands pictures out
scaled and in the layout a drawing library wants.

Iterating yields each picture as it falls due and ends once the input is
finished (see is_finished()); it neither starts nor stops the decoder. Leaving
a with block stops it.)doc";

constexpr const char* init_doc = R"doc(Opens and probes the input; nothing plays before start().

path: a file name or URL, as str, bytes, bytearray or os.PathLike (a str is
    encoded as os.fsencode() does); or a binary file object to read the
    input from: read(n) alone reads it once, front to back; with seek() and
    tell() it can seek. It is read from where it stands.
audio: False leaves the sound out: no device is opened and the pictures come
    unpaced, as fast as they are asked for (batch extraction).
max_buffer_ahead: seconds of input read ahead of the picture on screen before
    reading waits.
min_buffer_ahead: seconds read ahead that end buffering; at most
    max_buffer_ahead.
max_picture_memory: bytes of decoded pictures held ready (2 GiB by default);
    one picture is always let in, whatever its size.
size: (width, height) the pictures are scaled to, in the same pass as their
    colour conversion; one side -1 keeps the upright picture's aspect ratio
    (rounded to an even number). None: the stream's own upright size.
pixel_format: "rgb24" (shape (h, w, 3)), "bgr24", "rgba", "bgra" (shape
    (h, w, 4); the stream's alpha where it has one, else 255) or "gray"
    (shape (h, w)).
video_stream: the index of the video stream to play (see get_streams());
    None: FFmpeg's choice.
audio_stream: the index of the sound stream to play, or a language code
    (the first sound stream in that language); None: FFmpeg's choice.
audio_device: the playback device to play on, by its id or its name (see
    audio_devices()); None: the default device.
realtime: True paces the pictures of an input without sound (or of
    audio=False) by a wall clock from the first picture, as the sound would:
    for a player. False (the default) hands them out as soon as they are
    decoded: for extraction.
loop: True plays the input again from the start at its end, without a gap;
    get_position() goes back to 0 at each lap and is_finished() stays false.
latency: for a live input (a camera, a UDP/RTP/SRT feed, a live HTTP
    stream), the seconds playback is held behind the newest it has read: the
    input is opened for low delay, what piled up while opening is skipped,
    and playback plays faster (up to 1.1x) or skips ahead when it falls
    behind. It takes the place of min_buffer_ahead and paces the pictures
    as realtime does; seek() is refused. None (the default): a file or an
    on-demand stream.

Flags take True or False (NumPy's bool, 1 and 0 too), names a str. Invalid
options raise ValueError or TypeError before anything is opened, a
stream choice that names no such stream ValueError naming those there are. An
input that cannot be opened or probed raises RuntimeError; its note gives
FFmpeg's reason.)doc";

constexpr const char* next_frame_doc = R"doc(The next picture once it is due, as a uint8 array in the pixel format and
size chosen at opening ((height, width, 3) RGB by default)
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
    main_thread_ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    logs::set_up_logging();
    // For every method that can wait: on the engine's locks, the device or
    // its threads.
    using release_lock = py::call_guard<ReleaseInterpreterLock>;
    py::class_<MediaDecoder, DecoderHolder>(m, "MediaDecoder", class_doc)
        .def(py::init(&open_decoder), init_doc, py::arg("path"), py::kw_only(), py::arg("audio") = true,
             py::arg("max_buffer_ahead") = DecoderOptions{}.max_buffer_ahead,
             py::arg("min_buffer_ahead") = DecoderOptions{}.min_buffer_ahead,
             py::arg("max_picture_memory") = default_picture_memory, py::arg("size") = py::none(),
             py::arg("pixel_format") = DecoderOptions{}.pixel_format, py::arg("video_stream") = py::none(),
             py::arg("audio_stream") = py::none(), py::arg("audio_device") = py::none(),
             py::arg("realtime") = false, py::arg("loop") = false, py::arg("latency") = py::none())
        .def("start", initialised_only(&start_playback),
             "Starts reading, decoding and the sound; after stop(), starts again where it stood.")
        .def("stop", initialised_only(&MediaDecoder::stop), release_lock(),
             "Ends playback and releases the sound device; waits for the threads to end. Safe to call again.")
        .def("get_next_frame", initialised_only(&next_frame), next_frame_doc, py::kw_only(),
             py::arg("timeout") = py::none(), py::arg("with_time") = false)
        .def("get_fps", initialised_only(&MediaDecoder::get_fps),
             "Pictures per second of the video stream; 30.0 when unknown.")
        .def("get_duration", initialised_only(&MediaDecoder::get_duration),
             "Length of the input in seconds; 0.0 when unknown.")
        .def("get_position", initialised_only(&MediaDecoder::get_position),
             "Playback position in seconds from the input's start: the sound being heard, or the last picture's "
             "time without sound. Across a timestamp jump it keeps counting the time played.")
        .def("seek", initialised_only(&MediaDecoder::seek), release_lock(), py::arg("seconds"),
             "Moves playback to `seconds` from the input's start (negative or NaN: 0) and waits until reading has "
             "got there.")
        .def("pause", initialised_only(&MediaDecoder::pause), release_lock(),
             "Holds the sound and with it the pictures; resume() goes on.")
        .def("resume", initialised_only(&MediaDecoder::resume), release_lock(), "Goes on after pause().")
        .def("set_volume", initialised_only(&MediaDecoder::set_volume), release_lock(), py::arg("volume"),
             "Sets the gain: 1.0 as recorded, 0 or less (or NaN) silence, no upper bound.")
        .def("get_volume", initialised_only(&MediaDecoder::get_volume), release_lock(),
             "The current gain; 1.0 for an input without sound.")
        .def("set_speed", initialised_only(&MediaDecoder::set_speed), release_lock(), py::arg("factor"),
             "Plays at `factor` times the normal speed (0.25 to 4.0, else ValueError), the sound with its pitch\n"
             "kept; the pictures and get_position() follow. Kept across seek, pause and stop/start.")
        .def("get_speed", initialised_only(&MediaDecoder::get_speed), "The playback speed (1.0 by default).")
        .def("get_latency", initialised_only(&MediaDecoder::get_latency),
             "With latency=: how many seconds playback stands behind the newest moment read from the live input\n"
             "(what is heard, else the pictures' clock), as the decoder steers it; None without latency= or before\n"
             "anything is read.")
        .def("step", initialised_only(&MediaDecoder::step), release_lock(), py::arg("count") = 1,
             "Pauses, then moves by `count` pictures (negative: back) and makes the picture there the next that\n"
             "get_next_frame() returns, at once; get_position() becomes its time. No sound plays; resume() plays\n"
             "on from it. Stops at the first and the last picture.")
        .def("is_buffering", initialised_only(&MediaDecoder::is_buffering),
             "True while reading ahead before playback (re)starts, or while a seek is under way; false once the "
             "input has ended and its last sound has played, until a seek.")
        .def("is_finished", initialised_only(&MediaDecoder::is_finished), release_lock(),
             "True once the input has ended, every picture has been handed out or dropped and the sound has "
             "played out; false before start() and again after a seek back into the input.")
        .def("has_audio", initialised_only(&MediaDecoder::has_audio), "True when a sound stream is played.")
        .def("has_video", initialised_only(&MediaDecoder::has_video),
             "True when the input has a video stream whose pictures come out.")
        .def("get_size", initialised_only(&picture_size),
             "(width, height) of the pictures handed out; (0, 0) without video.")
        .def("get_streams", initialised_only(&stream_list),
             "Every stream of the input, one dict each: index, type ('video', 'audio', 'subtitle', 'data', "
             "'attachment'), codec, language (ISO 639 code or None), title (or None), default; width, height and "
             "fps for video; sample_rate and channels for audio; selected: whether this decoder plays it.")
        .def("get_picture_counts", initialised_only(&picture_counts),
             "Pictures since the decoder was made: shown (handed out), dropped (late, never handed out) and, of\n"
             "those, skipped (not even decoded, while decoding ran behind the sound or the real-time clock).")
        .def_static("audio_devices", &device_list,
                    "The playback devices of the sound backend, one dict each: name (its description), id (the "
                    "name the system gives it: PulseAudio's sink name, ALSA's PCM name as `aplay -L` lists it; '' "
                    "where there is none), backend, default. audio_device= takes the name or the id.")
        .def("__iter__", initialised_only(&itself), py::return_value_policy::reference,
             "The decoder itself: it yields its pictures.")
        .def("__next__", initialised_only(&next_picture_or_stop),
             "The next picture as it falls due; StopIteration once the input is finished or the decoder is not "
             "running.")
        .def("__enter__", initialised_only(&itself), py::return_value_policy::reference, "The decoder itself.")
        .def("__exit__", initialised_only(&leave_block), py::arg("exc_type"), py::arg("exc_value"),
             py::arg("traceback"), "Stops the decoder; an exception raised in the block passes on.")
        .def("__repr__", initialised_only(&describe));
}
