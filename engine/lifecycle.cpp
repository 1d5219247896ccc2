// Construction, start, stop and teardown of a MediaDecoder.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
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

// The largest side a picture handed out may have.
constexpr int largest_side = 16384;

// Refuses a pixel format that is not one, and a size whose sides are not
// each -1 or 1 to largest_side (not both -1).
void check_picture_options(const DecoderOptions& options) {
    if (!picture_format_named(options.pixel_format)) {
        throw std::invalid_argument("pixel_format must be one of " + std::string(picture_format_names) + ", not '" +
                                    options.pixel_format + "'");
    }
    if (!options.size) return;
    const auto [width, height] = *options.size;
    const auto side_ok = [](int side) { return side == -1 || (side >= 1 && side <= largest_side); };
    if (!side_ok(width) || !side_ok(height) || (width == -1 && height == -1)) {
        throw std::invalid_argument("size must be (width, height) with each side from 1 to " +
                                    std::to_string(largest_side) +
                                    ", or one of them -1 to keep the aspect ratio; not (" + std::to_string(width) +
                                    ", " + std::to_string(height) + ")");
    }
}

// The nearest even number to `value`, at least 2.
int even_side(double value) { return std::max(2, 2 * static_cast<int>(std::lround(value / 2.0))); }

// The size pictures of `upright_width` x `upright_height` are handed out at
// when the caller asked for `wanted` (a -1 side follows the aspect ratio).
std::pair<int, int> output_size(int upright_width, int upright_height, std::optional<std::pair<int, int>> wanted) {
    if (!wanted) return {upright_width, upright_height};
    auto [width, height] = *wanted;
    const double aspect = static_cast<double>(upright_width) / upright_height;
    if (width == -1) width = std::min(largest_side, even_side(height * aspect));
    if (height == -1) height = std::min(largest_side, even_side(width / aspect));
    return {width, height};
}

// Opens a decoder for `stream`, its messages tied to `input`, a video one
// with `threads` picture threads; empty when there is none or it will not
// open.
CodecContextPtr open_decoder(const AVStream* stream, LogInput& input, bool want_alpha = false, int threads = 1) {
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
        ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
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

// The client libraries of the sound backends, loaded once; null where absent.
struct SoundLibraries {
    void* alsa = nullptr;
    void* jack = nullptr;
};

// Keeps the audio backends' client libraries loaded for the life of the
// process. Each device makes its own miniaudio context, so that a sound
// server started later is still found, and each context loads and unloads
// libasound, libpulse and libjack; JACK's client library crashes in its
// static initialiser after a few hundred such reloads. A library pinned
// here is initialised once, and miniaudio's loads only count references.
const SoundLibraries& pin_audio_backends() {
    static const SoundLibraries pinned = [] {
        SoundLibraries libraries;
        libraries.alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_NODELETE);
        dlopen("libpulse.so.0", RTLD_NOW | RTLD_NODELETE);
        libraries.jack = dlopen("libjack.so.0", RTLD_NOW | RTLD_NODELETE);
        return libraries;
    }();
    return pinned;
}

using AlsaErrorHandler = void (*)(const char* file, int line, const char* function, int error, const char* format,
                                  ...);
using AlsaSetErrorHandler = int (*)(AlsaErrorHandler handler);
using JackMessageFunction = void (*)(const char* message);
using JackSetMessageFunction = void (*)(JackMessageFunction function);

void ignore_alsa_message(const char*, int, const char*, int, const char*, ...) {}
void ignore_jack_message(const char*) {}

// libasound and libjack print every failure of a probe (no card, no server:
// about 40 lines per device made) straight to stderr, through handlers that
// are global to the process. While any device is being made or released
// they are replaced by ones that say nothing; the last to finish puts back
// whatever was there before, the application's own handlers included. The
// libraries are pinned, so they cannot be unloaded while ours are set.
class QuietSoundLibraries {
public:
    QuietSoundLibraries() {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().users++ == 0) silence();
    }
    ~QuietSoundLibraries() {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (--state().users == 0) restore();
    }
    QuietSoundLibraries(const QuietSoundLibraries&) = delete;
    QuietSoundLibraries& operator=(const QuietSoundLibraries&) = delete;

    // Around a fork: a child must not find the lock held by a thread it
    // does not have.
    static void hold_for_fork() { state().mutex.lock(); }
    static void release_after_fork() { state().mutex.unlock(); }

private:
    // A leaf lock, taken with playback.mutex held (playback.mutex -> this).
    struct State {
        std::mutex mutex;
        int users = 0;                                  // guarded by mutex: devices being made or released
        AlsaErrorHandler alsa_before = nullptr;         // guarded by mutex
        JackMessageFunction jack_error_before = nullptr;  // guarded by mutex
        JackMessageFunction jack_info_before = nullptr;   // guarded by mutex
    };
    static State& state() {
        static State shared;
        return shared;
    }

    template <typename T>
    static T symbol(void* library, const char* name) {
        return library != nullptr ? reinterpret_cast<T>(dlsym(library, name)) : nullptr;
    }

    // Each library is silenced only when its current handler can be read, so
    // that it can be put back.
    static void silence() {
        const SoundLibraries& libraries = pin_audio_backends();
        State& s = state();
        auto* alsa_current = symbol<AlsaErrorHandler*>(libraries.alsa, "snd_lib_error");
        auto set_alsa = symbol<AlsaSetErrorHandler>(libraries.alsa, "snd_lib_error_set_handler");
        if (alsa_current != nullptr && set_alsa != nullptr) {
            s.alsa_before = *alsa_current;
            set_alsa(ignore_alsa_message);
        }
        auto* jack_error_current = symbol<JackMessageFunction*>(libraries.jack, "jack_error_callback");
        auto* jack_info_current = symbol<JackMessageFunction*>(libraries.jack, "jack_info_callback");
        auto set_jack_error = symbol<JackSetMessageFunction>(libraries.jack, "jack_set_error_function");
        auto set_jack_info = symbol<JackSetMessageFunction>(libraries.jack, "jack_set_info_function");
        if (jack_error_current != nullptr && jack_info_current != nullptr && set_jack_error != nullptr &&
            set_jack_info != nullptr) {
            s.jack_error_before = *jack_error_current;
            s.jack_info_before = *jack_info_current;
            set_jack_error(ignore_jack_message);
            set_jack_info(ignore_jack_message);
        }
    }

    static void restore() {
        const SoundLibraries& libraries = pin_audio_backends();
        State& s = state();
        if (s.alsa_before != nullptr) {
            symbol<AlsaSetErrorHandler>(libraries.alsa, "snd_lib_error_set_handler")(s.alsa_before);
            s.alsa_before = nullptr;
        }
        if (s.jack_error_before != nullptr) {
            symbol<JackSetMessageFunction>(libraries.jack, "jack_set_error_function")(s.jack_error_before);
            symbol<JackSetMessageFunction>(libraries.jack, "jack_set_info_function")(s.jack_info_before);
            s.jack_error_before = nullptr;
        }
    }
};

// The backends a device is made with, in order, and the name
// REELPIPE_AUDIO_BACKEND asked for (empty when it did not choose).
struct BackendChoice {
    std::vector<ma_backend> order;
    std::string asked;
};

// The backends a device is made with. By default PulseAudio, then ALSA, then
// the null device, which plays nothing but paces the sound in real time.
// JACK is tried only when asked for: a JACK server that is not running is
// the common case, and probing for one costs a client start-up each time.
// REELPIPE_AUDIO_BACKEND names one backend to try before the null device.
BackendChoice audio_backends() {
    static constexpr struct {
        const char* name;
        ma_backend backend;
    } choices[] = {{"pulseaudio", ma_backend_pulseaudio},
                   {"alsa", ma_backend_alsa},
                   {"jack", ma_backend_jack},
                   {"null", ma_backend_null}};
    const char* wanted = std::getenv("REELPIPE_AUDIO_BACKEND");
    const BackendChoice default_order{{ma_backend_pulseaudio, ma_backend_alsa, ma_backend_null}, {}};
    if (wanted == nullptr || *wanted == '\0') return default_order;
    for (const auto& choice : choices) {
        if (std::strcmp(wanted, choice.name) != 0) continue;
        if (choice.backend == ma_backend_null) return {{ma_backend_null}, wanted};
        return {{choice.backend, ma_backend_null}, wanted};
    }
    log_event(LogLevel::warning, std::string("REELPIPE_AUDIO_BACKEND=") + wanted +
                                     " is not one of pulseaudio, alsa, jack, null; using the default order");
    return default_order;
}

// The names of the backends that could be heard, for a log record.
std::string backend_names(const std::vector<ma_backend>& backends) {
    std::string names;
    for (ma_backend backend : backends) {
        if (backend == ma_backend_null) continue;
        if (!names.empty()) names += ", ";
        names += ma_get_backend_name(backend);
    }
    return names;
}

// miniaudio's own messages: why a backend refused, mostly. Debug records,
// as a machine without sound refuses every time; its debug level (every
// library and symbol it loads) is left out.
void log_device_message(void*, ma_uint32 level, const char* message) {
    if (level >= MA_LOG_LEVEL_DEBUG) return;
    std::string text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    log_event(LogLevel::debug, "miniaudio: " + text);
}

// The log every device context reports to. Made once, never destroyed: a
// device thread may log while the process exits.
ma_log* device_log() {
    static ma_log* log = [] {
        auto* made = new ma_log;
        if (ma_log_init(nullptr, made) != MA_SUCCESS) return static_cast<ma_log*>(nullptr);
        ma_log_register_callback(made, ma_log_callback_init(log_device_message, nullptr));
        return made;
    }();
    return log;
}

// Posts to the record queue under its own lock, so it is held before the
// log locks around a fork (fork_safety.cpp).
void hold_device_log_for_fork() {
    if (ma_log* log = device_log()) ma_mutex_lock(&log->lock);
}

void release_device_log_after_fork() {
    if (ma_log* log = device_log()) ma_mutex_unlock(&log->lock);
}

// The fork generation (fork_safety.h) in which PulseAudio's client library
// was first asked for a device, -1 before. The library takes the process
// that first used it for its own and refuses every call in a child forked
// after that, server or not; the child then has only the null device.
std::atomic<std::int64_t> pulse_first_used_in{-1};

void note_pulse_use(const BackendChoice& choice) {
    if (std::find(choice.order.begin(), choice.order.end(), ma_backend_pulseaudio) == choice.order.end()) return;
    std::int64_t never = -1;
    pulse_first_used_in.compare_exchange_strong(never, static_cast<std::int64_t>(fork_generation()));
}

bool pulse_refused_after_fork() {
    const std::int64_t first_used = pulse_first_used_in.load();
    return first_used >= 0 && first_used < static_cast<std::int64_t>(fork_generation());
}

// Says which backend and device a new device plays on, or why sound is
// paced by the null device.
void log_chosen_device(const ma_device& device, const BackendChoice& choice) {
    const ma_backend backend = device.pContext->backend;
    if (backend != ma_backend_null) {
        log_event(LogLevel::info, std::string("sound through ") + ma_get_backend_name(backend) + ", device '" +
                                      device.playback.name + "'");
        return;
    }
    const std::string paced = "sound is paced in real time on the null device and not heard";
    if (choice.order.size() == 1) {
        log_event(LogLevel::info, paced + ", as REELPIPE_AUDIO_BACKEND asks");
    } else if (pulse_refused_after_fork()) {
        log_event(LogLevel::warning, "PulseAudio refuses a process forked from one that had used it; " + paced +
                                         " (a worker that plays sound must be started with the 'spawn' or "
                                         "'forkserver' method of multiprocessing, or before the parent plays)");
    } else if (!choice.asked.empty()) {
        log_event(LogLevel::warning, "REELPIPE_AUDIO_BACKEND=" + choice.asked + " found no device; " + paced);
    } else {
        log_event(LogLevel::info, "no sound server or card answered (tried " + backend_names(choice.order) + "); " +
                                      paced);
    }
}

// The playback devices of the first backend (in audio_backends() order) whose
// context can be made; empty when none can.
std::vector<AudioDeviceInfo> list_audio_devices() {
    const BackendChoice backends = audio_backends();
    ma_context_config context_config = ma_context_config_init();
    context_config.pLog = device_log();
    ma_context context;
    const QuietSoundLibraries quiet;
    if (ma_context_init(backends.order.data(), static_cast<ma_uint32>(backends.order.size()), &context_config,
                        &context) != MA_SUCCESS) {
        return {};
    }
    std::vector<AudioDeviceInfo> devices;
    ma_device_info* playback = nullptr;
    ma_uint32 count = 0;
    if (ma_context_get_devices(&context, &playback, &count, nullptr, nullptr) == MA_SUCCESS) {
        for (ma_uint32 i = 0; i < count; ++i) {
            devices.push_back({playback[i].name, ma_get_backend_name(context.backend), playback[i].isDefault != 0});
        }
    }
    ma_context_uninit(&context);
    return devices;
}

// Refuses a device name that the backend does not list, naming those it does.
void check_audio_device(const std::string& name) {
    const std::vector<AudioDeviceInfo> devices = list_audio_devices();
    std::string names;
    for (const AudioDeviceInfo& device : devices) {
        if (device.name == name) return;
        names += (names.empty() ? "'" : ", '") + device.name + "'";
    }
    throw std::invalid_argument("audio_device='" + name + "' is not a playback device here; the devices are " +
                                (names.empty() ? std::string("none") : names));
}

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

void hold_sound_locks_for_fork() {
    QuietSoundLibraries::hold_for_fork();
    hold_device_log_for_fork();
}

void release_sound_locks_after_fork() {
    release_device_log_after_fork();
    QuietSoundLibraries::release_after_fork();
}
std::vector<AudioDeviceInfo> MediaDecoder::audio_devices() { return list_audio_devices(); }

MediaDecoder::MediaDecoder(std::string path_arg, const DecoderOptions& chosen)
    : born_in_fork_generation((install_fork_handlers(), fork_generation())),
      path(std::move(path_arg)),
      log_input(path),
      options(chosen),
      pictures(chosen.max_picture_memory),
      playback(chosen.audio_device.value_or("")) {
    const LogInputScope log_scope(&log_input);
    check_picture_options(options);
    if (options.audio_device) check_audio_device(*options.audio_device);
    avformat_network_init();
    open_input();
    const int probed = avformat_find_stream_info(format_ctx.get(), nullptr);
    io_interrupt.deadline_ns = 0;
    if (probed < 0) {
        log_event(LogLevel::error, "cannot find the streams: " + ffmpeg_error_text(probed));
        throw OpenError("FFmpeg failed to find stream info.", ffmpeg_error_text(probed));
    }
    streams = describe_streams(format_ctx.get());
    open_video_stream(options);
    // A video stream that would not open needs no picture threads.
    if (video_stream_index < 0) picture_threads.give_back();
    if (options.audio) open_audio_stream(options.audio_stream);
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

// Opens the input with the fixed options. A path with a NUL byte in it is
// refused: FFmpeg would open the shorter name before the NUL.
void MediaDecoder::open_input() {
    const std::string failure = "FFmpeg failed to open video file: " + path;
    if (path.find('\0') != std::string::npos) {
        log_event(LogLevel::error, "cannot open: the path has a NUL byte in it");
        throw OpenError(failure, "embedded null byte");
    }

    AVFormatContext* ctx = avformat_alloc_context();
    if (ctx == nullptr) throw OpenError(failure, ffmpeg_error_text(AVERROR(ENOMEM)));
    ctx->opaque = &log_input;
    ctx->interrupt_callback.callback = interrupt_io;
    ctx->interrupt_callback.opaque = &io_interrupt;
    io_interrupt.deadline_ns = steady_ns() + open_deadline_ns;

    DictionaryPtr options = input_options();
    AVDictionary* raw_options = options.release();
    const int result = avformat_open_input(&ctx, path.c_str(), nullptr, &raw_options);
    options.reset(raw_options);
    // On failure avformat_open_input has freed the context already.
    if (result < 0) {
        log_event(LogLevel::error, "cannot open: " + ffmpeg_error_text(result));
        throw OpenError(failure, ffmpeg_error_text(result));
    }
    format_ctx.reset(ctx);
}

// Picks the video stream (the caller's, else FFmpeg's best) and prepares its
// decoder and converter for the caller's size and pixel format. A stream
// that cannot be decoded or converted, or that is only a cover picture, is
// treated as absent.
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
    CodecContextPtr ctx = open_decoder(stream, log_input, has_alpha(format), picture_threads.take());
    if (!ctx) return;
    if (ctx->width <= 0 || ctx->height <= 0 || ctx->pix_fmt == AV_PIX_FMT_NONE) return;
    if (sws_isSupportedInput(ctx->pix_fmt) == 0) return;

    PictureOrientation orientation;
    if (const std::int32_t* matrix = display_matrix(stream)) orientation = orientation_from_display_matrix(matrix);
    // Pictures are handed out upright: a quarter turn swaps their sides.
    const int upright_width = orientation.transpose ? ctx->height : ctx->width;
    const int upright_height = orientation.transpose ? ctx->width : ctx->height;
    std::tie(width, height) = output_size(upright_width, upright_height, options.size);
    // Refuses sizes whose picture could not even be addressed.
    if (av_image_check_size(static_cast<unsigned>(ctx->width), static_cast<unsigned>(ctx->height), 0, nullptr) < 0 ||
        av_image_check_size(static_cast<unsigned>(width) * 4, static_cast<unsigned>(height), 0, nullptr) < 0) {
        width = height = 0;
        return;
    }
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
// its decoder, the resampler to the playback format and the device. Any step
// that fails leaves the input without sound rather than with a half-made
// audio path.
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

    if (!init_audio_device()) {
        log_event(LogLevel::warning, "no sound device could be made, not even the null one; playing without sound");
        audio_stream_index = -1;
        audio_codec_ctx.reset();
        sound_converter.reset();
    }
}

// Initialises the playback device in the playback format with this decoder
// as the callback's user data. Takes playback.mutex.
bool MediaDecoder::init_audio_device() {
    std::lock_guard<std::mutex> lock(playback.mutex);
    if (playback.ready) return true;
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
    ma_context_config context_config = ma_context_config_init();
    context_config.pLog = device_log();
    const BackendChoice backends = audio_backends();
    note_pulse_use(backends);
    if (!playback.name.empty()) {
        if (!init_named_audio_device(config, context_config, backends.order)) return false;
    } else {
        const QuietSoundLibraries quiet;
        const ma_result made = ma_device_init_ex(backends.order.data(), static_cast<ma_uint32>(backends.order.size()),
                                                 &context_config, &config, &playback.device);
        if (made != MA_SUCCESS) return false;
    }
    log_chosen_device(playback.device, backends);
    ma_device_set_master_volume(&playback.device, volume.load());
    device_queue.latency = device_latency(playback.device);
    device_queue.held = 0.0;  // a new device holds nothing yet
    playback.ready = true;
    return true;
}

// Initialises the device the caller named, in a context of its own that it
// is looked up in; a device gone since the decoder was made gives way to the
// backend's default one. Called by init_audio_device() with playback.mutex
// held.
bool MediaDecoder::init_named_audio_device(ma_device_config& config, const ma_context_config& context_config,
                                           const std::vector<ma_backend>& backends) {
    const QuietSoundLibraries quiet;
    if (ma_context_init(backends.data(), static_cast<ma_uint32>(backends.size()), &context_config, &playback.context) !=
        MA_SUCCESS) {
        return false;
    }
    playback.context_ready = true;
    ma_device_info* listed = nullptr;
    ma_uint32 count = 0;
    config.playback.pDeviceID = nullptr;
    if (ma_context_get_devices(&playback.context, &listed, &count, nullptr, nullptr) == MA_SUCCESS) {
        for (ma_uint32 i = 0; i < count; ++i) {
            if (playback.name == listed[i].name) config.playback.pDeviceID = &listed[i].id;
        }
    }
    if (config.playback.pDeviceID == nullptr) {
        log_event(LogLevel::warning, "sound device '" + playback.name + "' is gone; playing on the default one");
    }
    if (ma_device_init(&playback.context, &config, &playback.device) == MA_SUCCESS) return true;
    ma_context_uninit(&playback.context);
    playback.context_ready = false;
    return false;
}

// Stops and releases the device if it is initialised. Takes playback.mutex;
// after it returns the callback is never called again.
void MediaDecoder::release_audio_device() {
    std::lock_guard<std::mutex> lock(playback.mutex);
    if (!playback.ready) return;
    const QuietSoundLibraries quiet;
    if (ma_device_get_state(&playback.device) == ma_device_state_started) ma_device_stop(&playback.device);
    ma_device_uninit(&playback.device);
    playback.ready = false;
    if (playback.context_ready) ma_context_uninit(&playback.context);
    playback.context_ready = false;
}

MediaDecoder::~MediaDecoder() {
    const LogInputScope log_scope(&log_input);
    stop();
    // A decoder that was never started still holds an initialised device.
    release_audio_device();
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
    if (status.running) return;
    if (status.stopped) {
        // A restart: stop() may have released the device; reopen it, and
        // undo the pause that stop() put in place.
        if (audio_stream_index >= 0 && !init_audio_device()) audio_stream_index = -1;
        status.paused = false;
        status.stopped = false;
        // The pictures' wall clock starts again from the next picture, as
        // after a seek, rather than counting the time spent stopped.
        const std::int64_t now = steady_now_ns();
        picture_clock.set_paused(false, now);
        picture_clock.stop_pacing(now);
    }
    io_interrupt.abort = false;
    {
        const std::int64_t now = steady_now_ns();
        audio_clock.set(audio_clock.get(now), now);
    }
    status.ever_started = true;
    status.running = true;
    demux_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::demux_loop);
    if (video_stream_index >= 0) {
        video_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::video_decode_loop);
    }
    if (audio_stream_index >= 0) {
        audio_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::audio_decode_loop);
        std::lock_guard<std::mutex> lock(playback.mutex);
        if (playback.ready) ma_device_start(&playback.device);
    }
    start_tempo_thread();
}

void MediaDecoder::stop() {
    // An inherited decoder's threads are not in this process: nothing to end.
    if (inherited()) return;
    const LogInputScope log_scope(&log_input);
    std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
    status.running = false;
    status.paused = true;
    io_interrupt.abort = true;
    status.stopped = true;
    wake_all_waiters();
    if (demux_thread.joinable()) demux_thread.join();
    if (video_thread.joinable()) video_thread.join();
    if (tempo_thread.joinable()) tempo_thread.join();
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
        std::lock_guard<std::mutex> lock(video_packets_in.mutex);
        video_packets_in.cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(audio_packets_in.mutex);
        audio_packets_in.cv.notify_all();
    }
    notify_frame_waiters();
    notify_sound_waiter();
    {
        std::lock_guard<std::mutex> lock(tempo_queue.mutex);
        tempo_queue.cv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(seek_request.mutex);
        seek_request.cv.notify_all();
    }
}

PlaybackState MediaDecoder::get_state() const {
    if (status.running) return status.paused ? PlaybackState::paused : PlaybackState::playing;
    return status.ever_started ? PlaybackState::stopped : PlaybackState::constructed;
}

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
