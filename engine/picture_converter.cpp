// Colour conversion, scaling and turning of decoded pictures.
#include "picture_converter.h"

#include <array>
#include <cmath>
#include <cstring>

#include <libyuv/convert_argb.h>

namespace reelpipe {

namespace {

using namespace libyuv;

// Bytes past a picture's last row that libswscale's vector code may touch;
// FFmpeg's own picture buffers leave as much.
constexpr std::size_t conversion_overrun = 128;

// What a converter does to colours, as sws_getColorspaceDetails tells it.
struct ColourDetails {
    int* inverse_table = nullptr;
    int source_full_range = 0;
    int* table = nullptr;
    int target_full_range = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;

    static ColourDetails of(SwsContext* converter) {
        ColourDetails details;
        sws_getColorspaceDetails(converter, &details.inverse_table, &details.source_full_range, &details.table,
                                 &details.target_full_range, &details.brightness, &details.contrast,
                                 &details.saturation);
        return details;
    }
};

// ---- libyuv

// How a pixel format's planes are laid out, for the formats libyuv takes.
// NV12 is left to libswscale: libyuv repeats each chroma sample where
// libswscale interpolates, which puts sharp colour edges up to 190 levels
// apart from the ffmpeg command line's pictures (planar 4:2:0 it repeats
// too, as libyuv does).
enum class Chroma { i420, i422, i444 };
struct YuvLayout {
    Chroma chroma;
    bool alpha;       // a fourth plane of alpha
    bool full_range;  // full range unless the picture says otherwise (the JPEG formats)
};

std::optional<YuvLayout> yuv_layout(int format) {
    switch (format) {
        case AV_PIX_FMT_YUV420P: return YuvLayout{Chroma::i420, false, false};
        case AV_PIX_FMT_YUVJ420P: return YuvLayout{Chroma::i420, false, true};
        case AV_PIX_FMT_YUVA420P: return YuvLayout{Chroma::i420, true, false};
        case AV_PIX_FMT_YUV422P: return YuvLayout{Chroma::i422, false, false};
        case AV_PIX_FMT_YUVJ422P: return YuvLayout{Chroma::i422, false, true};
        case AV_PIX_FMT_YUVA422P: return YuvLayout{Chroma::i422, true, false};
        case AV_PIX_FMT_YUV444P: return YuvLayout{Chroma::i444, false, false};
        case AV_PIX_FMT_YUVJ444P: return YuvLayout{Chroma::i444, false, true};
        case AV_PIX_FMT_YUVA444P: return YuvLayout{Chroma::i444, true, false};
        default: return std::nullopt;
    }
}

// libyuv's matrices, by [BT.601, BT.709, BT.2020][limited, full range]. Its
// "ARGB" is B, G, R, A in memory and "RGB24" is B, G, R; the Yvu tables,
// given the chroma planes swapped, write R and B the other way round.
const std::array<std::array<const YuvConstants*, 2>, 3> yuv_matrices{{
    {&kYuvI601Constants, &kYuvJPEGConstants},
    {&kYuvH709Constants, &kYuvF709Constants},
    {&kYuv2020Constants, &kYuvV2020Constants},
}};
const std::array<std::array<const YuvConstants*, 2>, 3> yvu_matrices{{
    {&kYvuI601Constants, &kYvuJPEGConstants},
    {&kYvuH709Constants, &kYvuF709Constants},
    {&kYvu2020Constants, &kYvuV2020Constants},
}};

// The row of yuv_matrices for a picture's colour space, or -1 for one that
// libyuv has no matrix for. Untagged pictures are BT.601, as the ffmpeg
// command line converts them.
int libyuv_matrix(AVColorSpace colorspace) {
    switch (colorspace) {
        case AVCOL_SPC_BT709: return 1;
        case AVCOL_SPC_BT2020_NCL: return 2;
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_CL: return -1;
        default: return 0;
    }
}

// The picture's range: its format's unless it says.
bool full_range_of(const AVFrame* decoded, bool format_full_range) {
    if (decoded->color_range == AVCOL_RANGE_JPEG) return true;
    if (decoded->color_range == AVCOL_RANGE_MPEG) return false;
    return format_full_range;
}

// The converters of one planar chroma layout, to four and to three bytes a
// pixel, and with alpha to four.
using PlanarConverter = int (*)(const std::uint8_t*, int, const std::uint8_t*, int, const std::uint8_t*, int,
                                std::uint8_t*, int, const YuvConstants*, int, int);
using PlanarAlphaConverter = int (*)(const std::uint8_t*, int, const std::uint8_t*, int, const std::uint8_t*, int,
                                     const std::uint8_t*, int, std::uint8_t*, int, const YuvConstants*, int, int,
                                     int);
struct PlanarConverters {
    PlanarConverter to_four;
    PlanarConverter to_three;
    PlanarAlphaConverter alpha_to_four;
};

PlanarConverters planar_converters(Chroma chroma) {
    switch (chroma) {
        case Chroma::i422: return {I422ToARGBMatrix, I422ToRGB24Matrix, I422AlphaToARGBMatrix};
        case Chroma::i444: return {I444ToARGBMatrix, I444ToRGB24Matrix, I444AlphaToARGBMatrix};
        default: return {I420ToARGBMatrix, I420ToRGB24Matrix, I420AlphaToARGBMatrix};
    }
}

// A table that stretches limited-range luma (16-235) to full range, rounded
// and clamped, as libswscale makes grey.
using Stretch = std::array<std::uint8_t, 256>;
const Stretch luma_stretch = [] {
    Stretch table{};
    for (int value = 0; value < 256; ++value) {
        const long rounded = std::lround((value - 16) * 255.0 / 219.0);
        const long clamped = rounded < 0 ? 0 : rounded > 255 ? 255 : rounded;
        table[static_cast<std::size_t>(value)] = static_cast<std::uint8_t>(clamped);
    }
    return table;
}();

// Copies a plane of `width` x `height` samples, through `stretch` when given.
void copy_plane(const std::uint8_t* source, int source_stride, std::uint8_t* target, int target_stride, int width,
                int height, const Stretch* stretch) {
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* in = source + static_cast<std::ptrdiff_t>(row) * source_stride;
        std::uint8_t* out = target + static_cast<std::ptrdiff_t>(row) * target_stride;
        if (stretch == nullptr) {
            std::memcpy(out, in, static_cast<std::size_t>(width));
        } else {
            for (int x = 0; x < width; ++x) out[x] = (*stretch)[in[x]];
        }
    }
}

}  // namespace

std::optional<PictureFormat> picture_format_named(const std::string& name) {
    if (name == "rgb24") return PictureFormat::rgb24;
    if (name == "bgr24") return PictureFormat::bgr24;
    if (name == "rgba") return PictureFormat::rgba;
    if (name == "bgra") return PictureFormat::bgra;
    if (name == "gray") return PictureFormat::gray;
    return std::nullopt;
}

int bytes_per_pixel(PictureFormat format) {
    switch (format) {
        case PictureFormat::gray: return 1;
        case PictureFormat::rgba:
        case PictureFormat::bgra: return 4;
        default: return 3;
    }
}

AVPixelFormat av_pixel_format(PictureFormat format) {
    switch (format) {
        case PictureFormat::bgr24: return AV_PIX_FMT_BGR24;
        case PictureFormat::rgba: return AV_PIX_FMT_RGBA;
        case PictureFormat::bgra: return AV_PIX_FMT_BGRA;
        case PictureFormat::gray: return AV_PIX_FMT_GRAY8;
        default: return AV_PIX_FMT_RGB24;
    }
}

int picture_channels(int av_format) {
    switch (av_format) {
        case AV_PIX_FMT_GRAY8: return 1;
        case AV_PIX_FMT_RGBA:
        case AV_PIX_FMT_BGRA: return 4;
        default: return 3;
    }
}

void PictureConverter::set_output(int width_arg, int height_arg, PictureFormat format_arg,
                                  PictureOrientation orientation_arg) {
    width = width_arg;
    height = height_arg;
    format = format_arg;
    orientation = orientation_arg;
    unturned_picture.reset();
    sws_ctx.reset();
    swscale_input = SwscaleInput{};
}

FramePtr PictureConverter::convert(const AVFrame* decoded, PictureBuffers& buffers) {
    if (decoded->width <= 0 || decoded->height <= 0 || decoded->format < 0) return {};
    FramePtr picture = make_frame();
    if (!picture) return {};
    picture->format = av_pixel_format(format);
    picture->width = width;
    picture->height = height;
    picture->pts = decoded->best_effort_timestamp;
    // Rows follow each other without padding, so the array over them is
    // contiguous.
    const int row_bytes = width * bytes_per_pixel(format);
    picture->buf[0] = buffers.get(static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(height) +
                                  conversion_overrun);
    if (picture->buf[0] == nullptr) return {};
    picture->data[0] = picture->buf[0]->data;
    picture->linesize[0] = row_bytes;
    picture->extended_data = picture->data;
    if (orientation.upright()) {
        if (!convert_unturned(decoded, picture->data[0], row_bytes)) return {};
        return picture;
    }
    if (!unturned_picture) {
        FramePtr unturned = make_frame();
        if (!unturned) return {};
        unturned->format = picture->format;
        unturned->width = converted_width();
        unturned->height = converted_height();
        // FFmpeg's own buffers leave room for the converter's overrun and
        // for the turn reading a byte past the last pixel.
        if (av_frame_get_buffer(unturned.get(), 0) < 0) return {};
        unturned_picture = std::move(unturned);
    }
    if (!convert_unturned(decoded, unturned_picture->data[0], unturned_picture->linesize[0])) return {};
    turn_picture(unturned_picture->data[0], converted_width(), converted_height(), unturned_picture->linesize[0],
                 bytes_per_pixel(format), orientation, picture->data[0], row_bytes);
    return picture;
}

// Converts at the stream's own orientation into `target`.
bool PictureConverter::convert_unturned(const AVFrame* decoded, std::uint8_t* target, int target_stride) {
    if (allowed == Converters::fastest && convert_with_libyuv(decoded, target, target_stride)) return true;
    return convert_with_swscale(decoded, target, target_stride);
}

// Converts with libyuv when it takes the picture as it is: a format it
// reads, a matrix it knows and no scaling. False, having written nothing,
// when it does not.
bool PictureConverter::convert_with_libyuv(const AVFrame* decoded, std::uint8_t* target, int target_stride) {
    if (decoded->width != converted_width() || decoded->height != converted_height()) return false;
    const std::optional<YuvLayout> layout = yuv_layout(decoded->format);
    if (!layout) return false;
    const bool full_range = full_range_of(decoded, layout->full_range);
    if (format == PictureFormat::gray) {
        // Grey is full range, as libswscale makes it.
        copy_plane(decoded->data[0], decoded->linesize[0], target, target_stride, decoded->width, decoded->height,
                   full_range ? nullptr : &luma_stretch);
        return true;
    }
    const int matrix = libyuv_matrix(decoded->colorspace);
    // libyuv's limited-range BT.709 and BT.2020 tables clip their blue
    // coefficient to fit its vector code, which leaves saturated colours up
    // to 15 levels off; stretching such pictures to full range first costs
    // more than libswscale's whole conversion.
    if (matrix < 0 || (matrix != 0 && !full_range)) return false;

    // libyuv writes B, G, R (and A) in memory; R first takes the chroma
    // planes swapped and the mirrored matrix.
    const bool red_first = format == PictureFormat::rgb24 || format == PictureFormat::rgba;
    const bool four = bytes_per_pixel(format) == 4;
    const std::uint8_t* const* planes = decoded->data;
    const int* strides = decoded->linesize;
    const int w = decoded->width;
    const int h = decoded->height;
    const int range = full_range ? 1 : 0;

    const YuvConstants* constants = (red_first ? yvu_matrices : yuv_matrices)[matrix][range];
    const int first = red_first ? 2 : 1;
    const int second = red_first ? 1 : 2;
    const PlanarConverters converters = planar_converters(layout->chroma);
    if (four && layout->alpha) {
        return converters.alpha_to_four(planes[0], strides[0], planes[first], strides[first], planes[second],
                                        strides[second], planes[3], strides[3], target, target_stride, constants, w,
                                        h, 0) == 0;
    }
    // Without an alpha plane libyuv writes opaque pixels.
    const PlanarConverter convert = four ? converters.to_four : converters.to_three;
    return convert(planes[0], strides[0], planes[first], strides[first], planes[second], strides[second], target,
                   target_stride, constants, w, h) == 0;
}

bool PictureConverter::convert_with_swscale(const AVFrame* decoded, std::uint8_t* target, int target_stride) {
    if (!match_swscale(decoded)) return false;
    std::uint8_t* const targets[4] = {target, nullptr, nullptr, nullptr};
    const int target_strides[4] = {target_stride, 0, 0, 0};
    sws_scale(sws_ctx.get(), decoded->data, decoded->linesize, 0, decoded->height, targets, target_strides);
    return true;
}

// Sets sws_ctx up for pictures shaped and coloured like `decoded`; false when
// no converter can be made. A picture like the one before costs two
// comparisons.
bool PictureConverter::match_swscale(const AVFrame* decoded) {
    const SwscaleInput input{decoded->width, decoded->height, decoded->format};
    if (!(input == swscale_input)) {
        SwsContext* converter = sws_getCachedContext(sws_ctx.release(), input.width, input.height,
                                                     static_cast<AVPixelFormat>(input.format), converted_width(),
                                                     converted_height(), av_pixel_format(format), SWS_BILINEAR,
                                                     nullptr, nullptr, nullptr);
        sws_ctx.reset(converter);
        if (converter == nullptr) {
            swscale_input = SwscaleInput{};
            return false;
        }
        // The converter is new, or as new as a fresh one: it assumes the
        // default matrix and its format's range.
        swscale_default_full_range = ColourDetails::of(converter).source_full_range;
        swscale_colours = SwscaleColours{SWS_CS_DEFAULT, swscale_default_full_range};
        swscale_input = input;
    }
    match_swscale_colours(decoded);
    return true;
}

// Gives sws_ctx the colour matrix and range that `decoded` is tagged with.
// An untagged picture converts as the ffmpeg command line converts it: with
// the BT.601 matrix, in the range its pixel format implies.
void PictureConverter::match_swscale_colours(const AVFrame* decoded) {
    SwscaleColours wanted{SWS_CS_DEFAULT, swscale_default_full_range};
    switch (decoded->colorspace) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            // swscale numbers its matrices as the colour spaces are numbered.
            wanted.matrix = decoded->colorspace;
            break;
        default:
            break;
    }
    wanted.full_range = full_range_of(decoded, swscale_default_full_range != 0) ? 1 : 0;
    if (wanted == swscale_colours) return;

    const ColourDetails details = ColourDetails::of(sws_ctx.get());
    const int* coefficients = sws_getCoefficients(wanted.matrix);
    sws_setColorspaceDetails(sws_ctx.get(), coefficients, wanted.full_range, coefficients, details.target_full_range,
                             details.brightness, details.contrast, details.saturation);
    swscale_colours = wanted;
}

}  // namespace reelpipe
