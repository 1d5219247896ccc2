// The extension module `reelpipe`: the class MediaDecoder and its thirteen
// methods. Each method forwards to one engine operation; the ones that can
// wait release the interpreter lock while the engine waits.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <exception>
#include <thread>

#include "media_decoder.h"

namespace py = pybind11;
using reelpipe::FramePtr;
using reelpipe::MediaDecoder;

namespace {

// Releases the interpreter lock for its lifetime. Its destructor may be
// unwound: once the interpreter is finalizing, taking the lock back ends
// any other thread with pthread_exit, whose forced unwind has to pass
// through this frame and on through pybind11's dispatcher, which rethrows
// it. The implicitly noexcept destructor of py::gil_scoped_release turns
// that unwind into std::terminate, aborting a program whose threads are
// inside the module when it exits. What may throw in its scope is caught
// before the scope ends (as open_decoder does): a thread ended while an
// exception is in flight terminates all the same.
class ReleaseInterpreterLock {
public:
    ReleaseInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~ReleaseInterpreterLock() noexcept(false) { PyEval_RestoreThread(state_); }

    ReleaseInterpreterLock(const ReleaseInterpreterLock&) = delete;
    ReleaseInterpreterLock& operator=(const ReleaseInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// Keeps a thread that must not take the interpreter lock back for the
// rest of the process: finalization has begun, so taking it would end the
// thread with an unwind through deallocation frames that cannot be unwound
// (std::terminate). The interpreter would have ended the thread; it exits
// the process around it instead.
[[noreturn]] void park_until_exit() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// The engine's teardown joins threads; it runs with the interpreter lock
// released so that other interpreter threads go on meanwhile. It never
// takes the lock back during finalization: it keeps the lock when
// finalization has begun already (the teardown never waits for an
// interpreter thread), and parks when it began during the teardown.
struct ReleaseLockAndDelete {
    void operator()(MediaDecoder* decoder) const {
        if (Py_IsFinalizing()) {
            delete decoder;
            return;
        }
        ReleaseInterpreterLock unlocked;
        delete decoder;
        if (Py_IsFinalizing()) park_until_exit();
    }
};
using DecoderHolder = std::unique_ptr<MediaDecoder, ReleaseLockAndDelete>;

// What every method takes as self: the engine decoder of an instance whose
// __init__ has run. pybind11 would otherwise hand a method the storage of
// an instance made by MediaDecoder.__new__ alone, never constructed.
struct InitialisedDecoder {
    MediaDecoder* decoder = nullptr;
};

}  // namespace

namespace pybind11::detail {

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
        ReleaseInterpreterLock unlocked;
        picture = decoder.get_next_frame();
    }
    if (!picture) return py::none();
    return picture_array(std::move(picture));
}

// Sets RuntimeError naming the path byte for byte. A bytes path need not be
// UTF-8: such bytes come back as surrogate escapes rather than turning the
// RuntimeError into a UnicodeDecodeError.
[[noreturn]] void raise_open_failure(const std::runtime_error& error) {
    const std::string message = error.what();
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(message.data(), static_cast<py::ssize_t>(message.size()), "surrogateescape"));
    if (!text) throw py::error_already_set();
    PyErr_SetObject(PyExc_RuntimeError, text.ptr());
    throw py::error_already_set();
}

// Opens a decoder with the interpreter lock released. A failure is caught
// before the lock is taken back, so that the release guard is never
// destroyed while an exception is in flight: a thread ended there during
// finalization would find two exceptions at once and terminate.
DecoderHolder open_decoder(const std::string& path) {
    std::unique_ptr<MediaDecoder> opened;
    std::exception_ptr failure;
    {
        ReleaseInterpreterLock unlocked;
        try {
            opened = std::make_unique<MediaDecoder>(path);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::runtime_error& error) {
            raise_open_failure(error);
        }
    }
    return DecoderHolder(opened.release());
}

}  // namespace

PYBIND11_MODULE(reelpipe, m) {
    // For every method that can wait: on the engine's locks, the device or
    // its threads.
    using release_lock = py::call_guard<ReleaseInterpreterLock>;
    py::class_<MediaDecoder, DecoderHolder>(m, "MediaDecoder")
        .def(py::init(&open_decoder))
        .def("start", initialised_only(&MediaDecoder::start), release_lock())
        .def("stop", initialised_only(&MediaDecoder::stop), release_lock())
        .def("get_next_frame", initialised_only(&next_frame))
        .def("get_fps", initialised_only(&MediaDecoder::get_fps))
        .def("get_duration", initialised_only(&MediaDecoder::get_duration))
        .def("get_position", initialised_only(&MediaDecoder::get_position))
        .def("seek", initialised_only(&MediaDecoder::seek), release_lock())
        .def("pause", initialised_only(&MediaDecoder::pause), release_lock())
        .def("resume", initialised_only(&MediaDecoder::resume), release_lock())
        .def("set_volume", initialised_only(&MediaDecoder::set_volume), release_lock())
        .def("get_volume", initialised_only(&MediaDecoder::get_volume), release_lock())
        .def("is_buffering", initialised_only(&MediaDecoder::is_buffering));
}
