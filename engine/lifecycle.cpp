// Construction, start, stop and teardown of a MediaDecoder.
#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
}

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
int interrupt_io(void* opaque) {
    const auto* interrupt = static_cast<const IoInterrupt*>(opaque);
    if (interrupt->abort) return 1;
    const std::int64_t deadline = interrupt->deadline_ns;
    return deadline != 0 && steady_ns() > deadline ? 1 : 0;
}

// Options for every input: a large read buffer, reconnection for network
// streams, and a 10 s limit on each network operation.
DictionaryPtr input_options() {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "buffer_size", "10240000", 0);
    av_dict_set(&options, "reconnect", "1", 0);
    av_dict_set(&options, "reconnect_streamed", "1", 0);
    av_dict_set(&options, "reconnect_delay_max", "5", 0);
    av_dict_set(&options, "timeout", "10000000", 0);
    return DictionaryPtr(options);
}

// Opens a decoder for `stream`; empty when there is none or it will not open.
CodecContextPtr open_decoder(const AVStream* stream) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) return {};
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return {};
    if (avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0) return {};
    if (ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
        // Pictures decode on frame and slice threads, as many as FFmpeg
        // chooses for the cores (its default is one thread): 1080p and 4K
        // H.264 come 1.4x and 1.7x faster on two cores, and a seek reaches
        // its target sooner. Sound is cheap to decode and keeps one thread.
        ctx->thread_count = 0;
        ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return {};
    return ctx;
}

// Keeps the audio backends' client libraries loaded for the life of the
// process. Each device makes its own miniaudio context, so that a sound
// server started later is still found, and each context loads and unloads
// libasound, libpulse and libjack; JACK's client library crashes in its
// static initialiser after a few hundred such reloads. A library pinned
// here is initialised once, and miniaudio's loads only count references.
void pin_audio_backends() {
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        for (const char* name : {"libasound.so.2", "libpulse.so.0", "libjack.so.0"}) {
            dlopen(name, RTLD_NOW | RTLD_NODELETE);
        }
    });
}

// FFmpeg's description of an error code, as its tools print it.
std::string error_text(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

}  // namespace

MediaDecoder::MediaDecoder(std::string path_arg, const DecoderOptions& options)
    : path(std::move(path_arg)),
      max_buffer_ahead(options.max_buffer_ahead),
      resume_buffer_ahead(std::min(options.min_buffer_ahead, options.max_buffer_ahead)),
      min_buffer_ahead(options.min_buffer_ahead),
      frame_queue_budget(options.max_picture_memory) {
    av_log_set_level(AV_LOG_QUIET);
    avformat_network_init();
    open_input();
    const int probed = avformat_find_stream_info(format_ctx.get(), nullptr);
    io_interrupt.deadline_ns = 0;
    if (probed < 0) throw OpenError("FFmpeg failed to find stream info.", error_text(probed));
    open_video_stream();
    if (options.audio) open_audio_stream();
    if (format_ctx->duration != AV_NOPTS_VALUE && format_ctx->duration > 0) {
        duration = static_cast<double>(format_ctx->duration) / 1000000.0;
    }
}

// Opens the input with the fixed options. A path with a NUL byte in it is
// refused: FFmpeg would open the shorter name before the NUL.
void MediaDecoder::open_input() {
    const std::string failure = "FFmpeg failed to open video file: " + path;
    if (path.find('\0') != std::string::npos) throw OpenError(failure, "embedded null byte");

    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr) throw OpenError(failure, error_text(AVERROR(ENOMEM)));
    ctx->interrupt_callback.callback = interrupt_io;
    ctx->interrupt_callback.opaque = &io_interrupt;
    io_interrupt.deadline_ns = steady_ns() + open_deadline_ns;

    DictionaryPtr options = input_options();
    AVDictionary* raw_options = options.release();
    const int result = avformat_open_input(&ctx, path.c_str(), nullptr, &raw_options);
    options.reset(raw_options);
    // On failure avformat_open_input has freed the context already.
    if (result < 0) throw OpenError(failure, error_text(result));
    format_ctx.reset(ctx);
}

// Picks the video stream and prepares its decoder and converter. A stream
// that cannot be decoded or converted, or that is only a cover picture, is
// treated as absent.
void MediaDecoder::open_video_stream() {
    const int index = av_find_best_stream(format_ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return;
    const AVStream* stream = format_ctx->streams[index];
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) return;

    CodecContextPtr ctx = open_decoder(stream);
    if (!ctx) return;
    if (ctx->width <= 0 || ctx->height <= 0 || ctx->pix_fmt == AV_PIX_FMT_NONE) return;
    // Refuses sizes whose RGB picture could not even be addressed.
    if (av_image_check_size(static_cast<unsigned>(ctx->width), static_cast<unsigned>(ctx->height), 0, nullptr) < 0) {
        return;
    }
    SwsContextPtr converter(sws_getContext(ctx->width, ctx->height, ctx->pix_fmt, ctx->width, ctx->height,
                                           AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!converter) return;

    width = ctx->width;
    height = ctx->height;
    video_codec_ctx = std::move(ctx);
    sws_ctx = std::move(converter);
    video_time_base = stream->time_base;
    if (stream->avg_frame_rate.num != 0 && stream->avg_frame_rate.den != 0) {
        fps = static_cast<double>(stream->avg_frame_rate.num) / static_cast<double>(stream->avg_frame_rate.den);
    }
    video_stream_index = index;
}

// Picks the audio stream and prepares its decoder, the resampler to the
// playback format and the device. Any step that fails leaves the input
// without sound rather than with a half-made audio path.
void MediaDecoder::open_audio_stream() {
    const int index = av_find_best_stream(format_ctx.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) return;
    const AVStream* stream = format_ctx->streams[index];
    const AVCodecParameters* par = stream->codecpar;
    if (!plausible_sample_rate(par->sample_rate)) return;
    CodecContextPtr ctx = open_decoder(stream);
    if (!ctx) return;

    AVChannelLayout in_layout{};
    if (!copy_input_layout(par->ch_layout, &in_layout)) {
        av_channel_layout_uninit(&in_layout);
        return;
    }
    AVChannelLayout out_layout{};
    av_channel_layout_default(&out_layout, playback_channels);
    SwrContext* raw_swr = nullptr;
    const int made = swr_alloc_set_opts2(&raw_swr, &out_layout, AV_SAMPLE_FMT_S16, playback_rate, &in_layout,
                                         static_cast<AVSampleFormat>(par->format), par->sample_rate, 0, nullptr);
    SwrContextPtr resampler(raw_swr);
    av_channel_layout_uninit(&out_layout);
    if (made < 0 || !resampler || swr_init(resampler.get()) < 0) {
        av_channel_layout_uninit(&in_layout);
        return;
    }

    audio_codec_ctx = std::move(ctx);
    swr_ctx = std::move(resampler);
    swr_in_format = static_cast<AVSampleFormat>(par->format);
    swr_in_rate = par->sample_rate;
    swr_in_layout = in_layout;  // takes over the layout's storage
    audio_time_base = stream->time_base;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        sound_end = timestamp_seconds(stream->time_base, start + stream->duration);
    }
    audio_stream_index = index;

    if (!init_audio_device()) {
        audio_stream_index = -1;
        audio_codec_ctx.reset();
        swr_ctx.reset();
    }
}

// Initialises the playback device in the playback format with this decoder
// as the callback's user data. Takes device_mutex.
bool MediaDecoder::init_audio_device() {
    std::lock_guard<std::mutex> lock(device_mutex);
    if (audio_device_ready) return true;
    ma_device_config config = ma_device_config_init(ma_device_type_playback);
    config.playback.format = ma_format_s16;
    config.playback.channels = playback_channels;
    config.sampleRate = playback_rate;
    config.dataCallback = audio_data_callback;
    config.pUserData = this;
    // By default miniaudio cuts the backend's requests into fixed periods
    // and, when the device stops, throws away what it holds of the last
    // one: sound the callback already counted into audio_clock. A pause
    // would then skip up to a period and leave the clock ahead of the sound.
    config.noFixedSizedCallback = MA_TRUE;
    pin_audio_backends();
    if (ma_device_init(nullptr, &config, &audio_device) != MA_SUCCESS) return false;
    ma_device_set_master_volume(&audio_device, volume.load());
    audio_device_ready = true;
    return true;
}

// Stops and releases the device if it is initialised. Takes device_mutex;
// after it returns the callback is never called again.
void MediaDecoder::release_audio_device() {
    std::lock_guard<std::mutex> lock(device_mutex);
    if (!audio_device_ready) return;
    if (ma_device_get_state(&audio_device) == ma_device_state_started) ma_device_stop(&audio_device);
    ma_device_uninit(&audio_device);
    audio_device_ready = false;
}

MediaDecoder::~MediaDecoder() {
    stop();
    // A decoder that was never started still holds an initialised device.
    release_audio_device();
    av_channel_layout_uninit(&swr_in_layout);
    // The members release the rest: queued packets and pictures with their
    // queues, then the converters, decoders and input.
}

void MediaDecoder::start() {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
    if (running) return;
    if (stopped) {
        // A restart: stop() may have released the device; reopen it, and
        // undo the pause that stop() put in place.
        if (audio_stream_index >= 0 && !init_audio_device()) audio_stream_index = -1;
        paused = false;
        stopped = false;
    }
    io_interrupt.abort = false;
    audio_clock_moved_at = steady_now_ns();
    ever_started = true;
    running = true;
    demux_thread = std::thread(&MediaDecoder::demux_loop, this);
    if (video_stream_index >= 0) video_thread = std::thread(&MediaDecoder::video_decode_loop, this);
    if (audio_stream_index >= 0) {
        audio_thread = std::thread(&MediaDecoder::audio_decode_loop, this);
        std::lock_guard<std::mutex> lock(device_mutex);
        if (audio_device_ready) ma_device_start(&audio_device);
    }
}

void MediaDecoder::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
    running = false;
    paused = true;
    io_interrupt.abort = true;
    stopped = true;
    wake_all_waiters();
    if (demux_thread.joinable()) demux_thread.join();
    if (video_thread.joinable()) video_thread.join();
    if (audio_thread.joinable()) {
        release_audio_device();
        audio_thread.join();
    }
}

// Wakes every thread that may wait on a condition that stop() just changed.
// Each notification is made under the waiter's mutex, one lock at a time,
// so a waiter between its test and its wait cannot miss it.
void MediaDecoder::wake_all_waiters() {
    {
        std::lock_guard<std::mutex> lock(video_packet_mutex);
        video_packet_cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(audio_packet_mutex);
        audio_packet_cv.notify_all();
    }
    notify_frame_waiters();
    {
        std::lock_guard<std::mutex> lock(seek_mutex);
        seek_cv.notify_all();
    }
}

PlaybackState MediaDecoder::get_state() const {
    if (running) return paused ? PlaybackState::paused : PlaybackState::playing;
    return ever_started ? PlaybackState::stopped : PlaybackState::constructed;
}

std::int64_t MediaDecoder::steady_now_ns() { return steady_ns(); }

}  // namespace reelpipe
