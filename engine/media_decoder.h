// MediaDecoder: plays one media input. A demux thread reads packets, a video
// and an audio decode thread turn them into pictures (in the caller's size
// and pixel format) and playback-format sound, the sound output plays the
// sound and keeps its clock, and the caller takes pictures from
// get_next_frame() when they are due against that clock.
//
// The engine never touches the Python interpreter; the binding releases the
// interpreter lock around the calls that block.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <malloc.h>
#include "clock.h"
#include "decoder_options.h"
#include "ffmpeg_ptr.h"
#include "log_queue.h"
#include "packet_queue.h"
#include "picture_buffers.h"
#include "picture_converter.h"
#include "picture_queue.h"
#include "playback_status.h"
#include "seek_request.h"
#include "sound_converter.h"
#include "sound_output.h"
#include "stream_choice.h"
#include "timeline.h"

namespace reelpipe {

// What FFmpeg's blocking I/O checks: stop() sets `abort` (start() clears
// it), and while the constructor opens the input `deadline_ns` (steady
// clock, 0 for none) bounds the whole opening, however often the network
// retries.
struct IoInterrupt {
    std::atomic<bool> abort{false};
    std::atomic<std::int64_t> deadline_ns{0};
};

// The input could not be opened or probed. what() is the fixed message that
// names the path; reason() is FFmpeg's own word for why (av_strerror's text
// of the failing call's error).
class OpenError : public std::runtime_error {
public:
    OpenError(const std::string& message, std::string reason)
        : std::runtime_error(message), why(std::move(reason)) {}
    const std::string& reason() const { return why; }

private:
    std::string why;
};

// One step of a caller's loop over the pictures (iteration): a picture that
// is due, nothing yet (waited the step's time; look again), the input
// finished, or the decoder not running.
enum class LoopStep { picture, nothing_yet, finished, stopped };

class MediaDecoder : private SoundOutput::Listener {
public:
    // Opens and probes `path` (a file or URL), picks at most one video and one
    // audio stream and prepares their decoders, converters and the playback
    // device. Throws OpenError when the input cannot be opened or probed, and
    // std::invalid_argument for an option that cannot be met (a stream or
    // device that is not there, a size or format that is not one).
    // Blocks on the network; call without the interpreter lock.
    explicit MediaDecoder(std::string path, const DecoderOptions& options = {});
    ~MediaDecoder();

    MediaDecoder(const MediaDecoder&) = delete;
    MediaDecoder& operator=(const MediaDecoder&) = delete;

    // Launches the worker threads and starts the device. A decoder stopped
    // earlier starts again from where it stood, with the device reopened.
    void start();
    // Ends the worker threads and releases the device; waits for the joins.
    void stop();

    // Posts a seek and waits until the demux thread has carried it out (or
    // the decoder is not running). Blocks; call without the interpreter lock.
    void seek(double seconds);

    // The next picture that is due, or an empty handle when there is nothing
    // to show now. Blocks; call without the interpreter lock.
    FramePtr get_next_frame();
    // A picture handed out, with its time in seconds (the value video_clock
    // takes for it); no time when the picture has no timestamp.
    struct Delivery {
        FramePtr picture;
        std::optional<double> seconds;
    };
    // get_next_frame() whose wait for a due picture lasts at most `timeout`
    // when one is given; an empty picture when none fell due within it.
    Delivery get_next_frame(std::optional<std::chrono::nanoseconds> timeout);
    // True once the input has ended, every picture has been handed out or
    // dropped and the sound has played out; false while a seek is pending.
    bool is_finished();
    // One step of iteration: waits up to `wait` for a due picture; without
    // one, says whether the loop is over (finished, or not running) or
    // should look again. Rests a moment when nothing was waited for, so
    // that a caller's loop does not spin. Blocks; call without the
    // interpreter lock.
    LoopStep next_in_loop(std::chrono::milliseconds wait, FramePtr& picture);
    bool has_audio() const { return audio_stream_index >= 0; }
    bool has_video() const { return video_stream_index >= 0; }
    // Every stream of the input as probed, the ones played marked selected.
    std::vector<StreamInfo> get_streams() const;
    // The playback devices of the first sound backend that answers.
    static std::vector<AudioDeviceInfo> audio_devices();
    int get_width() const { return width; }
    int get_height() const { return height; }
    const std::string& get_path() const { return path; }
    PlaybackState get_state() const;
    double get_fps() const;
    double get_duration() const;

    double get_position() const;
    float get_volume();
    void set_volume(float volume);
    bool is_buffering() const;
    void pause();
    void resume();
    // Playback speed, slowest_speed..fastest_speed (else, or NaN:
    // std::invalid_argument); kept across seek, pause and stop/start.
    void set_speed(double factor);
    double get_speed() const;
    // Pauses, then moves by `count` pictures (negative: back) and makes the
    // picture there the next get_next_frame() hands out at once; stops at
    // the first and the last picture. Blocks (a backward step seeks); call
    // without the interpreter lock.
    void step(int count);

    // Made before a fork, in the parent: its threads, FFmpeg's and the
    // device's are not in this process. Such a decoder must be abandoned,
    // never destroyed (freeing its contexts would wait for threads that do
    // not exist); stop() returns at once, and the operations that would
    // reach its threads or device throw std::runtime_error.
    bool inherited() const;

private:
    friend class EngineProbe;  // test-only view of the state below

    // ---------------------------------------------------------------------
    // Threads
    //   interpreter threads  every public method; seek() and get_next_frame()
    //                        wait, stop() joins
    //   demux_thread         demux_loop(): reads, throttles, ends buffering,
    //                        carries out seeks
    //   video_thread         video_decode_loop(): packets -> pictures
    //   audio_thread         audio_decode_loop(): packets -> playback bytes
    //                        appended to the sound output
    //   the sound output's feeder and miniaudio's device thread (see
    //                        sound_output.h); the callback asks this
    //                        decoder only sound_held() and
    //                        sound_ran_short(), which read atomics
    //
    // Lock order. A thread that holds two of these locks took them in this
    // order; no path takes one listed earlier while holding a later one:
    //   lifecycle_mutex -> the sound output's device lock -> the sound
    //     libraries' quieting lock (sound_device.cpp)
    //   lifecycle_mutex -> the sound output's lock (starting and stopping
    //     its feeder)
    //   seek_request.mutex -> pictures.mutex (seek() notifying frame waiters; the
    //     throttled wait asking whether the video decoder starves)
    //   seek_request.mutex -> the sound output's lock (seek() waking the
    //     audio thread)
    //   the sound output's lock -> its reader lock (the flush), which the
    //     callback only ever tries (sound_output.h)
    //   the log queue's and the log input registry's locks (log_queue.cpp)
    //     are leaves: any thread may log while it holds any lock above
    //   the clocks' locks (clock.h) are leaves, taken last by any thread
    //     (frame delivery reads the sound's clock with pictures.mutex held)
    // The sound output's lock and its device lock are never held together.
    // Around a fork the forking thread holds the process-wide ones: the
    //   quieting lock, the device log's, the log registry's and the log
    //   queue's, in that order (fork_safety.cpp).
    // The packet queues' and the picture queue's locks are taken alone
    // otherwise: frame delivery asks the sound output only what atomics and
    // the clock tell (whether the sound has run out), never taking its
    // lock under pictures.mutex. A seek is a new serial of the pipeline
    // (seek_request.playing_serial):
    // the flush moves the serial on first, then empties each queue under
    // its own lock; every packet is queued with its serial, a decode thread
    // flushes its decoder when it takes the first packet of a new serial
    // and drops what it still makes from an older one as it pushes it,
    // under the lock of the queue it pushes into. So nothing made before a
    // seek enters a queue after the seek emptied it, and no lock is nested
    // for it. The flush gives the sound output the new serial, so the first
    // sound decoded after it anchors it again (whatever seeks came
    // meanwhile).
    //
    // Every wait of a worker thread is bounded (10 ms packet waits, 50 ms
    // throttle, 100 ms after a failed read, 5 ms while buffering waits for
    // a first picture, 10 ms waits while the sound buffer is full and
    // playing, the feeder's 10 ms waits, 50 ms while paused), except the
    // audio thread's wait for room while paused. That, and the
    // unbounded waits of interpreter threads (seek's, and the
    // frame wait for a picture), are woken by writers that change the
    // condition and then notify while holding the waiter's mutex, so no
    // wake-up is lost; an early picture is waited for at most 20 ms at a
    // time.
    // ---------------------------------------------------------------------

    void demux_loop();
    void video_decode_loop();
    void audio_decode_loop();

    // Construction steps (lifecycle.cpp).
    void open_input();
    void open_video_stream(const DecoderOptions& options);
    void open_audio_stream(const StreamChoice& choice);
    double earliest_start() const;
    void set_input_timing();
    void wake_all_waiters();
    void run_for_input(void (MediaDecoder::*loop)());
    void refuse_if_inherited() const;

    // Demux and seek (demux.cpp).
    double read_ahead() const;
    bool sound_starving() const;
    bool sound_gone() const;
    bool pictures_going() const;
    // A throttled wait ends below this lead: min_buffer_ahead, or less when
    // the read-ahead limit is lower still, so that a wait always ends.
    double resume_buffer_ahead() const { return std::min(options.min_buffer_ahead, options.max_buffer_ahead); }
    bool pictures_starving();
    bool end_buffering_with_a_picture();
    void idle(std::chrono::milliseconds duration);
    void route_packet(AVPacket& packet);
    void handle_failed_read();
    void throttled_wait();
    void carry_out_seek();
    bool loop_to_start();
    double lap_end() const;
    void shift_into_lap(AVPacket& packet, AVRational time_base);
    double in_lap(double seconds) const;
    int reposition(double target, std::vector<PacketPtr>& read);
    bool rewind_by_bytes();
    void flush_pipeline(double target);
    void notify_frame_waiters();

    // Shared by both decode threads (video_decode.cpp): the loop, and its
    // wait for one packet.
    using Check = bool (MediaDecoder::*)();
    struct DecodeStream {
        PacketQueue& packets;
        AVCodecContext* codec;  // the decode thread's alone while it runs
        Check output_dry;       // nothing left for the stream's consumer to take
    };
    using DecodeStep = void (MediaDecoder::*)(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial);
    using SerialNotice = void (MediaDecoder::*)(std::uint64_t serial);
    using Notice = void (MediaDecoder::*)();
    void decode_loop(const DecodeStream& stream, DecodeStep decode, SerialNotice drained, Notice reopened);
    bool end_calls_for_drain(Check output_dry);
    enum class PacketWait { packet, idle, input_ended, stopped };
    PacketWait wait_for_packet(PacketQueue& queue, PacketQueue::Entry& entry);

    // Video decode (video_decode.cpp).
    void skip_unneeded_pictures(const AVPacket* packet);
    void decode_video_packet(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial);
    void handle_video_picture(const AVFrame* decoded, std::uint64_t serial);
    bool wait_for_frame_room(std::unique_lock<std::mutex>& lock, std::size_t picture_bytes);

    // Frame delivery (frame_delivery.cpp).
    enum class Verdict { deliver, early, late };
    Verdict judge_front_picture(const AVFrame* picture);
    Verdict judge_by_wall_clock(const AVFrame* picture);
    double picture_seconds(const AVFrame* picture) const;
    std::chrono::nanoseconds early_wait(const AVFrame* picture) const;
    bool sound_ran_out();
    double picture_clock_now() const;
    bool input_finished() const { return status.input_ended && pictures.drained(); }
    bool sound_played_out() const;
    void announce_pictures_exhausted(std::uint64_t serial);
    void expect_more_pictures();
    bool pictures_dry();

    // Audio decode (audio_decode.cpp).
    void decode_audio_packet(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial);
    void announce_sound_exhausted(std::uint64_t serial);
    void expect_more_sound();
    bool sound_dry();
    bool handle_audio_frame(const AVFrame* frame, std::uint64_t serial);
    void wait_for_buffer_room();
    void convert_and_append(const AVFrame* frame, double seconds, std::uint64_t serial);

    // Frame step (frame_step.cpp).
    void step_forward(int count);
    void step_back(int count);
    bool wait_for_step_pictures(std::unique_lock<std::mutex>& lock, std::size_t wanted,
                                std::chrono::steady_clock::time_point deadline);
    void show_front_at_once();

    // What the sound output's callback asks (audio_output.cpp).
    bool sound_held() const override;
    void sound_ran_short() override;

    static std::int64_t steady_now_ns();
    // Seconds from the input's start of a timestamp in the given time base.
    double stream_seconds(AVRational time_base, std::int64_t ts) const { return timeline.seconds(time_base, ts); }
    // A packet's time in seconds from the input's start; NaN without one.
    double packet_seconds(AVRational time_base, const AVPacket& packet) const {
        return packet.pts != AV_NOPTS_VALUE ? stream_seconds(time_base, packet.pts)
                                            : std::numeric_limits<double>::quiet_NaN();
    }

    // --- Fields. Flags and clocks are sequentially consistent atomics; each
    // comment names the writers.

    // Declared first, so destroyed last: once the decoder's queues, codecs
    // and input are freed, the C library gives its free pages back. The
    // decoders' own picture pools and packets are freed in bulk here, and
    // glibc would otherwise keep them in its arenas for good.
    struct ReturnFreedMemory {
        ReturnFreedMemory() = default;
        ReturnFreedMemory(const ReturnFreedMemory&) = delete;
        ReturnFreedMemory& operator=(const ReturnFreedMemory&) = delete;
        ~ReturnFreedMemory() { malloc_trim(0); }
    } return_freed_memory;

    const std::uint64_t born_in_fork_generation;  // fork_generation() when made; see inherited()
    std::string path;                          // as the caller gave it
    // Names the input in log records. Declared before the contexts whose
    // opaque field points at it, so that it outlives them and their threads.
    LogInput log_input;
    // Where playback stands: running, paused, buffering, a seek settling,
    // the end of the input (see playback_status.h).
    PlaybackStatus status;
    // With options.loop: where the laps stand (see timeline.h).
    Laps laps;
    // The caller's options, fixed at construction (max_picture_memory is
    // the picture queue's budget).
    const DecoderOptions options;
    // The latest seek asked for and its handshake (see seek_request.h).
    // Held alone except while seek() notifies frame waiters (seek_request.mutex ->
    // pictures.mutex) and the audio thread (seek_request.mutex -> the sound
    // output's lock), and while the throttled wait asks whether the
    // video decoder starves (seek_request.mutex -> pictures.mutex). Frame delivery
    // also wakes the throttled wait when the picture queue runs empty,
    // without seek_request.mutex: that wait is bounded, so a missed wake-up costs
    // 50 ms.
    SeekRequest seek_request;

    std::atomic<double> video_clock{0.0};      // frame delivery; the seek's flush: the last picture's time

    FormatContextPtr format_ctx;               // used by the demux thread once running
    CodecContextPtr video_codec_ctx;           // the video thread's alone while running
    // Makes the pictures handed out; video thread only while running.
    PictureConverter converter;
    int video_stream_index = -1;
    int width = 0;                             // of the pictures handed out: upright, scaled
    int height = 0;
    CodecContextPtr audio_codec_ctx;           // the audio thread's alone while running
    // Turns decoded sound into the playback format; audio thread only while
    // running.
    SoundConverter sound_converter{playback_rate, playback_channels};
    // -1 without sound; atomic because a restart whose device will not
    // reopen drops the sound while frame delivery may be reading it.
    std::atomic<int> audio_stream_index{-1};
    // Everything from decoded sound to the speaker, with the sound's clock
    // (its own locks; see sound_output.h). The audio thread waits in it for
    // room; while paused only resume(), seek() and stop() end the wait, each
    // notifying under its lock after changing paused, seek_request.pending
    // or running.
    SoundOutput sound;

    std::thread demux_thread;
    std::thread video_thread;
    std::thread audio_thread;

    // The packets read for each stream, with the time reading has run to
    // (see packet_queue.h).
    PacketQueue video_packets_in;
    PacketQueue audio_packets_in;
    // The pictures ready to be shown (see picture_queue.h).
    PictureQueue pictures;


    // --- Fields of this implementation beyond the pipeline above.

    // Serialises start() and stop(), so a start() cannot run while a stop()
    // joins. Outermost lock.
    std::mutex lifecycle_mutex;
    // Every stream of the input as probed; fixed at construction.
    std::vector<StreamInfo> streams;
    IoInterrupt io_interrupt;

    // The pictures' memory, reused once their arrays are gone (its own
    // leaf lock; see picture_buffers.h).
    PictureBuffers picture_buffers{4};
    // Pictures that outlast the sound are paced by this clock, continued by
    // the wall clock from the last picture shown when the sound ran out
    // (paced() false while the sound paces them); with options.realtime it
    // paces the pictures of a decoder without sound from the first picture
    // on. Frame delivery starts and stops its pacing, the flush and a
    // restart stop it; the position follows it.
    Clock picture_clock;

    double fps = 30.0;                         // fixed at construction
    AVRational video_time_base{0, 1};
    AVRational audio_time_base{0, 1};
    // Where the sound track ends by the container's word, seconds; infinite
    // when it does not say. Fixed at construction.
    double sound_end = std::numeric_limits<double>::infinity();

    // Where the input starts (every time the caller sees and every clock is
    // measured from its origin) and its length. Fixed at construction.
    Timeline timeline;
    // How each stream's timestamps are carried across joins, and whether
    // they may jump at all (see timeline.h). Demux thread only.
    StreamJoins joins;
};

}  // namespace reelpipe
