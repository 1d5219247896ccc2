// The sound backends and the playback device: which backends to try, the
// quieting of ALSA's and JACK's own messages while devices are probed, the
// device log, PulseAudio after a fork, listing and checking devices, and
// opening, starting and releasing a SoundOutput's device.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "fork_safety.h"
#include "log_queue.h"
#include "sound_output.h"

namespace reelpipe {

namespace {

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
    // A leaf lock, taken with the device's lock held (device.mutex -> this).
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

// The context every device is listed and made in. ALSA lists its PCMs by
// the names its own tools show (`aplay -L`: "null", "pulse",
// "sysdefault:CARD=...") rather than miniaudio's shortened card numbers.
ma_context_config device_context_config() {
    ma_context_config config = ma_context_config_init();
    config.pLog = device_log();
    config.alsa.useVerboseDeviceEnumeration = MA_TRUE;
    return config;
}

// The name the system gives a device, which `audio_device=` takes beside
// its description: PulseAudio's sink name (`pactl list short sinks`), ALSA's
// PCM name; empty where the backend has none.
std::string system_name(ma_backend backend, const ma_device_id& id) {
    switch (backend) {
        case ma_backend_pulseaudio:
            return std::string(id.pulse, strnlen(id.pulse, sizeof(id.pulse)));
        case ma_backend_alsa:
            return std::string(id.alsa, strnlen(id.alsa, sizeof(id.alsa)));
        default:
            return {};
    }
}

// ALSA's "default" PCM, which miniaudio opens when no device is named,
// whether or not the configuration lists it among its hints.
constexpr const char* alsa_default_name = "default";

// ALSA's "null" PCM takes sound as fast as it is written, so a clock read
// from it would run many times fast; a device chosen by this name plays on
// the null device instead, which discards the sound at the pace it plays.
constexpr const char* alsa_discarding_name = "null";

// One playback device of a context: what audio_devices() says of it, and
// the id it is made with.
struct ListedDevice {
    AudioDeviceInfo info;
    ma_device_id id;
};

// The playback devices of an initialised context, ALSA's default among them.
std::vector<ListedDevice> playback_devices(ma_context& context) {
    std::vector<ListedDevice> listed;
    ma_device_info* playback = nullptr;
    ma_uint32 count = 0;
    if (ma_context_get_devices(&context, &playback, &count, nullptr, nullptr) != MA_SUCCESS) return listed;
    const std::string backend = ma_get_backend_name(context.backend);
    for (ma_uint32 i = 0; i < count; ++i) {
        listed.push_back({{playback[i].name, system_name(context.backend, playback[i].id), backend,
                           playback[i].isDefault != 0},
                          playback[i].id});
    }
    const bool default_listed = std::any_of(listed.begin(), listed.end(), [](const ListedDevice& device) {
        return device.info.system_name == alsa_default_name;
    });
    if (context.backend == ma_backend_alsa && !default_listed) {
        ListedDevice fallback{{"Default ALSA Output", alsa_default_name, backend, true}, {}};
        std::strncpy(fallback.id.alsa, alsa_default_name, sizeof(fallback.id.alsa) - 1);
        listed.insert(listed.begin(), fallback);
    }
    return listed;
}

// The device a caller's name means: the first whose system name or
// description it is; null when none.
const ListedDevice* find_device(const std::vector<ListedDevice>& listed, const std::string& name) {
    for (const ListedDevice& device : listed) {
        if (device.info.system_name == name || device.info.name == name) return &device;
    }
    return nullptr;
}

bool discards_as_fast_as_written(ma_backend backend, const ListedDevice& device) {
    return backend == ma_backend_alsa && device.info.system_name == alsa_discarding_name;
}

// Runs `use` on the listed devices of the first backend (in
// audio_backends() order) whose context can be made; an empty list when none can.
template <typename Use>
void with_listed_devices(Use use) {
    const BackendChoice backends = audio_backends();
    const ma_context_config context_config = device_context_config();
    ma_context context;
    const QuietSoundLibraries quiet;
    if (ma_context_init(backends.order.data(), static_cast<ma_uint32>(backends.order.size()), &context_config,
                        &context) != MA_SUCCESS) {
        use(std::vector<ListedDevice>{});
        return;
    }
    use(playback_devices(context));
    ma_context_uninit(&context);
}

}  // namespace

std::vector<AudioDeviceInfo> SoundOutput::devices() {
    std::vector<AudioDeviceInfo> devices;
    with_listed_devices([&devices](const std::vector<ListedDevice>& listed) {
        for (const ListedDevice& device : listed) devices.push_back(device.info);
    });
    return devices;
}

// Refuses a device name that the backend does not list, by system name or
// description, naming those it does.
void SoundOutput::check_device(const std::string& name) {
    bool found = false;
    std::string names;
    with_listed_devices([&](const std::vector<ListedDevice>& listed) {
        found = find_device(listed, name) != nullptr;
        for (const ListedDevice& device : listed) {
            names += (names.empty() ? "'" : ", '") + device.info.name + "'";
            if (!device.info.system_name.empty()) names += " ('" + device.info.system_name + "')";
        }
    });
    if (found) return;
    throw std::invalid_argument("audio_device='" + name + "' is not a playback device here; the devices are " +
                                (names.empty() ? std::string("none") : names));
}

// The device's own buffer, by what the backend tells of it. PulseAudio
// keeps one of miniaudio's periods queued (its target length; the other
// periods are headroom it may grow into), the null backend plays one period
// at a time in real time, and the other backends play from a ring of all
// their periods.
double device_latency(const ma_device& device) {
    const ma_uint32 rate = device.playback.internalSampleRate;
    if (rate == 0) return 0.0;
    double frames = device.playback.internalPeriodSizeInFrames;
    const ma_backend backend = device.pContext != nullptr ? device.pContext->backend : ma_backend_null;
    if (backend != ma_backend_null && backend != ma_backend_pulseaudio) {
        frames *= std::max<ma_uint32>(device.playback.internalPeriods, 1);
    }
    return frames / rate;
}

void hold_sound_locks_for_fork() {
    QuietSoundLibraries::hold_for_fork();
    hold_device_log_for_fork();
}

void release_sound_locks_after_fork() {
    release_device_log_after_fork();
    QuietSoundLibraries::release_after_fork();
}

// Initialises the playback device in the playback format, and sizes the
// ring for it: room for four of its periods or what it holds, twice over,
// and at least half a second, as PulseAudio may ask for a few hundred
// milliseconds in one call. The ring is made once and kept across a
// reopening, so that what it holds plays after a restart. Takes device_.mutex; no callback runs, and the feeder does not.
bool SoundOutput::open_device() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    if (device_.ready) return true;
    ma_device_config config = ma_device_config_init(ma_device_type_playback);
    config.playback.format = ma_format_s16;
    config.playback.channels = playback_channels;
    config.sampleRate = playback_rate;
    config.dataCallback = device_callback;
    config.pUserData = this;
    // By default miniaudio cuts the backend's requests into fixed periods
    // and, when the device stops, throws away what it holds of the last
    // one: sound the callback already counted into the clock. A pause
    // would then skip up to a period and leave the clock ahead of the sound.
    config.noFixedSizedCallback = MA_TRUE;
    const ma_context_config context_config = device_context_config();
    const BackendChoice backends = audio_backends();
    note_pulse_use(backends);
    bool paced_instead = false;
    const bool named_made =
        !device_.name.empty() && init_named_device(config, context_config, backends.order, paced_instead);
    if (!named_made) {
        if (!device_.name.empty()) {
            log_event(LogLevel::warning, "sound device '" + device_.name + "' cannot be opened; playing on the "
                                         "default one");
        }
        const QuietSoundLibraries quiet;
        const ma_result made = ma_device_init_ex(backends.order.data(), static_cast<ma_uint32>(backends.order.size()),
                                                 &context_config, &config, &device_.device);
        if (made != MA_SUCCESS) return false;
    }
    if (paced_instead) {
        log_event(LogLevel::info, "ALSA's '" + device_.name +
                                      "' takes sound faster than it plays; sound is paced in real time on the "
                                      "null device and not heard");
    } else {
        log_chosen_device(device_.device, backends);
    }
    ma_device_set_master_volume(&device_.device, volume_.load());
    device_queue_.latency = reelpipe::device_latency(device_.device);
    device_queue_.held = 0.0;  // a new device holds nothing yet
    const double period_seconds =
        static_cast<double>(device_.device.playback.internalPeriodSizeInFrames) / playback_rate;
    const auto capacity = static_cast<std::size_t>(
        2.0 * std::max({shortest_ring_seconds, 4 * period_seconds, device_queue_.latency.load()}) *
        playback_bytes_per_second) / playback_frame_bytes * playback_frame_bytes;
    if (ring_.capacity() < capacity && !ring_.allocate(capacity)) {
        ma_device_uninit(&device_.device);
        if (device_.context_ready) ma_context_uninit(&device_.context);
        device_.context_ready = false;
        return false;
    }
    device_.ready = true;
    return true;
}

// Initialises the device the caller named, by system name or description,
// in a context of its own that it is looked up in; a device gone since the
// decoder was made gives way to the backend's default one, and ALSA's
// discarding "null" to the null device, paced in real time. Called by
// open_device() with device_.mutex held.
bool SoundOutput::init_named_device(ma_device_config& config, const ma_context_config& context_config,
                                    const std::vector<ma_backend>& backends, bool& paced_instead) {
    const QuietSoundLibraries quiet;
    if (ma_context_init(backends.data(), static_cast<ma_uint32>(backends.size()), &context_config, &device_.context) !=
        MA_SUCCESS) {
        return false;
    }
    device_.context_ready = true;
    const std::vector<ListedDevice> listed = playback_devices(device_.context);
    const ListedDevice* chosen = find_device(listed, device_.name);
    config.playback.pDeviceID = chosen != nullptr ? &chosen->id : nullptr;
    if (chosen == nullptr) {
        log_event(LogLevel::warning, "sound device '" + device_.name + "' is gone; playing on the default one");
    } else if (discards_as_fast_as_written(device_.context.backend, *chosen)) {
        config.playback.pDeviceID = nullptr;
        ma_context_uninit(&device_.context);
        const ma_backend null_backend = ma_backend_null;
        device_.context_ready = ma_context_init(&null_backend, 1, &context_config, &device_.context) == MA_SUCCESS;
        if (!device_.context_ready) return false;
        paced_instead = true;
    }
    const bool made = ma_device_init(&device_.context, &config, &device_.device) == MA_SUCCESS;
    config.playback.pDeviceID = nullptr;  // it pointed into `listed`
    if (made) return true;
    paced_instead = false;
    ma_context_uninit(&device_.context);
    device_.context_ready = false;
    return false;
}

// Stops and releases the device if it is initialised. Takes device_.mutex;
// after it returns the callback is never called again.
void SoundOutput::release_device() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    if (!device_.ready) return;
    const QuietSoundLibraries quiet;
    if (ma_device_get_state(&device_.device) == ma_device_state_started) ma_device_stop(&device_.device);
    ma_device_uninit(&device_.device);
    device_.ready = false;
    if (device_.context_ready) ma_context_uninit(&device_.context);
    device_.context_ready = false;
}

void SoundOutput::start_device() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    if (device_.ready && !paused_) ma_device_start(&device_.device);
}

bool SoundOutput::device_ready() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    return device_.ready;
}

// The device's gain; 0.0 once the device is released (an uninitialised
// device has no gain).
float SoundOutput::volume() {
    std::lock_guard<std::mutex> lock(device_.mutex);
    if (!device_.ready) return 0.0f;
    float gain = 0.0f;
    ma_device_get_master_volume(&device_.device, &gain);
    return gain;
}

// Negative values and NaN mean silence; there is no upper bound.
void SoundOutput::set_volume(float requested) {
    const float gain = requested > 0.0f ? requested : 0.0f;
    volume_ = gain;
    std::lock_guard<std::mutex> lock(device_.mutex);
    if (device_.ready) ma_device_set_master_volume(&device_.device, gain);
}

}  // namespace reelpipe
