// The streams of an input as the caller sees them, and the caller's choice
// of which video and sound stream to play.
#pragma once

#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace reelpipe {

// A stream chosen by index, or (for sound) by the language its metadata
// names; neither: FFmpeg's own choice.
struct StreamChoice {
    std::optional<int> index;
    std::optional<std::string> language;
    bool made() const { return index.has_value() || language.has_value(); }
};

// One stream of the input, as probed.
struct StreamInfo {
    int index = 0;
    std::string type;                     // "video", "audio", "subtitle", "data", "attachment" or "unknown"
    std::string codec;                    // FFmpeg's short name of the codec
    std::optional<std::string> language;  // ISO 639 code from the stream's metadata
    std::optional<std::string> title;
    bool is_default = false;              // the container marks it as the one to play
    bool cover_art = false;               // an attached picture (album art), not video
    int width = 0;                        // pictures only
    int height = 0;
    double fps = 0.0;
    int sample_rate = 0;                  // sound only
    int channels = 0;
    bool selected = false;                // this decoder plays it
};

// Every stream of a probed input.
std::vector<StreamInfo> describe_streams(const AVFormatContext* format);

// The index of the stream of `type` that `choice` names, or -1 when it makes
// no choice. Throws std::invalid_argument naming the streams there are when
// it names none of that type, or names cover art; `option` is the option's
// name for the message. A language matches whatever its case, and its
// ISO 639-1, 639-2/T and 639-2/B codes all name it ("fr", "fra", "fre").
int chosen_stream(const std::vector<StreamInfo>& streams, AVMediaType type, const StreamChoice& choice,
                  const char* option);

}  // namespace reelpipe
