// A Python file object read for the engine (python_reader.h).
//
// The engine's threads never wait for the interpreter lock: one that did
// could wait for good behind a Python thread that holds the lock while it
// waits for the engine (a decoder dropped on a thread other than the main
// one, or at finalization). So every call into the object is made by a
// thread of the reader's own, which takes the lock for that one call; the
// engine's thread hands it the call and waits for the answer in short
// steps, giving up when stop() asks. A read() that never returns then holds
// only that thread, which is left to finish on its own and drop its answer.
#include "python_reader.h"

#include <Python.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace py = pybind11;

namespace reelpipe::binding {

namespace {

// How long the engine's thread waits for an answer between looks at
// whether it has given up.
constexpr std::chrono::milliseconds answer_poll{10};
// How long a call is still waited for once the engine has given up on it.
// A call abandoned leaves FFmpeg's demuxer with a failed read, which some
// (Matroska, MP4) take for the end of the input, so that a start() after
// the stop() would find nothing more: a read of a file or of memory, under
// way when stop() comes, is let finish. Only one that takes longer is
// abandoned.
constexpr std::chrono::milliseconds patience{250};
// How long a decoder that lets go of its reader waits for the reader thread
// to drop the object and end (see ~PythonReader()).
constexpr std::chrono::milliseconds reader_end_wait{250};

// Whether the engine has given up on a call, `patience` ago or more;
// `since` keeps when it first said so.
bool past_patience(const ByteSource::GivenUp& given_up, std::optional<std::chrono::steady_clock::time_point>& since) {
    if (!given_up()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (!since) since = now;
    return now - *since >= patience;
}

// True while calls into the interpreter can be made: a thread that takes
// its lock during or after finalization is ended or hangs there. Read
// without the lock.
bool interpreter_usable() { return Py_IsInitialized() != 0 && Py_IsFinalizing() == 0; }

// One call into the object.
struct Call {
    enum class Kind { read, seek } kind = Kind::read;
    int size = 0;              // read: at most this many bytes
    std::int64_t offset = 0;   // seek
    int whence = SEEK_SET;     // seek: SEEK_SET, SEEK_CUR, SEEK_END or AVSEEK_SIZE
};

enum class Phase { idle, asked, running, answered };

// What the engine's thread and the reader thread share; it lives as long as
// either of them needs it.
struct Shared {
    // Guards the fields up to `file`. A leaf lock: the reader thread takes
    // it with the interpreter lock held, the engine's threads without; no
    // thread waits for the interpreter lock while holding it.
    std::mutex mutex;
    // Notified with `mutex` held whenever phase, closing or gone changes:
    // the reader thread's wait for a call has no time limit.
    std::condition_variable cv;
    Phase phase = Phase::idle;
    Call call;
    std::uint8_t* into = nullptr;  // where the read under way delivers; null once its caller gave up
    std::int64_t result = 0;
    std::string failure;           // why the answered call failed; empty when it did not
    bool closing = false;          // the decoder is done with the object: drop it and end
    bool gone = false;             // the reader thread has ended

    // The reader thread's alone, used with the interpreter lock held.
    PyObject* file = nullptr;      // an owned reference
    bool in_memory = false;        // an io.BytesIO, read from its own bytes (with_memory())
    bool views_out = false;        // in_memory: read through getbuffer() rather than getvalue()
    bool has_read1 = false;        // otherwise: read by read1() rather than read()
    bool seekable = false;         // seek() and tell() may be called
    std::int64_t base = 0;         // where the object stood when opened: the input's first byte
    std::int64_t position = 0;     // in_memory: where the next read starts
};

// The answer to one call: a count, a position or a negative AVERROR.
struct Answer {
    std::int64_t result = 0;
    std::string failure;
};

// The exception being raised, as "Type: message", and cleared.
std::string raised_text() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return "no exception was set";
    std::string text = Py_TYPE(raised)->tp_name;
    if (PyObject* message = PyObject_Str(raised)) {
        if (const char* utf8 = PyUnicode_AsUTF8(message); utf8 != nullptr && *utf8 != '\0') {
            text += std::string(": ") + utf8;
        }
        Py_DECREF(message);
    }
    PyErr_Clear();
    Py_DECREF(raised);
    return text;
}

Answer failed(const std::string& text) { return {AVERROR(EIO), text}; }

// Copies a read's bytes to its caller; false when the caller gave up.
bool deliver(Shared& shared, const void* bytes, std::size_t count) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.into == nullptr) return false;
    if (count != 0) std::memcpy(shared.into, bytes, count);
    return true;
}

// An io.BytesIO's own bytes for the length of `use`, let go at once so that
// the object can still grow or be closed. getvalue() hands out the bytes
// object the BytesIO holds, without a copy, as long as nobody holds a view
// of it; getbuffer() would first copy a buffer the BytesIO still shares
// with the bytes it was made from (io.BytesIO(data): the whole input). So
// getvalue() first, and getbuffer() from the first time getvalue() had to
// copy (views of the object are out, so its buffer is its own).
template <typename Use>
Answer with_memory(Shared& shared, Use use) {
    const char* method = shared.views_out ? "getbuffer" : "getvalue";
    PyObject* bytes = PyObject_CallMethod(shared.file, method, nullptr);
    if (bytes == nullptr) return failed(std::string(method) + "() raised " + raised_text());
    // A bytes object only we hold is a copy made for us.
    if (!shared.views_out && Py_REFCNT(bytes) == 1) shared.views_out = true;
    Py_buffer buffer;
    if (PyObject_GetBuffer(bytes, &buffer, PyBUF_SIMPLE) != 0) {
        Py_DECREF(bytes);
        return failed(std::string(method) + "() gave no buffer: " + raised_text());
    }
    Answer answer = use(static_cast<const std::uint8_t*>(buffer.buf), static_cast<std::int64_t>(buffer.len));
    PyBuffer_Release(&buffer);
    Py_DECREF(bytes);
    return answer;
}

Answer read_in_memory(Shared& shared, int size) {
    return with_memory(shared, [&](const std::uint8_t* bytes, std::int64_t length) {
        const std::int64_t left = std::max<std::int64_t>(0, length - shared.position);
        const auto count = static_cast<int>(std::min<std::int64_t>(left, size));
        if (count == 0) return Answer{AVERROR_EOF, {}};
        // Bytes nobody took are read again by the next call.
        if (deliver(shared, bytes + shared.position, static_cast<std::size_t>(count))) shared.position += count;
        return Answer{count, {}};
    });
}

Answer seek_in_memory(Shared& shared, std::int64_t offset, int whence) {
    return with_memory(shared, [&](const std::uint8_t*, std::int64_t length) {
        if (whence == AVSEEK_SIZE) return Answer{length - shared.base, {}};
        const std::int64_t from = whence == SEEK_SET ? shared.base : whence == SEEK_CUR ? shared.position : length;
        if (from + offset < shared.base) return Answer{AVERROR(EINVAL), {}};
        shared.position = from + offset;
        return Answer{shared.position - shared.base, {}};
    });
}

// A method's int result; -1 (and no exception left) when it raised or gave
// something else.
std::int64_t int_result(PyObject* result) {
    if (result == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const long long value = PyLong_Check(result) ? PyLong_AsLongLong(result) : -1;
    Py_DECREF(result);
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    return value;
}

// read1(n) on the object where it has one, else read(n): anything with the
// buffer protocol of at most n bytes is an answer, none at the end. read1()
// answers with what a socket or pipe has, where a buffered read() would wait
// for all n bytes and hold a live input back by as long.
Answer read_by_call(Shared& shared, int size) {
    const char* method = shared.has_read1 ? "read1" : "read";
    PyObject* got = PyObject_CallMethod(shared.file, method, "i", size);
    if (got == nullptr) return failed(std::string(method) + "() raised " + raised_text());
    Py_buffer buffer;
    if (PyObject_GetBuffer(got, &buffer, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        const std::string type = Py_TYPE(got)->tp_name;
        Py_DECREF(got);
        return failed(std::string(method) + "() returned " + type + ", not bytes");
    }
    Answer answer{buffer.len == 0 ? AVERROR_EOF : static_cast<std::int64_t>(buffer.len), {}};
    if (buffer.len > size) {
        answer = failed(std::string(method) + "(" + std::to_string(size) + ") returned " +
                        std::to_string(buffer.len) + " bytes");
    } else if (!deliver(shared, buffer.buf, static_cast<std::size_t>(buffer.len)) && shared.seekable) {
        // Nobody took them: step back, so that the next call reads them
        // again (an object read front to back has lost them, as a pipe).
        int_result(PyObject_CallMethod(shared.file, "seek", "Li", -static_cast<long long>(buffer.len), SEEK_CUR));
    }
    PyBuffer_Release(&buffer);
    Py_DECREF(got);
    return answer;
}

// The object's size, by seeking to its end and back; unknown (ENOSYS) when
// it will not tell, which is no failure.
Answer size_by_call(Shared& shared) {
    const std::int64_t here = int_result(PyObject_CallMethod(shared.file, "tell", nullptr));
    int_result(PyObject_CallMethod(shared.file, "seek", "Li", 0LL, SEEK_END));
    const std::int64_t end = int_result(PyObject_CallMethod(shared.file, "tell", nullptr));
    if (here >= 0) int_result(PyObject_CallMethod(shared.file, "seek", "Li", static_cast<long long>(here), SEEK_SET));
    if (here < 0 || end < shared.base) return {AVERROR(ENOSYS), {}};
    return {end - shared.base, {}};
}

// seek(offset, whence) on the object, then tell() where it stands.
Answer seek_by_call(Shared& shared, std::int64_t offset, int whence) {
    if (whence == AVSEEK_SIZE) return size_by_call(shared);
    const std::int64_t target = whence == SEEK_SET ? shared.base + offset : offset;
    PyObject* moved = PyObject_CallMethod(shared.file, "seek", "Li", static_cast<long long>(target), whence);
    if (moved == nullptr) return failed("seek() raised " + raised_text());
    Py_DECREF(moved);
    PyObject* told = PyObject_CallMethod(shared.file, "tell", nullptr);
    if (told == nullptr) return failed("tell() raised " + raised_text());
    const std::int64_t position = int_result(told);
    if (position < shared.base) return failed("tell() did not give a position within the input");
    return {position - shared.base, {}};
}

// Makes one call into the object with the interpreter lock held. Once the
// interpreter is finalizing, the input is over: its lock is not taken.
Answer answer_call(Shared& shared, const Call& call) {
    if (!interpreter_usable()) return {AVERROR_EOF, {}};
    // Ends this thread, unwinding it, should finalization begin meanwhile;
    // nothing of Python's is held here yet.
    const PyGILState_STATE state = PyGILState_Ensure();
    Answer answer;
    if (call.kind == Call::Kind::read) {
        answer = shared.in_memory ? read_in_memory(shared, call.size) : read_by_call(shared, call.size);
    } else {
        answer = shared.in_memory ? seek_in_memory(shared, call.offset, call.whence)
                                  : seek_by_call(shared, call.offset, call.whence);
    }
    PyGILState_Release(state);
    return answer;
}

// Drops the reference to the object, unless the interpreter is finalizing:
// the object then goes with it.
void drop_file(Shared& shared) {
    if (shared.file == nullptr || !interpreter_usable()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_CLEAR(shared.file);
    PyGILState_Release(state);
}

// The reader thread: answers one call at a time until the decoder is done
// with the object, then drops it.
void serve(const std::shared_ptr<Shared>& shared) {
    // Says that the thread has ended, also when finalization ends it as it
    // takes the interpreter lock (the unwind runs this too), so that a
    // caller waiting for an answer takes the input as over.
    struct Ending {
        Shared& shared;
        ~Ending() {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.gone = true;
            shared.cv.notify_all();
        }
    } ending{*shared};
    for (;;) {
        Call call;
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->cv.wait(lock, [&] { return shared->phase == Phase::asked || shared->closing; });
            if (shared->closing) break;
            shared->phase = Phase::running;
            call = shared->call;
        }
        Answer answer = answer_call(*shared, call);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = answer.result;
        shared->failure = std::move(answer.failure);
        shared->into = nullptr;
        shared->phase = Phase::answered;
        shared->cv.notify_all();
    }
    drop_file(*shared);
}

class PythonReader final : public ByteSource {
public:
    // Takes a reference to `file` and starts the reader thread. Interpreter
    // lock held.
    PythonReader(py::handle file, bool seekable, bool in_memory, bool has_read1, std::int64_t base)
        : seekable_(seekable) {
        shared_->file = file.inc_ref().ptr();
        shared_->in_memory = in_memory;
        shared_->has_read1 = has_read1;
        shared_->seekable = seekable;
        shared_->base = base;
        shared_->position = base;
        try {
            reader_ = std::thread(serve, shared_);
        } catch (...) {
            Py_CLEAR(shared_->file);
            throw;
        }
    }

    // Any thread, with or without the interpreter lock: the reader thread
    // drops the object when it next can. A thread without the lock (the
    // main thread lets it go to tear a decoder down) waits a moment for
    // that, so that the process has no thread of ours left once the
    // decoder is gone (a fork() right after finds none); one that holds
    // the lock cannot wait (the reader thread needs it), and a read() that
    // never returns is not waited for beyond reader_end_wait.
    ~PythonReader() override {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->closing = true;
        shared_->into = nullptr;
        shared_->cv.notify_all();
        const bool ended = PyGILState_Check() == 0 &&
                           shared_->cv.wait_for(lock, reader_end_wait, [this] { return shared_->gone; });
        lock.unlock();
        if (ended) {
            reader_.join();
        } else {
            reader_.detach();
        }
    }

    PythonReader(const PythonReader&) = delete;
    PythonReader& operator=(const PythonReader&) = delete;

    int read(std::uint8_t* into, int size, const GivenUp& given_up, std::string& failure) override {
        Call call;
        call.kind = Call::Kind::read;
        call.size = size;
        return static_cast<int>(ask(call, into, given_up, failure));
    }

    std::int64_t seek(std::int64_t offset, int whence, const GivenUp& given_up, std::string& failure) override {
        Call call;
        call.kind = Call::Kind::seek;
        call.offset = offset;
        call.whence = whence;
        return ask(call, nullptr, given_up, failure);
    }

    bool seekable() const override { return seekable_; }

private:
    // Hands `call` to the reader thread and waits for its answer; a call
    // given up earlier and still under way is waited for first, and its
    // answer dropped. The input is over once the reader thread has ended.
    std::int64_t ask(const Call& call, std::uint8_t* into, const GivenUp& given_up, std::string& failure) {
        Shared& shared = *shared_;
        std::optional<std::chrono::steady_clock::time_point> given_up_since;
        std::unique_lock<std::mutex> lock(shared.mutex);
        for (;;) {
            if (shared.gone) return AVERROR_EOF;
            if (shared.phase == Phase::answered) shared.phase = Phase::idle;
            if (shared.phase == Phase::idle) break;
            if (past_patience(given_up, given_up_since)) return AVERROR_EXIT;
            shared.cv.wait_for(lock, answer_poll);
        }
        shared.call = call;
        shared.into = into;
        shared.phase = Phase::asked;
        shared.cv.notify_all();
        while (shared.phase != Phase::answered) {
            if (shared.gone) return AVERROR_EOF;
            if (past_patience(given_up, given_up_since)) {
                shared.into = nullptr;
                return AVERROR_EXIT;
            }
            shared.cv.wait_for(lock, answer_poll);
        }
        shared.phase = Phase::idle;
        failure = std::move(shared.failure);
        return shared.result;
    }

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    // Joined when it has ended by the time the reader goes, else left to
    // end on its own.
    std::thread reader_;
    const bool seekable_;
};

// Whether `file` can be moved about: it has seek() and tell(), its
// seekable(), where it has one, says so, and tell() answers.
bool can_seek(py::handle file) {
    if (!py::hasattr(file, "seek") || !py::hasattr(file, "tell")) return false;
    try {
        if (py::hasattr(file, "seekable") && !py::bool_(file.attr("seekable")())) return false;
        file.attr("tell")();
        return true;
    } catch (const py::error_already_set&) {
        return false;
    }
}

// Whether `file` has a read1() of its own: io.BufferedIOBase's, which a
// class that defines only read() inherits, refuses every call.
bool has_own_read1(py::handle file, const py::module_& io) {
    const py::object own = py::getattr(py::type::handle_of(file), "read1", py::none());
    return !own.is_none() && !own.is(io.attr("BufferedIOBase").attr("read1"));
}

}  // namespace

bool is_file_object(py::handle source) { return py::hasattr(source, "read"); }

std::shared_ptr<ByteSource> python_reader(py::handle file) {
    const py::module_ io = py::module_::import("io");
    const bool in_memory = py::isinstance(file, io.attr("BytesIO"));
    const bool seekable = in_memory || can_seek(file);
    // The input starts where the object stands, as a pipe's would.
    const std::int64_t base = seekable ? file.attr("tell")().cast<std::int64_t>() : 0;
    return std::make_shared<PythonReader>(file, seekable, in_memory, has_own_read1(file, io), base);
}

}  // namespace reelpipe::binding
