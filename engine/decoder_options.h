// What the caller may choose when it opens an input, and the one check of
// those choices. The binding only translates: the messages below are the
// ValueError texts a Python caller sees (pybind11 turns
// std::invalid_argument into ValueError).
#pragma once

#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "byte_source.h"
#include "picture_converter.h"
#include "stream_choice.h"

namespace reelpipe {

// The defaults are the player's usual behaviour.
struct DecoderOptions {
    bool audio = true;                  // false: the sound stream is left out, no device is opened
    double max_buffer_ahead = 10.0;     // seconds read ahead before the demux thread waits
    double min_buffer_ahead = 3.0;      // seconds read ahead that end buffering
    // Bytes of decoded pictures held ready; one picture is let in whatever
    // its size. The default bounds a 4K read-ahead, which would otherwise
    // exhaust memory.
    std::size_t max_picture_memory = std::size_t{2} << 30;
    // Size of the pictures handed out, (width, height); one side -1 keeps
    // the upright picture's aspect ratio. None: the stream's upright size.
    std::optional<std::pair<int, int>> size;
    std::string pixel_format = "rgb24";       // one of picture_format_names
    StreamChoice video_stream;                // none: FFmpeg's choice
    StreamChoice audio_stream;                // by index or language; none: FFmpeg's choice
    std::optional<std::string> audio_device;  // a name audio_devices() lists; none: the default
    // true: pictures without sound (none in the input, or audio false) are
    // paced by a wall clock from the first picture, as the sound would pace
    // them; false hands them out as soon as they are decoded (extraction).
    bool realtime = false;
    // true: at the end the input plays again from the start, read on
    // across the end so that no gap is heard.
    bool loop = false;
    // A live input (a camera, a UDP/RTP/SRT feed, a live HTTP stream) held
    // this many seconds behind the newest it has read: opened for low delay,
    // it skips what piled up while opening and steers back to the target
    // after a stall (see live_steering.h). None: a file or on-demand stream,
    // read ahead by the two read-ahead options.
    std::optional<double> latency;
    // The caller's own reader of the input's bytes; none: the input is the
    // file or URL the decoder's path names (with a reader, the path only
    // names the input in messages).
    std::shared_ptr<ByteSource> reader;
};

// The caller's choices as they come, before any check: whole numbers in a
// type wide enough for any the caller may pass (the binding clamps one
// beyond it to its range, which the check refuses all the same).
struct RequestedOptions {
    bool audio = true;
    double max_buffer_ahead = DecoderOptions{}.max_buffer_ahead;
    double min_buffer_ahead = DecoderOptions{}.min_buffer_ahead;
    long long max_picture_memory = static_cast<long long>(DecoderOptions{}.max_picture_memory);
    std::optional<std::pair<long long, long long>> size;
    std::string pixel_format = DecoderOptions{}.pixel_format;
    std::optional<long long> video_stream;
    std::optional<long long> audio_stream_index;
    std::optional<std::string> audio_stream_language;
    std::optional<std::string> audio_device;
    bool realtime = false;
    bool loop = false;
    std::optional<double> latency;
};

// The largest side a picture handed out may have.
constexpr int largest_side = 16384;

// Refuses a pixel format that is not one, and a size whose sides are not
// each -1 or 1 to largest_side (not both -1). The constructor checks these
// too, for callers that fill DecoderOptions themselves.
inline void check_picture_choices(const std::string& pixel_format,
                                  const std::optional<std::pair<long long, long long>>& size) {
    if (!picture_format_named(pixel_format)) {
        throw std::invalid_argument("pixel_format must be one of " + std::string(picture_format_names) + ", not '" +
                                    pixel_format + "'");
    }
    if (!size) return;
    const auto [width, height] = *size;
    const auto side_ok = [](long long side) { return side == -1 || (side >= 1 && side <= largest_side); };
    if (!side_ok(width) || !side_ok(height) || (width == -1 && height == -1)) {
        throw std::invalid_argument("size must be (width, height) with each side from 1 to " +
                                    std::to_string(largest_side) +
                                    ", or one of them -1 to keep the aspect ratio; not (" + std::to_string(width) +
                                    ", " + std::to_string(height) + ")");
    }
}

inline void check_picture_choices(const DecoderOptions& options) {
    std::optional<std::pair<long long, long long>> size;
    if (options.size) size = std::pair<long long, long long>(options.size->first, options.size->second);
    check_picture_choices(options.pixel_format, size);
}

// Refuses read-ahead seconds that are negative, NaN or infinite.
inline void check_seconds(const char* name, double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        throw std::invalid_argument(std::string(name) + " must be a finite number of seconds >= 0");
    }
}

// A stream index as the engine keeps it; one no stream can have (past an
// int) is refused here, one within it when the streams are known.
inline std::optional<int> checked_stream_index(const char* name, std::optional<long long> index) {
    if (!index) return std::nullopt;
    if (*index < INT_MIN || *index > INT_MAX) {
        throw std::invalid_argument(std::string(name) + "=" + std::to_string(*index) + " is not a stream index");
    }
    return static_cast<int>(*index);
}

// The caller's choices, checked before anything is opened: read-ahead
// seconds finite and not negative, min_buffer_ahead not above
// max_buffer_ahead, a latency finite and above zero, a picture memory of
// at least 0 bytes, a pixel format and size that can be made, stream
// indices that can name a stream. The
// choices that need the input or the sound backend to judge (which streams
// there are, which devices) are checked when the input opens. Throws
// std::invalid_argument naming the first option at fault.
inline DecoderOptions checked_options(const RequestedOptions& asked) {
    check_seconds("max_buffer_ahead", asked.max_buffer_ahead);
    check_seconds("min_buffer_ahead", asked.min_buffer_ahead);
    if (asked.min_buffer_ahead > asked.max_buffer_ahead) {
        throw std::invalid_argument("min_buffer_ahead must not be above max_buffer_ahead");
    }
    if (asked.max_picture_memory < 0) {
        throw std::invalid_argument("max_picture_memory must be a number of bytes >= 0");
    }
    if (asked.latency && !(std::isfinite(*asked.latency) && *asked.latency > 0.0)) {
        throw std::invalid_argument("latency must be a finite number of seconds > 0, or None");
    }
    check_picture_choices(asked.pixel_format, asked.size);
    DecoderOptions options;
    options.audio = asked.audio;
    options.max_buffer_ahead = asked.max_buffer_ahead;
    options.min_buffer_ahead = asked.min_buffer_ahead;
    options.max_picture_memory = static_cast<std::size_t>(asked.max_picture_memory);
    if (asked.size) options.size = std::pair<int, int>(asked.size->first, asked.size->second);
    options.pixel_format = asked.pixel_format;
    options.video_stream.index = checked_stream_index("video_stream", asked.video_stream);
    options.audio_stream.index = checked_stream_index("audio_stream", asked.audio_stream_index);
    options.audio_stream.language = asked.audio_stream_language;
    options.audio_device = asked.audio_device;
    options.realtime = asked.realtime;
    options.loop = asked.loop;
    options.latency = asked.latency;
    return options;
}

// Timeouts beyond this many seconds wait as long as no timeout does; it
// keeps a deadline within the steady clock's range.
constexpr double longest_timeout = 1e8;

// The wait for a picture the caller asked for: none for no timeout (or one
// too long to matter). Refuses a negative or NaN timeout.
inline std::optional<std::chrono::nanoseconds> checked_frame_wait(std::optional<double> timeout) {
    if (!timeout) return std::nullopt;
    if (std::isnan(*timeout) || *timeout < 0.0) {
        throw std::invalid_argument("timeout must be a number of seconds >= 0 or None");
    }
    if (*timeout > longest_timeout) return std::nullopt;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(*timeout * 1e9));
}

}  // namespace reelpipe
