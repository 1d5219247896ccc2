// Construction, start, stop and teardown of a MediaDecoder.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/error.h>
}

#include "fork_safety.h"
#include "log_queue.h"
#include "media_decoder.h"

namespace reelpipe {

namespace {

// The longest the constructor waits for an input to open and be probed. A
// stalled server would otherwise hold it for minutes: each network
// operation has its own 10 s limit and the reconnect options retry them.
constexpr std::int64_t open_deadline_ns = 30'000'000'000;

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// FFmpeg calls this during blocking I/O; a non-zero answer abandons it, so a
// stalled network read can hold neither stop() nor the constructor for long.
int interrupt_io(void* opaque) { return static_cast<const IoInterrupt*>(opaque)->due() ? 1 : 0; }

// Options for every input: a large read buffer, reconnection for network
// streams, and a 10 s limit on each network operation. A live one is read
// for low delay besides: what is read while probing is not kept to be read
// again (it would be played as a backlog), the probing stops at 1 s or
// 1 MB (enough for a key frame of each stream of a feed whose key frames
// come every second or so), and a UDP socket that overflows while reading
// lags drops packets rather than failing.
DictionaryPtr input_options(bool live) {
    AVDictionary* options = nullptr;
    if (live) {
        av_dict_set(&options, "fflags", "nobuffer", 0);
        av_dict_set(&options, "probesize", "1000000", 0);
        av_dict_set(&options, "analyzeduration", "1000000", 0);
        av_dict_set(&options, "overrun_nonfatal", "1", 0);
    }
    av_dict_set(&options, "buffer_size", "10240000", 0);
    av_dict_set(&options, "reconnect", "1", 0);
    av_dict_set(&options, "reconnect_streamed", "1", 0);
    av_dict_set(&options, "reconnect_delay_max", "5", 0);
    av_dict_set(&options, "timeout", "10000000", 0);
    return DictionaryPtr(options);
}

// A frame rate as people write it: 25, 23.976.
std::string rate_text(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5g", rate);
    return text;
}

// FFmpeg picture threads held by the open decoders of this process (see
// picture_threads.h): written when a decoder opens its video stream and
// when it goes, and zeroed in a fork's child, whose decoders are not its own.
std::atomic<int> picture_threads_held{0};

// FFmpeg's own choice of frame threads for one decoder, which is also the
// budget of the whole process: a thread per core and one more, at most 16;
// one (none of its own) on a single core.
int picture_thread_budget() {
    const int cores = av_cpu_count();
    return cores > 1 ? std::min(cores + 1, 16) : 1;
}

// The decoder for `stream`. FFmpeg's own VP8 and VP9 decoders leave out the
// alpha that WebM carries beside the pictures; libvpx's decode it, more
// slowly, so they are taken when the caller wants alpha and the stream has
// it (and the system's FFmpeg has them).
const AVCodec* find_decoder(const AVStream* stream, bool want_alpha) {
    const AVCodecID id = stream->codecpar->codec_id;
    const AVDictionaryEntry* alpha_mode = av_dict_get(stream->metadata, "alpha_mode", nullptr, 0);
    if (want_alpha && alpha_mode != nullptr && std::strcmp(alpha_mode->value, "1") == 0) {
        const char* name = id == AV_CODEC_ID_VP9 ? "libvpx-vp9" : id == AV_CODEC_ID_VP8 ? "libvpx" : nullptr;
        if (const AVCodec* with_alpha = name != nullptr ? avcodec_find_decoder_by_name(name) : nullptr) {
            return with_alpha;
        }
    }
    return avcodec_find_decoder(id);
}

// The nearest even number to `value`, at least 2.
int even_side(double value) { return std::max(2, 2 * static_cast<int>(std::lround(value / 2.0))); }

// "size=(16384, -1)": the option as the caller wrote it, for messages.
std::string size_option_text(const std::pair<int, int>& wanted) {
    return "size=(" + std::to_string(wanted.first) + ", " + std::to_string(wanted.second) + ")";
}

std::string size_text(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// The size pictures of `upright_width` x `upright_height` are handed out at
// when the caller asked for `wanted` (a -1 side follows the aspect ratio).
// Refuses a side that the aspect ratio takes past largest_side.
std::pair<int, int> output_size(int upright_width, int upright_height, std::optional<std::pair<int, int>> wanted) {
    if (!wanted) return {upright_width, upright_height};
    auto [width, height] = *wanted;
    const double aspect = static_cast<double>(upright_width) / upright_height;
    if (width == -1) width = even_side(std::min(height * aspect, 4.0 * largest_side));
    if (height == -1) height = even_side(std::min(width / aspect, 4.0 * largest_side));
    if (width > largest_side || height > largest_side) {
        throw std::invalid_argument(size_option_text(*wanted) + " keeps the stream's aspect ratio at " +
                                    size_text(width, height) + ", and no side may be over " +
                                    std::to_string(largest_side));
    }
    return {width, height};
}

// Refuses an output size whose pictures FFmpeg will not make: a buffer row
// (with its padding) times the rows (with theirs) must stay below 2^31
// bytes, as av_image_check_size2() counts them for every picture FFmpeg
// allocates; and libswscale must build a scaler from the stream's pictures
// to that size. Checked here as they check it, so that the caller hears why
// rather than losing the video.
void check_output_size(const std::pair<int, int>& wanted, const AVCodecContext& stream, int width, int height,
                       PictureFormat format, const PictureOrientation& orientation) {
    const std::int64_t row = av_image_get_linesize(av_pixel_format(format), width, 0) + 128 * 8;
    if (row * (static_cast<std::int64_t>(height) + 128) >= std::numeric_limits<int>::max()) {
        throw std::invalid_argument(size_option_text(wanted) + " makes " + size_text(width, height) + " " +
                                    av_get_pix_fmt_name(av_pixel_format(format)) +
                                    " pictures, larger than FFmpeg allocates: (bytes per row + 1024) x (rows + "
                                    "128) must stay below 2^31");
    }
    // The scaler makes the picture before it is turned upright.
    const int scaled_width = orientation.transpose ? height : width;
    const int scaled_height = orientation.transpose ? width : height;
    SwsContext* scaler = sws_getContext(stream.width, stream.height, stream.pix_fmt, scaled_width, scaled_height,
                                        av_pixel_format(format), SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler == nullptr) {
        throw std::invalid_argument(size_option_text(wanted) + ": libswscale cannot scale the stream's " +
                                    size_text(stream.width, stream.height) + " pictures to " +
                                    size_text(scaled_width, scaled_height));
    }
    sws_freeContext(scaler);
}

// Opens a decoder for `stream`, its messages tied to `input`, a video one
// with `threads` picture threads; empty when there is none or it will not
// open. A `low_delay` one hands each picture out as soon as it is decoded:
// frame threads would hold back a picture per thread.
CodecContextPtr open_decoder(const AVStream* stream, LogInput& input, bool want_alpha = false, int threads = 1,
                             bool low_delay = false) {
    const AVCodec* codec = find_decoder(stream, want_alpha);
    if (codec == nullptr) {
        log_event(LogLevel::warning, "stream #" + std::to_string(stream->index) + ": no decoder for " +
                                         avcodec_get_name(stream->codecpar->codec_id));
        return {};
    }
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return {};
    if (avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0) return {};
    // The decoders' own timestamp work (skipped and discarded samples of
    // Opus and Vorbis) needs the packets' time base, as the ffmpeg CLI sets it.
    ctx->pkt_timebase = stream->time_base;
    // Set before opening: FFmpeg's frame threads copy it with the context.
    ctx->opaque = &input;
    if (ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
        // Sound is cheap to decode and keeps one thread.
        ctx->thread_count = threads;
        ctx->thread_type = low_delay ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
        if (low_delay) ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    }
    const int opened = avcodec_open2(ctx.get(), codec, nullptr);
    if (opened < 0) {
        log_event(LogLevel::warning, "stream #" + std::to_string(stream->index) + ": the " + codec->name +
                                         " decoder will not open: " + ffmpeg_error_text(opened));
        return {};
    }
    return ctx;
}

// The display matrix the container gives `stream`, or null. Newer FFmpeg
// keeps it in the stream's codec parameters, older in the stream itself.
const std::int32_t* display_matrix(const AVStream* stream) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
    const AVPacketSideData* side_data = av_packet_side_data_get(
        stream->codecpar->coded_side_data, stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (side_data == nullptr || side_data->size < 9 * sizeof(std::int32_t)) return nullptr;
    return reinterpret_cast<const std::int32_t*>(side_data->data);
#else
    std::size_t size = 0;
    const std::uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (data == nullptr || size < 9 * sizeof(std::int32_t)) return nullptr;
    return reinterpret_cast<const std::int32_t*>(data);
#endif
}

// True when the input lists a sound stream before it is probed, as the
// header of an MP4 or a Matroska file does.
bool lists_sound(const AVFormatContext* format) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return true;
    }
    return false;
}

// The sound device, opened on a thread of its own while the input's
// streams are probed: both take milliseconds (a sound server more), and
// neither needs the other. The device's format is the playback format,
// whatever the input's. What the sound stream does not claim is released
// again, and the opening is always waited for before the constructor
// returns or unwinds.
class EarlySoundDevice {
public:
    EarlySoundDevice(SoundOutput& sound, const LogInput& input, bool begin) : sound_(sound) {
        if (!begin) return;
        try {
            opened_ = std::async(std::launch::async, [&sound, &input] {
                const LogInputScope log_scope(&input);
                return sound.open_device();
            });
        } catch (const std::system_error&) {
            // No thread to spare: claim() opens it.
        }
    }
    ~EarlySoundDevice() {
        if (!opened_.valid()) return;
        opened_.wait();
        sound_.release_device();
    }
    EarlySoundDevice(const EarlySoundDevice&) = delete;
    EarlySoundDevice& operator=(const EarlySoundDevice&) = delete;

    // The device for the sound stream: the opening's outcome, waited for,
    // or an opening now when none was begun.
    bool claim() { return opened_.valid() ? opened_.get() : sound_.open_device(); }

private:
    SoundOutput& sound_;
    std::future<bool> opened_;  // valid until claimed
};

}  // namespace

void forget_inherited_decoders() { picture_threads_held = 0; }

int PictureThreads::take() {
    give_back();
    const int budget = picture_thread_budget();
    int in_use = picture_threads_held.load();
    int share = 0;
    do {
        share = std::min(budget, budget - in_use);
        // A single frame thread only adds a hand-over to the video thread.
        if (share < 2) return 1;
    } while (!picture_threads_held.compare_exchange_weak(in_use, in_use + share));
    held = share;
    return share;
}

void PictureThreads::give_back() {
    if (held == 0) return;
    picture_threads_held -= held;
    held = 0;
}

std::vector<AudioDeviceInfo> MediaDecoder::audio_devices() { return SoundOutput::devices(); }

MediaDecoder::MediaDecoder(std::string path_arg, const DecoderOptions& chosen)
    : born_in_fork_generation((install_fork_handlers(), fork_generation())),
      path(std::move(path_arg)),
      log_input(path),
      options(for_live(chosen)),
      sound(chosen.audio_device.value_or(""), *this, log_input, ring_fill_for(chosen)),
      pictures(chosen.max_picture_memory) {
    const LogInputScope log_scope(&log_input);
    check_picture_choices(options);
    if (options.audio_device) SoundOutput::check_device(*options.audio_device);
    avformat_network_init();
    open_input();
    EarlySoundDevice device(sound, log_input, options.audio && lists_sound(format_ctx.get()));
    const int probed = avformat_find_stream_info(format_ctx.get(), nullptr);
    io_interrupt.deadline_ns = 0;
    if (probed < 0) {
        log_event(LogLevel::error, "cannot find the streams: " + ffmpeg_error_text(probed));
        throw OpenError("FFmpeg failed to find stream info.", ffmpeg_error_text(probed));
    }
    streams = describe_streams(format_ctx.get());
    // A caller's reader is asked nothing it need not answer: its end is
    // taken as it comes, as a stream's.
    if (format_ctx->pb != nullptr && !options.reader) opened_size = avio_size(format_ctx->pb);
    open_video_stream(options);
    // A video stream that would not open needs no picture threads.
    if (video_stream_index < 0) picture_threads.give_back();
    if (options.audio) {
        open_audio_stream(options.audio_stream);
        if (audio_stream_index >= 0 && !device.claim()) play_without_sound();
    } else {
        // Left out, but a choice of no stream there is still a mistake.
        chosen_stream(streams, AVMEDIA_TYPE_AUDIO, options.audio_stream, "audio_stream");
    }
    set_input_timing();
    if (format_ctx->duration != AV_NOPTS_VALUE && format_ctx->duration > 0) {
        timeline.length = static_cast<double>(format_ctx->duration) / 1000000.0;
    }
}

// Fixes where the input starts (the container's start time, else the
// earliest first timestamp of the chosen streams, else zero) and whether
// its timestamps may jump, with the length of a picture for following the
// jumps of pictures that state no length.
void MediaDecoder::set_input_timing() {
    if (format_ctx->start_time != AV_NOPTS_VALUE) {
        timeline.origin = static_cast<double>(format_ctx->start_time) / AV_TIME_BASE;
    } else {
        timeline.origin = earliest_start();
    }
    sound_end -= timeline.origin;
    joins.possible = (format_ctx->iformat->flags & AVFMT_TS_DISCONT) != 0;
    if (video_stream_index >= 0) {
        const double picture_interval = 1.0 / fps;
        joins.video.step = static_cast<std::int64_t>(picture_interval / timestamp_seconds(video_time_base, 1));
    }
}

// The earliest first timestamp of the chosen streams, in seconds; zero when
// none states one.
double MediaDecoder::earliest_start() const {
    double earliest = std::numeric_limits<double>::infinity();
    for (const int index : {video_stream_index, audio_stream_index.load()}) {
        if (index < 0) continue;
        const AVStream* stream = format_ctx->streams[index];
        if (stream->start_time == AV_NOPTS_VALUE) continue;
        earliest = std::min(earliest, timestamp_seconds(stream->time_base, stream->start_time));
    }
    return std::isfinite(earliest) ? earliest : 0.0;
}

// Opens the input with the fixed options, from the caller's reader when
// there is one. A path with a NUL byte in it is refused: FFmpeg would open
// the shorter name before the NUL.
void MediaDecoder::open_input() {
    const std::string failure = "FFmpeg failed to open video file: " + path;
    if (!options.reader && path.find('\0') != std::string::npos) {
        log_event(LogLevel::error, "cannot open: the path has a NUL byte in it");
        throw OpenError(failure, "embedded null byte");
    }

    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr) throw OpenError(failure, ffmpeg_error_text(AVERROR(ENOMEM)));
    ctx->opaque = &log_input;
    ctx->interrupt_callback.callback = interrupt_io;
    ctx->interrupt_callback.opaque = &io_interrupt;
    io_interrupt.deadline_ns = steady_ns() + open_deadline_ns;
    if (options.reader) {
        reader_io = std::make_unique<ByteSourceIo>(options.reader, [this] { return io_interrupt.due(); });
        if (reader_io->context() == nullptr) {
            avformat_free_context(ctx);
            throw OpenError(failure, ffmpeg_error_text(AVERROR(ENOMEM)));
        }
        ctx->pb = reader_io->context();
        ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    }

    DictionaryPtr input_dictionary = input_options(options.latency.has_value());
    AVDictionary* raw_options = input_dictionary.release();
    const int result = avformat_open_input(&ctx, options.reader ? "" : path.c_str(), nullptr, &raw_options);
    input_dictionary.reset(raw_options);
    // On failure avformat_open_input has freed the context already.
    if (result < 0) {
        log_event(LogLevel::error, "cannot open: " + ffmpeg_error_text(result));
        throw OpenError(failure, ffmpeg_error_text(result));
    }
    format_ctx.reset(ctx);
}

// Picks the video stream (the caller's, else FFmpeg's best) and prepares its
// decoder and converter for the caller's size and pixel format. A stream
// that cannot be decoded or converted is treated as absent, and so is cover
// art that FFmpeg picks (an mp3 with an album picture plays as sound
// alone); cover art the caller picks is refused (chosen_stream()).
void MediaDecoder::open_video_stream(const DecoderOptions& options) {
    int index = chosen_stream(streams, AVMEDIA_TYPE_VIDEO, options.video_stream, "video_stream");
    if (index < 0) index = av_find_best_stream(format_ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        log_event(LogLevel::info, "no video stream");
        return;
    }
    const AVStream* stream = format_ctx->streams[index];
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) return;

    const PictureFormat format = *picture_format_named(options.pixel_format);
    CodecContextPtr ctx = open_decoder(stream, log_input, has_alpha(format), picture_threads.take(),
                                       options.latency.has_value());
    if (!ctx) return;
    if (ctx->width <= 0 || ctx->height <= 0 || ctx->pix_fmt == AV_PIX_FMT_NONE) return;
    if (sws_isSupportedInput(ctx->pix_fmt) == 0) return;

    PictureOrientation orientation;
    if (const std::int32_t* matrix = display_matrix(stream)) orientation = orientation_from_display_matrix(matrix);
    // Pictures are handed out upright: a quarter turn swaps their sides.
    const int upright_width = orientation.transpose ? ctx->height : ctx->width;
    const int upright_height = orientation.transpose ? ctx->width : ctx->height;
    std::tie(width, height) = output_size(upright_width, upright_height, options.size);
    if (options.size) check_output_size(*options.size, *ctx, width, height, format, orientation);
    converter.set_output(width, height, format, orientation);
    video_codec_ctx = std::move(ctx);
    video_time_base = stream->time_base;
    if (stream->avg_frame_rate.num != 0 && stream->avg_frame_rate.den != 0) {
        fps = static_cast<double>(stream->avg_frame_rate.num) / static_cast<double>(stream->avg_frame_rate.den);
    }
    video_stream_index = index;
    log_event(LogLevel::info, "video: stream #" + std::to_string(index) + ", " + video_codec_ctx->codec->name + " " +
                                  std::to_string(upright_width) + "x" + std::to_string(upright_height) + " at " +
                                  rate_text(fps) + " fps, handed out " + std::to_string(width) + "x" +
                                  std::to_string(height) + " " + options.pixel_format);
}

// Picks the audio stream (the caller's, else FFmpeg's best) and prepares
// its decoder and the resampler to the playback format. Any step that fails
// leaves the input without sound rather than with a half-made audio path.
void MediaDecoder::open_audio_stream(const StreamChoice& choice) {
    int index = chosen_stream(streams, AVMEDIA_TYPE_AUDIO, choice, "audio_stream");
    if (index < 0) index = av_find_best_stream(format_ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        log_event(LogLevel::info, "no audio stream");
        return;
    }
    const AVStream* stream = format_ctx->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    if (!plausible_sample_rate(par->sample_rate)) return;
    CodecContextPtr ctx = open_decoder(stream, log_input);
    if (!ctx) return;

    if (!sound_converter.match(static_cast<AVSampleFormat>(par->format), par->sample_rate, par->ch_layout)) return;

    audio_codec_ctx = std::move(ctx);
    audio_time_base = stream->time_base;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        sound_end = timestamp_seconds(stream->time_base, start + stream->duration);
    }
    audio_stream_index = index;
    log_event(LogLevel::info, "audio: stream #" + std::to_string(index) + ", " + audio_codec_ctx->codec->name + " " +
                                  std::to_string(par->sample_rate) + " Hz, " +
                                  std::to_string(par->ch_layout.nb_channels) + " channels");
}

// The sound stream was chosen, but no device, not even the null one, could
// be made for it.
void MediaDecoder::play_without_sound() {
    log_event(LogLevel::warning, "no sound device could be made, not even the null one; playing without sound");
    audio_stream_index = -1;
    audio_codec_ctx.reset();
    sound_converter.reset();
}

MediaDecoder::~MediaDecoder() {
    const LogInputScope log_scope(&log_input);
    stop();
    // A decoder that was never started still holds an initialised device.
    sound.release_device();
    // The members release the rest: queued packets and pictures with their
    // queues, then the converters, decoders and input.
}

bool MediaDecoder::inherited() const { return fork_generation() != born_in_fork_generation; }

void MediaDecoder::refuse_if_inherited() const {
    if (inherited()) {
        throw std::runtime_error("this MediaDecoder was made before a fork, in the parent process: its threads "
                                 "and sound device are not in this one; make a new MediaDecoder here");
    }
}

void MediaDecoder::start() {
    refuse_if_inherited();
    const LogInputScope log_scope(&log_input);
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
    if (status.running()) return;
    if (status.now().life == Life::stopped) {
        // A restart: stop() may have released the device; reopen it, and
        // undo the pause that stop() put on the sound (status.start() below
        // undoes its own).
        if (audio_stream_index >= 0 && !sound.open_device()) audio_stream_index = -1;
        sound.resume();
        // The pictures' wall clock starts again from the next picture, as
        // after a seek, rather than counting the time spent stopped.
        const std::int64_t now = steady_now_ns();
        picture_clock.set_paused(false, now);
        picture_clock.stop_pacing(now);
    }
    io_interrupt.abort = false;
    if (reader_io) reader_io->resume_after_stop();
    sound.restart_clock();
    status.start();
    demux_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::demux_loop);
    if (video_stream_index >= 0) {
        video_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::video_decode_loop);
    }
    if (audio_stream_index >= 0) {
        audio_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::audio_decode_loop);
        sound.start_feeding();
        sound.start_device();
    }
}

void MediaDecoder::stop() {
    // An inherited decoder's threads are not in this process: nothing to end.
    if (inherited()) return;
    const LogInputScope log_scope(&log_input);
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
    status.stop();
    io_interrupt.abort = true;
    // Silent at once, rather than after the joins; what the sound output
    // holds plays after a restart.
    if (audio_stream_index >= 0) sound.pause();
    wake_all_waiters();
    if (demux_thread.joinable()) demux_thread.join();
    if (video_thread.joinable()) video_thread.join();
    if (audio_thread.joinable()) {
        sound.stop_feeding();
        sound.release_device();
        audio_thread.join();
    }
}

// Wakes every thread that may wait on a condition that stop() just changed.
// Each notification is made under the waiter's mutex, one lock at a time,
// so a waiter between its test and its wait cannot miss it.
void MediaDecoder::wake_all_waiters() {
    {
        std::lock_guard<std::mutex> lock(video_packets_in.mutex);
        video_packets_in.cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(audio_packets_in.mutex);
        audio_packets_in.cv.notify_all();
    }
    notify_frame_waiters();
    sound.notify_room();
    {
        std::lock_guard<std::mutex> lock(seek_request.mutex);
        seek_request.cv.notify_all();
    }
}

PlaybackState MediaDecoder::get_state() const { return status.now().state(); }

std::vector<StreamInfo> MediaDecoder::get_streams() const {
    std::vector<StreamInfo> listed = streams;
    for (StreamInfo& stream : listed) {
        stream.selected = stream.index == video_stream_index || stream.index == audio_stream_index;
    }
    return listed;
}

std::int64_t MediaDecoder::steady_now_ns() { return steady_ns(); }

// Runs one worker thread's loop with every message it logs tied to this
// decoder's input.
void MediaDecoder::run_for_input(void (MediaDecoder::*loop)()) {
    const LogInputScope log_scope(&log_input);
    (this->*loop)();
}

}  // namespace reelpipe
