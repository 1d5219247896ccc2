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
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <malloc.h>
#include "byte_source.h"
#include "clock.h"
#include "decoder_options.h"
#include "falling_behind.h"
#include "live_steering.h"
#include "ffmpeg_ptr.h"
#include "log_queue.h"
#include "packet_queue.h"
#include "picture_buffers.h"
#include "picture_converter.h"
#include "picture_queue.h"
#include "picture_threads.h"
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

    // True once the I/O under way should be abandoned.
    bool due() const {
        if (abort) return true;
        const std::int64_t deadline = deadline_ns;
        return deadline != 0 && std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                        .count() > deadline;
    }
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
    // What became of the pictures so far: handed out, dropped late at
    // delivery, skipped by the decoder while it ran behind.
    struct PictureTally {
        std::uint64_t shown = 0;
        std::uint64_t late = 0;
        std::uint64_t skipped = 0;
    };
    PictureTally picture_tally() const { return {counts.shown, counts.late, counts.skipped}; }
    bool has_audio() const { return audio_stream_index >= 0; }
    bool has_video() const { return video_stream_index >= 0; }
    // Every stream of the input as probed, the ones played marked selected.
    std::vector<StreamInfo> get_streams() const;
    // The playback devices of the first sound backend that answers.
    static std::vector<AudioDeviceInfo> audio_devices();
    int get_width() const { return width; }
    int get_height() const { return height; }
    // The path, or with a reader of the caller's, what names the input.
    const std::string& get_path() const { return path; }
    bool reads_from_reader() const { return options.reader != nullptr; }
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
    // With options.latency: seconds playback stands behind the newest moment
    // read (see live_steering.h); none without the option or before anything
    // was read.
    std::optional<double> get_latency() const;
    // Pauses, then moves by `count` pictures (negative: back) and makes the
    // picture there the next get_next_frame() hands out at once; stops at
    // the first and the last picture. Throws std::runtime_error without
    // video or while not started. Blocks (a backward step seeks); call
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
    //                        carries out seeks, steers a live input to its
    //                        latency (live_steering.cpp)
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
    //     throttled wait asking whether the video decoder starves; buffering's
    //     wait for a first picture asking whether one is queued)
    //   seek_request.mutex -> the sound output's lock (seek() waking the
    //     audio thread)
    //   the sound output's lock -> its reader lock (the flush), which the
    //     callback only ever tries (sound_output.h)
    //   speed_mutex -> the sound output's lock, and -> the clocks' locks
    //     (set_speed() and the live catch-up handing on the speed)
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
    // Reading a caller's reader (options.reader) the constructor and the
    // demux thread hold no lock of the engine's and wait for its answers in
    // 10 ms steps, giving up once io_interrupt is due (byte_source.h).
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
    void play_without_sound();
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
    void wait_for_first_picture();
    void idle(std::chrono::milliseconds duration);
    void route_packet(AVPacket& packet);
    // A chosen stream as the demux thread routes its packets: its queue, the
    // joins of its timestamps and the other stream's (null without one),
    // and the flag that marks the first packet of a lap.
    struct PacketRoute {
        PacketQueue& queue;
        TimestampJoins& joins;
        AVRational time_base;
        const TimestampJoins* other_joins;
        AVRational other_time_base;
        bool is_video;
        bool& seam;
    };
    void route_stream_packet(AVPacket& packet, const PacketRoute& route);
    void handle_failed_read();
    void throttled_wait();
    void carry_out_seek();
    void post_seek(double target, double pictures_cut);
    bool loop_to_start();
    double lap_length() const;
    void shift_into_lap(AVPacket& packet, AVRational time_base);
    void keep_lap_end_trimming(AVPacket& packet);
    double in_lap(double seconds, double base = 0.0) const;
    double picture_in_lap(double seconds) const;
    double within_length(double seconds) const;
    int reposition(double target, std::vector<PacketPtr>& read);
    bool rewind_by_bytes();
    bool input_cannot_grow();
    void flush_pipeline(double target, double pictures_cut);
    void notify_frame_waiters();

    // Live playback (live_steering.cpp).
    static DecoderOptions for_live(DecoderOptions options);
    static double ring_fill_for(const DecoderOptions& options);
    void hold_for_live(const AVPacket& packet, double seconds, bool video);
    double live_position() const;
    double live_target() const;
    void steer_live();
    bool skip_ahead_to(double target);
    void set_catch_up(double factor);
    void apply_speed();

    // Shared by both decode threads (video_decode.cpp): the loop, and its
    // wait for one packet.
    using Check = bool (MediaDecoder::*)();
    struct DecodeStream {
        PacketQueue& packets;
        AVCodecContext* codec;  // the decode thread's alone while it runs
        Check output_dry;       // nothing left for the stream's consumer to take
        bool starts_at_key;     // a new lap is decoded from its first key frame
        void (MediaDecoder::*lap_begun)(const AVPacket& first);  // may be null
    };
    using DecodeStep = void (MediaDecoder::*)(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial);
    using SerialNotice = void (MediaDecoder::*)(std::uint64_t serial);
    using Notice = void (MediaDecoder::*)();
    void decode_loop(const DecodeStream& stream, DecodeStep decode, SerialNotice drained, Notice reopened);
    bool end_calls_for_drain(Check output_dry);
    enum class PacketWait { packet, idle, input_ended, stopped };
    PacketWait wait_for_packet(PacketQueue& queue, PacketQueue::Entry& entry);

    // Video decode (video_decode.cpp).
    AVDiscard seek_discard(const AVPacket* packet) const;
    bool choose_skipping(const AVPacket* packet, std::uint64_t serial);
    double next_key_seconds();
    void note_picture_out(const AVFrame* decoded);
    std::optional<double> lateness(double seconds) const;
    void decode_video_packet(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial);
    void handle_video_picture(const AVFrame* decoded, std::uint64_t serial);
    void picture_queued_while_held();
    bool wait_for_frame_room(std::unique_lock<std::mutex>& lock, std::size_t picture_bytes, std::uint64_t serial);

    // Frame delivery (frame_delivery.cpp).
    enum class Verdict { deliver, early, late };
    Verdict judge_front_picture(const AVFrame* picture);
    Verdict judge_by_wall_clock(const AVFrame* picture);
    double picture_seconds(const AVFrame* picture) const;
    std::chrono::nanoseconds early_wait(const AVFrame* picture) const;
    bool sound_ran_out();
    double picture_clock_now() const;
    bool input_finished() const { return status.input_ended() && pictures.drained(); }
    bool sound_played_out() const;
    // Nothing paces the pictures: no sound, not realtime, no step holding
    // them (extraction); they are handed out as soon as they are decoded.
    bool pictures_unpaced() const { return audio_stream_index < 0 && !options.realtime && !status.step_hold; }
    void announce_pictures_exhausted(std::uint64_t serial);
    void expect_more_pictures();
    bool pictures_dry();

    // Audio decode (audio_decode.cpp).
    void decode_audio_packet(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial);
    void begin_sound_lap(const AVPacket& first);
    double drop_lap_warm_up(const AVFrame* frame, std::uint64_t serial);
    void announce_sound_exhausted(std::uint64_t serial);
    void expect_more_sound();
    bool sound_dry();
    bool handle_audio_frame(const AVFrame* frame, std::uint64_t serial);
    void wait_for_buffer_room();
    void convert_and_append(const AVFrame* frame, double seconds, double skipped, std::uint64_t serial);

    // Frame step (frame_step.cpp).
    void step_forward(int count);
    void step_back(int count);
    bool pass_seek_window(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline);
    void pop_front_picture();
    void bring_sound_to_step();
    bool wait_for_step_pictures(std::unique_lock<std::mutex>& lock, std::size_t wanted,
                                std::chrono::steady_clock::time_point deadline);
    void show_front_at_once();
    void hold_clock_at(double seconds);

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
    // Where playback stands, one word moved by named transitions: the life,
    // the pipeline's phase (buffering, a seek settling, playing) and the
    // caller's pause; beside it the end of the input and a step's hold
    // (see playback_status.h).
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
    // video decoder starves and buffering's wait whether a first picture is
    // queued (seek_request.mutex -> pictures.mutex); the video thread wakes
    // that wait with the picture queued, pictures.mutex let go. Frame delivery
    // also wakes the throttled wait when the picture queue runs empty,
    // without seek_request.mutex: that wait is bounded, so a missed wake-up costs
    // 50 ms.
    SeekRequest seek_request;

    std::atomic<double> video_clock{0.0};      // frame delivery; the seek's flush: the last picture's time

    // With options.reader: the I/O context FFmpeg reads it through. Declared
    // before format_ctx, which must be closed first.
    std::unique_ptr<ByteSourceIo> reader_io;
    FormatContextPtr format_ctx;               // used by the demux thread once running
    // This decoder's share of the process's FFmpeg picture threads; given
    // back after the codec context below is freed.
    PictureThreads picture_threads;
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
    // What became of them (see falling_behind.h).
    PictureCounts counts;
    // Whether the video decoder runs behind the clock, and the pictures it
    // was told to skip that are still owed; of the pipeline serial they
    // were measured in. Video thread only.
    struct VideoSkipping {
        FallingBehind behind;
        SkipLedger ledger;
        std::uint64_t serial = 0;
    } video_skipping;


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
    // A step back waits for pictures that may be the input's last: the
    // decoders are drained at the end of the input at once. Set and cleared
    // by step_back(), read by the decode threads.
    std::atomic<bool> step_awaits_end{false};
    // At a seam of a looped input the audio decoder starts afresh: the
    // samples of its warm-up that it trimmed at the input's start (Opus's
    // pre-skip) are still to be dropped, and the first sound of the lap
    // joins the sound before it, its time marked without a hole filled or
    // an overlap dropped. Audio thread only.
    std::int64_t lap_warm_up_left = 0;
    std::uint64_t lap_warm_up_serial = 0;  // the pipeline serial of the seam
    bool lap_sound_joins = false;
    // The input's size when it was opened (-1 when it has none, as a pipe or
    // a live stream), and whether the end that reading last met is final:
    // the end of an input whose size has not changed since, which nothing
    // will add to, so the decoders are drained at once and the last pictures
    // come when due. A file still being written grows, and its end waits.
    // Written by the constructor, then by the demux thread; end_is_final is
    // read by the decode threads.
    std::int64_t opened_size = -1;
    std::atomic<bool> end_is_final{false};

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
    // they may jump at all (see timeline.h). Demux thread only, but for
    // joins.possible, fixed at construction.
    StreamJoins joins;

    // With options.latency: the newest timestamp read, seconds on the
    // pipeline's scale (NaN until a first one; written by the demux thread,
    // read by get_latency()), what the demux thread keeps to skip ahead
    // with, whether packets come in a burst, and whether it has playback
    // catching up (demux thread only).
    struct Live {
        std::atomic<double> edge{std::numeric_limits<double>::quiet_NaN()};
        double sound_edge = std::numeric_limits<double>::quiet_NaN();  // the newest sound read
        SoundLag sound_lag;
        LiveHistory history;
        BurstWatch burst;
        bool catching_up = false;
    } live;
    // The playback speed is the caller's set_speed() times the live
    // catch-up's factor. speed_mutex guards both factors and their handing
    // on to the sound output and the picture clock, so that a set_speed()
    // and a catch-up meeting leave the product of both; taken by the
    // caller's thread and the demux thread, before the sound output's lock
    // and the clocks' leaf locks. caller_speed is read without it.
    std::mutex speed_mutex;
    std::atomic<double> caller_speed{1.0};
    double catch_up_factor = 1.0;
};

}  // namespace reelpipe
