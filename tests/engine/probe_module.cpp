// reelpipe_probe: a test-only extension built from the same engine sources
// as reelpipe. It drives a MediaDecoder like the real binding does and lets
// tests read and set the engine state that decides what a caller sees:
// queues, clocks, flags, the sound output and its callback.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <chrono>
#include <string>
#include <thread>
#include <ctime>
#include <vector>

#include "media_decoder.h"

namespace py = pybind11;

namespace reelpipe {

class EngineProbe {
public:
    EngineProbe(const std::string& path, const DecoderOptions& options) {
        py::gil_scoped_release unlocked;
        decoder_ = std::make_unique<MediaDecoder>(path, options);
    }
    ~EngineProbe() {
        // A test may have raised `running` by hand without threads.
        if (!decoder_->demux_thread.joinable()) decoder_->status.stop();
        py::gil_scoped_release unlocked;
        decoder_.reset();
    }

    MediaDecoder& d() { return *decoder_; }

    py::dict state() {
        MediaDecoder& m = d();
        py::dict s;
        const PlaybackStatus::Standing standing = m.status.now();
        s["running"] = standing.running();
        s["paused"] = standing.paused;
        s["end_of_stream"] = m.status.input_ended();
        s["pictures_exhausted"] = m.pictures.drained();
        s["sound_exhausted"] = m.sound.drained();
        s["buffering"] = standing.held();
        s["seeking"] = standing.phase == Phase::seeking || standing.phase == Phase::settling;
        s["seek_requested"] = m.seek_request.pending.load();
        s["seek_target"] = m.seek_request.playing_from.load();

        s["demux_clock"] = m.video_packets_in.read_to();
        s["video_clock"] = m.video_clock.load();
        s["audio_clock"] = m.sound.clock_seconds();
        s["picture_clock_paced"] = m.picture_clock.paced();
        s["audio_demux_clock"] = m.audio_packets_in.read_to();
        s["playback_latency"] = m.sound.device_latency();
        s["sound_in_device"] = m.sound.held_in_device();
        s["sound_least_lead"] = m.sound.least_lead();
        s["playing_serial"] = m.seek_request.playing_serial.load();
        s["video_stream_index"] = m.video_stream_index;
        s["audio_stream_index"] = m.audio_stream_index.load();
        s["width"] = m.width;
        s["height"] = m.height;
        s["has_video_decoder"] = static_cast<bool>(m.video_codec_ctx);
        s["has_audio_decoder"] = static_cast<bool>(m.audio_codec_ctx);
        s["demux_thread"] = m.demux_thread.joinable();
        s["video_thread"] = m.video_thread.joinable();
        s["audio_thread"] = m.audio_thread.joinable();
        {
            std::lock_guard<std::mutex> lock(m.seek_request.mutex);
            s["seek_done"] = m.seek_request.done;
        }
        s["audio_device_ready"] = m.sound.device_ready();
        {
            std::lock_guard<std::mutex> lock(m.video_packets_in.mutex);
            s["video_packets"] = m.video_packets_in.queued();
        }
        {
            std::lock_guard<std::mutex> lock(m.audio_packets_in.mutex);
            s["audio_packets"] = m.audio_packets_in.queued();
        }
        {
            std::lock_guard<std::mutex> lock(m.pictures.mutex);
            s["frames"] = m.pictures.size();
            s["frame_bytes"] = m.pictures.bytes();
        }
        s["audio_buffer_bytes"] = m.sound.queued_bytes();
        // The sound re-anchors on its next frame (a new serial).
        s["resync_audio_clock"] = !m.sound.anchored();
        return s;
    }

    // Times (seconds) of the pictures queued, front first; None for a
    // picture without a timestamp.
    py::list frame_times() {
        py::list times;
        std::lock_guard<std::mutex> lock(d().pictures.mutex);
        for (const FramePtr& frame : d().pictures.all()) {
            if (frame->pts == AV_NOPTS_VALUE) {
                times.append(py::none());
            } else {
                times.append(d().picture_seconds(frame.get()));
            }
        }
        return times;
    }

    // Queues a black RGB picture at `seconds` (None: no timestamp), as the
    // video thread would.
    void push_picture(py::object seconds) {
        MediaDecoder& m = d();
        FramePtr frame = make_frame();
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = m.width;
        frame->height = m.height;
        if (seconds.is_none()) {
            frame->pts = AV_NOPTS_VALUE;
        } else {
            const AVRational tb = m.video_time_base;
            frame->pts = static_cast<std::int64_t>(seconds.cast<double>() * tb.den / tb.num + 0.5);
        }
        if (av_frame_get_buffer(frame.get(), 1) < 0) throw std::bad_alloc();
        std::lock_guard<std::mutex> lock(m.pictures.mutex);
        const std::size_t bytes = static_cast<std::size_t>(frame->linesize[0]) * static_cast<std::size_t>(m.height);
        m.pictures.push(std::move(frame), bytes);
        m.pictures.cv.notify_all();
    }

    // get_next_frame() without the array: the delivered picture's time, or
    // None when nothing was delivered; -1.0 for a picture without timestamp.
    py::object next_frame_time() {
        FramePtr frame;
        {
            py::gil_scoped_release unlocked;
            frame = d().get_next_frame();
        }
        if (!frame) return py::none();
        if (frame->pts == AV_NOPTS_VALUE) return py::float_(-1.0);
        return py::float_(d().picture_seconds(frame.get()));
    }

    // Runs the playback callback once for `frame_count` frames, as the device
    // thread would, and returns what it wrote. A decoder that was not
    // started has no feeder: its moves into the ring are made first, as the
    // feeder would have made them.
    // Stops the sound output's feeder thread: run_callback() then moves the
    // sound into the ring itself, as fast as it is called.
    void stop_feeding() { d().sound.stop_feeding(); }

    py::bytes run_callback(unsigned frame_count, bool with_decoder) {
        std::string out(static_cast<std::size_t>(frame_count) * playback_frame_bytes, '\x55');
        SoundOutput& sound = d().sound;
        if (with_decoder && !sound.feeder_.joinable()) {
            while (sound.feed_once()) {
            }
        }
        ma_device device{};
        device.pUserData = with_decoder ? &sound : nullptr;
        SoundOutput::device_callback(&device, out.data(), nullptr, frame_count);
        return py::bytes(out);
    }

    // Appends sound to the buffer, as the audio thread would, starting at
    // `seconds` (None: following on, without a time).
    void append_sound(const py::bytes& bytes, py::object seconds) {
        const std::string data = bytes;
        const double at = seconds.is_none() ? std::numeric_limits<double>::quiet_NaN() : seconds.cast<double>();
        SoundOutput& sound = d().sound;
        {
            std::lock_guard<std::mutex> lock(sound.mutex_);
            sound.buffer_.set_anchored();
            sound.anchored_ = true;
        }
        sound.append(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), at, sound.serial_);
    }

    void set_flags(py::kwargs flags) {
        MediaDecoder& m = d();
        for (auto item : flags) {
            const std::string name = item.first.cast<std::string>();
            const bool value = item.second.cast<bool>();
            if (name == "running") {
                value ? m.status.start() : m.status.stop();
            } else if (name == "paused") {
                value ? m.status.pause() : m.status.resume();
                m.sound.paused_ = value;
            } else if (name == "buffering") {
                if (value) {
                    m.status.run_short();
                } else {
                    m.status.buffering_done();
                }
            } else if (name == "end_of_stream") {
                value ? m.status.note_input_end(MediaDecoder::steady_now_ns()) : m.status.input_goes_on();
            } else if (name == "pictures_exhausted") {
                m.pictures.set_drained(value);
            } else if (name == "seek_requested") {
                m.seek_request.pending = value;
            } else {
                throw py::key_error(name);
            }
        }
        // Wakes what the real writers of these flags would wake.
        m.sound.notify_room();
        std::lock_guard<std::mutex> lock(m.pictures.mutex);
        m.pictures.cv.notify_all();
    }

    void set_clocks(py::kwargs clocks) {
        MediaDecoder& m = d();
        for (auto item : clocks) {
            const std::string name = item.first.cast<std::string>();
            const double value = item.second.cast<double>();
            if (name == "audio_clock") {
                m.sound.clock_.set(value, MediaDecoder::steady_now_ns());
            } else if (name == "video_clock") {
                m.video_clock = value;
            } else if (name == "demux_clock") {
                m.video_packets_in.set_read_to(value);
            } else if (name == "audio_demux_clock") {
                m.audio_packets_in.set_read_to(value);
            } else {
                throw py::key_error(name);
            }
        }
    }

    void set_frame_budget(std::size_t bytes) {
        std::lock_guard<std::mutex> lock(d().pictures.mutex);
        d().pictures.budget = bytes;
    }

    double read_ahead() { return d().read_ahead(); }

    // Cost of the playback callback: runs it `periods` times for
    // `frame_count` frames each with a full buffer and ring (refilled
    // outside the timed region) and returns each call's duration in
    // nanoseconds.
    std::vector<std::int64_t> callback_timings(int periods, unsigned frame_count) {
        MediaDecoder& m = d();
        SoundOutput& sound = m.sound;
        const std::size_t bytes = static_cast<std::size_t>(frame_count) * playback_frame_bytes;
        const std::size_t full = static_cast<std::size_t>(playback_bytes_per_second * m.options.max_buffer_ahead);
        const std::vector<std::uint8_t> refill(full, 0x11);
        std::vector<std::uint8_t> out(bytes);
        ma_device device{};
        device.pUserData = &sound;
        m.status.resume();
        sound.paused_ = false;
        m.status.buffering_done();
        std::vector<std::int64_t> timings;
        timings.reserve(static_cast<std::size_t>(periods));
        py::gil_scoped_release unlocked;
        for (int i = 0; i < periods; ++i) {
            const std::size_t queued = sound.queued_bytes();
            if (queued < full / 2) {
                sound.append(refill.data(), full - queued, std::numeric_limits<double>::quiet_NaN(), sound.serial_);
            }
            while (sound.feed_once()) {
            }
            const std::int64_t begin = MediaDecoder::steady_now_ns();
            SoundOutput::device_callback(&device, out.data(), nullptr, frame_count);
            timings.push_back(MediaDecoder::steady_now_ns() - begin);
        }
        return timings;
    }

    // Takes the locks stop() holds, in its order, keeps them for `seconds`
    // with `held` set, then lets go.
    static void hold_locks(MediaDecoder& decoder, double seconds, std::atomic<bool>& held) {
        std::lock_guard<std::mutex> lifecycle(decoder.lifecycle_mutex);
        std::lock_guard<std::mutex> device(decoder.sound.device_.mutex);
        held = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        held = false;
    }

    // Holds the sound output's lock for `seconds`, as a feeder or an audio
    // thread stalled inside it would, while the callback runs `periods`
    // times for `frame_count` frames; returns how many of them played
    // sound and the longest call in seconds.
    py::tuple callbacks_while_sound_locked(int periods, unsigned frame_count, double seconds) {
        SoundOutput& sound = d().sound;
        d().status.buffering_done();
        while (sound.feed_once()) {
        }
        std::atomic<bool> held{false};
        std::atomic<bool> done{false};
        int played = 0;
        std::int64_t longest = 0;
        {
            py::gil_scoped_release unlocked;
            std::thread staller([&] {
                std::unique_lock<std::mutex> lock(sound.mutex_);
                held = true;
                const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
                while (!done && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            });
            while (!held) std::this_thread::yield();
            std::string out(static_cast<std::size_t>(frame_count) * playback_frame_bytes, '\0');
            ma_device device{};
            device.pUserData = &sound;
            for (int i = 0; i < periods; ++i) {
                const std::int64_t begin = MediaDecoder::steady_now_ns();
                SoundOutput::device_callback(&device, out.data(), nullptr, frame_count);
                longest = std::max(longest, MediaDecoder::steady_now_ns() - begin);
                if (out.find_first_not_of('\0') != std::string::npos) ++played;
            }
            done = true;
            staller.join();
        }
        return py::make_tuple(played, static_cast<double>(longest) / 1e9);
    }

private:
    std::unique_ptr<MediaDecoder> decoder_;
};

// Holds a decoder's lifecycle_mutex and its sound device's lock on a thread of its own
// for a while, as stop() holds them while it joins the threads and releases
// the device, so that a test can see what a control does meanwhile.
class LockHold {
public:
    LockHold(MediaDecoder& decoder, double seconds) {
        holder_ = std::thread([this, &decoder, seconds] { EngineProbe::hold_locks(decoder, seconds, held_); });
        while (!held_) std::this_thread::yield();
    }
    ~LockHold() { join(); }

    bool held() const { return held_; }
    void join() {
        py::gil_scoped_release unlocked;
        if (holder_.joinable()) holder_.join();
    }

private:
    std::thread holder_;
    std::atomic<bool> held_{false};
};

// The engine decoder inside a reelpipe.MediaDecoder: both modules are built
// from the same sources with the same pybind11, so its storage is the
// engine object this probe knows.
MediaDecoder& engine_of(py::handle decoder) {
    if (std::string(py::str(py::type::of(decoder).attr("__module__"))) != "reelpipe") {
        throw py::type_error("expected a reelpipe.MediaDecoder");
    }
    auto* instance = reinterpret_cast<py::detail::instance*>(decoder.ptr());
    return *instance->get_value_and_holder().value_ptr<MediaDecoder>();
}

// CPU milliseconds (this thread's) that one conversion of the first picture
// of `path` takes, over `repeats` conversions, with the converters
// `allowed`, to `format` at `width` x `height` (0: the picture's own size).
double conversion_cost(const std::string& path, const std::string& format, int width, int height, bool swscale_only,
                       int repeats) {
    AVFormatContext* raw_format = nullptr;
    if (avformat_open_input(&raw_format, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open");
    FormatContextPtr input(raw_format);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) throw std::runtime_error("cannot probe");
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) throw std::runtime_error("no video");
    const AVStream* stream = input->streams[index];
    CodecContextPtr codec(avcodec_alloc_context3(avcodec_find_decoder(stream->codecpar->codec_id)));
    avcodec_parameters_to_context(codec.get(), stream->codecpar);
    if (avcodec_open2(codec.get(), codec->codec, nullptr) < 0) throw std::runtime_error("no decoder");
    PacketPtr packet = make_packet();
    FramePtr decoded = make_frame();
    bool got = false;
    while (!got && av_read_frame(input.get(), packet.get()) == 0) {
        if (packet->stream_index == index) avcodec_send_packet(codec.get(), packet.get());
        av_packet_unref(packet.get());
        got = avcodec_receive_frame(codec.get(), decoded.get()) == 0;
    }
    if (!got) {
        avcodec_send_packet(codec.get(), nullptr);
        if (avcodec_receive_frame(codec.get(), decoded.get()) != 0) throw std::runtime_error("no picture");
    }
    PictureConverter converter(swscale_only ? Converters::swscale_only : Converters::fastest);
    converter.set_output(width > 0 ? width : decoded->width, height > 0 ? height : decoded->height,
                         *picture_format_named(format), PictureOrientation{});
    PictureBuffers buffers(4);
    converter.convert(decoded.get(), buffers);  // sets the converter up
    timespec began{}, ended{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &began);
    for (int i = 0; i < repeats; ++i) converter.convert(decoded.get(), buffers);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ended);
    const double seconds = static_cast<double>(ended.tv_sec - began.tv_sec) +
                           static_cast<double>(ended.tv_nsec - began.tv_nsec) / 1e9;
    return 1000.0 * seconds / repeats;
}
// The join rule of timeline.h on two streams in 1/90000 s, as the demux
// thread applies it: each call rewrites one packet's decode timestamp.
class JoinsProbe {
public:
    explicit JoinsProbe(std::int64_t step) { video_.step = audio_.step = step; }
    std::int64_t video(std::int64_t dts) { return follow(video_, audio_, dts, true); }
    std::int64_t audio(std::int64_t dts) { return follow(audio_, video_, dts, false); }

private:
    static std::int64_t follow(TimestampJoins& self, const TimestampJoins& other, std::int64_t dts, bool follows) {
        std::int64_t pts = dts;
        follow_joins(self, AVRational{1, 90000}, pts, dts, 0, &other, AVRational{1, 90000}, follows);
        return dts;
    }
    TimestampJoins video_;
    TimestampJoins audio_;
};

}  // namespace reelpipe

PYBIND11_MODULE(reelpipe_probe, m) {
    using reelpipe::DecoderOptions;
    using reelpipe::EngineProbe;
    using release_lock = py::call_guard<py::gil_scoped_release>;
    py::class_<EngineProbe>(m, "Probe")
        .def(py::init([](const std::string& path, bool audio, double max_buffer_ahead, double min_buffer_ahead,
                         std::size_t max_picture_memory, bool loop, std::optional<double> latency) {
                 DecoderOptions options;
                 options.audio = audio;
                 options.loop = loop;
                 options.latency = latency;
                 options.max_buffer_ahead = max_buffer_ahead;
                 options.min_buffer_ahead = min_buffer_ahead;
                 options.max_picture_memory = max_picture_memory;
                 return std::make_unique<EngineProbe>(path, options);
             }),
             py::arg("path"), py::kw_only(), py::arg("audio") = true,
             py::arg("max_buffer_ahead") = DecoderOptions{}.max_buffer_ahead,
             py::arg("min_buffer_ahead") = DecoderOptions{}.min_buffer_ahead,
             py::arg("max_picture_memory") = DecoderOptions{}.max_picture_memory, py::arg("loop") = false,
             py::arg("latency") = py::none())
        .def("start", [](EngineProbe& p) { p.d().start(); })
        .def("stop", [](EngineProbe& p) { p.d().stop(); }, release_lock())
        .def("seek", [](EngineProbe& p, double s) { p.d().seek(s); }, release_lock())
        .def("pause", [](EngineProbe& p) { p.d().pause(); })
        .def("resume", [](EngineProbe& p) { p.d().resume(); })
        .def("get_position", [](EngineProbe& p) { return p.d().get_position(); })
        .def("is_buffering", [](EngineProbe& p) { return p.d().is_buffering(); })
        .def("get_volume", [](EngineProbe& p) { return p.d().get_volume(); })
        .def("set_volume", [](EngineProbe& p, float v) { p.d().set_volume(v); })
        .def("next_frame_time", &EngineProbe::next_frame_time)
        .def("state", &EngineProbe::state)
        .def("frame_times", &EngineProbe::frame_times)
        .def("push_picture", &EngineProbe::push_picture)
        .def("run_callback", &EngineProbe::run_callback, py::arg("frame_count"), py::arg("with_decoder") = true)
        .def("stop_feeding", &EngineProbe::stop_feeding)
        .def("append_sound", &EngineProbe::append_sound, py::arg("bytes"), py::arg("seconds") = py::none())
        .def("set_flags", &EngineProbe::set_flags)
        .def("set_clocks", &EngineProbe::set_clocks)
        .def("set_frame_budget", &EngineProbe::set_frame_budget)
        .def("read_ahead", &EngineProbe::read_ahead)
        .def("callback_timings", &EngineProbe::callback_timings)
        .def("callbacks_while_sound_locked", &EngineProbe::callbacks_while_sound_locked, py::arg("periods"),
             py::arg("frame_count"), py::arg("seconds"));
    // The state types on their own (timeline.h, sound_buffer.h, device_ring.h,
    // clock.h).
    py::class_<reelpipe::JoinsProbe>(m, "Joins")
        .def(py::init<std::int64_t>(), py::arg("step") = 3600)
        .def("video", &reelpipe::JoinsProbe::video)
        .def("audio", &reelpipe::JoinsProbe::audio);
    m.def("timeline_clamp", [](double origin, double length, double seconds) {
        return reelpipe::Timeline{origin, length}.clamp(seconds);
    });
    m.def("timeline_timestamp", [](double origin, int num, int den, double seconds) {
        return reelpipe::Timeline{origin, 0.0}.timestamp(AVRational{num, den}, seconds);
    });
    py::class_<reelpipe::SoundBuffer>(m, "SoundBuffer")
        .def(py::init([] { return std::make_unique<reelpipe::SoundBuffer>(reelpipe::playback_rate,
                                                                          reelpipe::playback_frame_bytes); }))
        .def("append", [](reelpipe::SoundBuffer& b, std::size_t frames, py::object seconds) {
            const std::vector<std::uint8_t> sound(frames * reelpipe::playback_frame_bytes, 0x11);
            b.append(sound.data(), sound.size(),
                     seconds.is_none() ? std::numeric_limits<double>::quiet_NaN() : seconds.cast<double>());
        }, py::arg("frames"), py::arg("seconds") = py::none())
        .def("anchor", [](reelpipe::SoundBuffer& b, double from, double first_sound) {
            b.anchor(from, first_sound, 10.0, reelpipe::seek_window);
        })
        .def("take", [](reelpipe::SoundBuffer& b, std::size_t frames) {
            std::string out(frames * reelpipe::playback_frame_bytes, '\0');
            b.take(out.data(), out.size());
            return py::bytes(out);
        })
        .def("clear", [](reelpipe::SoundBuffer& b) {
            b.clear();
        })
        .def("frames", [](reelpipe::SoundBuffer& b) {
            return b.size() / reelpipe::playback_frame_bytes;
        })
        .def("anchored", [](reelpipe::SoundBuffer& b) {
            return b.anchored();
        })
        .def("serial", &reelpipe::SoundBuffer::serial)
        .def("front_seconds", [](reelpipe::SoundBuffer& b) {
            return b.front_seconds();
        })
        .def("end_seconds", [](reelpipe::SoundBuffer& b) {
            return b.end_seconds();
        });
    py::class_<reelpipe::DeviceRing>(m, "DeviceRing")
        .def(py::init([](std::size_t capacity) {
            auto ring = std::make_unique<reelpipe::DeviceRing>();
            if (!ring->allocate(capacity)) throw std::bad_alloc();
            return ring;
        }))
        .def("room", &reelpipe::DeviceRing::room)
        .def("push", [](reelpipe::DeviceRing& r, const py::bytes& bytes, double seconds, double speed) {
            const std::string data = bytes;
            if (data.size() > r.room()) return false;
            r.push(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), seconds,
                   speed / reelpipe::playback_bytes_per_second);
            return true;
        })
        .def("take", [](reelpipe::DeviceRing& r, std::size_t count) -> py::object {
            std::string out(count, '\0');
            double next = 0.0;
            double per_byte = 0.0;
            if (!r.take(out.data(), count, next, per_byte)) return py::none();
            return py::make_tuple(py::bytes(out), next);
        })
        .def("discard_all", &reelpipe::DeviceRing::discard_all);
    py::class_<reelpipe::Clock>(m, "Clock")
        .def(py::init<>())
        .def("set", py::overload_cast<double, std::int64_t, std::uint64_t>(&reelpipe::Clock::set))
        .def("pace", &reelpipe::Clock::pace)
        .def("set_paused", &reelpipe::Clock::set_paused)
        .def("set_rate", &reelpipe::Clock::set_rate)
        .def("get", &reelpipe::Clock::get)
        .def("paced", &reelpipe::Clock::paced)
        .def("serial", &reelpipe::Clock::serial);
    py::class_<reelpipe::LockHold>(m, "LockHold")
        .def("held", &reelpipe::LockHold::held)
        .def("join", &reelpipe::LockHold::join);
    m.def(
        "hold_locks",
        [](py::handle decoder, double seconds) {
            return std::make_unique<reelpipe::LockHold>(reelpipe::engine_of(decoder), seconds);
        },
        py::arg("decoder"), py::arg("seconds"), py::keep_alive<0, 1>());
    m.def("conversion_cost", &reelpipe::conversion_cost, py::call_guard<py::gil_scoped_release>(), py::arg("path"),
          py::kw_only(), py::arg("pixel_format") = "rgb24", py::arg("width") = 0, py::arg("height") = 0,
          py::arg("swscale_only") = false, py::arg("repeats") = 50);
}
