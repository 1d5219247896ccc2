// PictureConverter: turns a decoded picture into the picture handed out, at
// the output size and pixel format the caller chose, upright.
//
// 8-bit planar 4:2:0, 4:2:2 and 4:4:4 pictures at their own size go through
// libyuv where it keeps colours within 3 levels of libswscale's: in the
// BT.601 matrix, or BT.709 and BT.2020 in full range; to grey from any of
// them. It takes about 0.8 of libswscale's time for colour and a third for
// grey (bench/picture_costs.py). Everything else (scaling, limited-range
// BT.709 and BT.2020, NV12, deeper or packed formats) goes through libswscale,
// which follows the picture in hand, so a stream that changes size or pixel
// format mid-way is scaled to the output size and never read past its own
// planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ffmpeg_ptr.h"
#include "picture_buffers.h"
#include "picture_orientation.h"

namespace reelpipe {

// The pixel formats pictures are handed out in: bytes in memory order.
enum class PictureFormat { rgb24, bgr24, rgba, bgra, gray };

// The names the caller gives, as listed in an error message.
constexpr const char* picture_format_names = "'rgb24', 'bgr24', 'rgba', 'bgra', 'gray'";

// The format called `name`, or none.
std::optional<PictureFormat> picture_format_named(const std::string& name);
int bytes_per_pixel(PictureFormat format);
AVPixelFormat av_pixel_format(PictureFormat format);
inline bool has_alpha(PictureFormat format) { return format == PictureFormat::rgba || format == PictureFormat::bgra; }
// Values per pixel of a picture handed out, from its frame's format: 1 for
// grey, 3 or 4 for colour.
int picture_channels(int av_format);

// Which converters a PictureConverter may use: the fastest that can, or
// libswscale alone (to compare their costs).
enum class Converters { fastest, swscale_only };

class PictureConverter {
public:
    explicit PictureConverter(Converters allowed = Converters::fastest) : allowed(allowed) {}

    // Pictures come out `width` x `height` (upright), in `format`, from a
    // stream whose pictures are turned by `orientation`. Call before the
    // first convert().
    void set_output(int width, int height, PictureFormat format, PictureOrientation orientation);

    // `decoded` converted, scaled and turned into a new frame whose memory
    // comes from `buffers`, with `decoded`'s timestamp; empty when there is
    // no memory or no converter for it. One thread at a time.
    FramePtr convert(const AVFrame* decoded, PictureBuffers& buffers);

private:
    bool convert_unturned(const AVFrame* decoded, std::uint8_t* target, int target_stride);
    bool convert_with_libyuv(const AVFrame* decoded, std::uint8_t* target, int target_stride);
    bool convert_with_swscale(const AVFrame* decoded, std::uint8_t* target, int target_stride);
    bool match_swscale(const AVFrame* decoded);
    void match_swscale_colours(const AVFrame* decoded);
    // The size the converter writes before the turn: the output size with
    // its sides swapped for a quarter turn.
    int converted_width() const { return orientation.transpose ? height : width; }
    int converted_height() const { return orientation.transpose ? width : height; }

    const Converters allowed;
    int width = 0;
    int height = 0;
    PictureFormat format = PictureFormat::rgb24;
    PictureOrientation orientation;
    // A turned stream's picture as converted, before it is turned.
    FramePtr unturned_picture;

    SwsContextPtr sws_ctx;
    // What sws_ctx was last set up for, so that a picture like the one
    // before costs no set-up at all.
    struct SwscaleInput {
        int width = 0;
        int height = 0;
        int format = AV_PIX_FMT_NONE;
        bool operator==(const SwscaleInput& other) const {
            return width == other.width && height == other.height && format == other.format;
        }
    };
    struct SwscaleColours {
        int matrix = 0;  // SWS_CS_*
        int full_range = 0;
        bool operator==(const SwscaleColours& other) const {
            return matrix == other.matrix && full_range == other.full_range;
        }
    };
    SwscaleInput swscale_input;
    SwscaleColours swscale_colours;
    // The range sws_ctx assumes for its input format when the picture does
    // not say (full for JPEG and grey formats).
    int swscale_default_full_range = 0;
};

}  // namespace reelpipe
