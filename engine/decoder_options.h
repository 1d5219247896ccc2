// What the caller may choose when it opens an input, and the one check of
// those choices. The binding only translates: the messages below are the
// ValueError texts a Python caller sees (pybind11 turns
// std::invalid_argument into ValueError).
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

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
};

// Refuses read-ahead seconds that are negative, NaN or infinite.
inline void check_seconds(const char* name, double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        throw std::invalid_argument(std::string(name) + " must be a finite number of seconds >= 0");
    }
}

// The caller's read-ahead and memory options, checked before anything is
// opened (the constructor checks the picture, stream and device choices,
// which need the streams or the backend to judge): read-ahead
// seconds finite and not negative, min_buffer_ahead not above
// max_buffer_ahead, a picture memory of at least 0 bytes. Throws
// std::invalid_argument naming the first option at fault.
inline DecoderOptions checked_options(bool audio, double max_buffer_ahead, double min_buffer_ahead,
                                      long long max_picture_memory, bool realtime = false,
                                      bool loop = false) {
    check_seconds("max_buffer_ahead", max_buffer_ahead);
    check_seconds("min_buffer_ahead", min_buffer_ahead);
    if (min_buffer_ahead > max_buffer_ahead) {
        throw std::invalid_argument("min_buffer_ahead must not be above max_buffer_ahead");
    }
    if (max_picture_memory < 0) throw std::invalid_argument("max_picture_memory must be a number of bytes >= 0");
    DecoderOptions options;
    options.audio = audio;
    options.max_buffer_ahead = max_buffer_ahead;
    options.min_buffer_ahead = min_buffer_ahead;
    options.max_picture_memory = static_cast<std::size_t>(max_picture_memory);
    options.realtime = realtime;
    options.loop = loop;
    return options;
}

}  // namespace reelpipe
