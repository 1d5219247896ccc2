// PictureOrientation: how a stream's pictures are turned to stand upright,
// from the display matrix its container carries (a phone held upright
// records sideways and says so there), and the copy that turns a packed
// picture of one, three or four bytes a pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace reelpipe {

// A quarter turn or half turn with an optional mirror: what an upright
// picture's pixel (x, y) is read from. With `transpose` the source column
// is the upright row and the source row the upright column; `flip_x` and
// `flip_y` then count the source's columns and rows from their far end.
struct PictureOrientation {
    bool transpose = false;
    bool flip_x = false;
    bool flip_y = false;

    bool upright() const { return !transpose && !flip_x && !flip_y; }
};

// The orientation that undoes a display matrix (nine 32-bit values; the
// source pixel (x, y) is shown at (a x + c y, b x + d y) with a, b, c, d the
// values 0, 1, 3 and 4). A matrix that is not a quarter turn, half turn or
// mirror of one (a free angle, a shear) leaves the picture as it is.
inline PictureOrientation orientation_from_display_matrix(const std::int32_t* matrix) {
    const std::int64_t a = matrix[0], b = matrix[1], c = matrix[3], d = matrix[4];
    PictureOrientation orientation;
    if (b == 0 && c == 0 && a != 0 && d != 0) {
        orientation.flip_x = a < 0;
        orientation.flip_y = d < 0;
    } else if (a == 0 && d == 0 && b != 0 && c != 0) {
        // Shown x follows the source row, shown y the source column.
        orientation.transpose = true;
        orientation.flip_y = c < 0;
        orientation.flip_x = b < 0;
    }
    return orientation;
}

namespace turning {

// Copies `count` pixels of `Pixel` bytes from `in`, stepping `step` bytes
// between them, to consecutive pixels at `out`. Three-byte pixels move as
// four bytes at once, all but the last: the byte too many lands on the next
// pixel, written right after.
template <int Pixel>
inline void copy_pixels(const std::uint8_t* in, std::ptrdiff_t step, std::uint8_t* out, int count) {
    if constexpr (Pixel == 3) {
        for (int x = 1; x < count; ++x, in += step, out += Pixel) {
            std::uint32_t value;
            std::memcpy(&value, in, sizeof value);
            std::memcpy(out, &value, sizeof value);
        }
        if (count > 0) std::memcpy(out, in, Pixel);
    } else {
        for (int x = 0; x < count; ++x, in += step, out += Pixel) std::memcpy(out, in, Pixel);
    }
}

}  // namespace turning

// Writes the packed picture `source` (source_width x source_height pixels of
// `Pixel` bytes, rows `source_stride` bytes apart) into `target`, whose rows
// are `target_stride` bytes apart, turned by `orientation`. `source` must be
// readable one byte past its last pixel.
template <int Pixel>
inline void turn_packed_picture(const std::uint8_t* source, int source_width, int source_height,
                                std::ptrdiff_t source_stride, PictureOrientation orientation, std::uint8_t* target,
                                std::ptrdiff_t target_stride) {
    constexpr std::ptrdiff_t pixel = Pixel;
    // Steps through the source for one pixel along a source row and a source
    // column, and the source pixel that lands at the upright (0, 0).
    const std::ptrdiff_t along_row = orientation.flip_x ? -pixel : pixel;
    const std::ptrdiff_t along_column = orientation.flip_y ? -source_stride : source_stride;
    const std::uint8_t* origin = source + (orientation.flip_x ? (source_width - 1) * pixel : 0) +
                                 (orientation.flip_y ? (source_height - 1) * source_stride : 0);
    if (!orientation.transpose) {
        for (int y = 0; y < source_height; ++y) {
            const std::uint8_t* in = origin + y * along_column;
            std::uint8_t* out = target + y * target_stride;
            if (orientation.flip_x) {
                turning::copy_pixels<Pixel>(in, along_row, out, source_width);
            } else {
                std::memcpy(out, in, static_cast<std::size_t>(source_width) * pixel);
            }
        }
        return;
    }
    // A quarter turn reads the source down its columns: square tiles keep
    // both the rows read and the rows written in cache.
    constexpr int tile = 32;
    const int width = source_height;
    const int height = source_width;
    for (int tile_y = 0; tile_y < height; tile_y += tile) {
        const int end_y = tile_y + tile < height ? tile_y + tile : height;
        for (int tile_x = 0; tile_x < width; tile_x += tile) {
            const int count = (tile_x + tile < width ? tile_x + tile : width) - tile_x;
            for (int y = tile_y; y < end_y; ++y) {
                turning::copy_pixels<Pixel>(origin + y * along_row + tile_x * along_column, along_column,
                                            target + y * target_stride + tile_x * pixel, count);
            }
        }
    }
}

// turn_packed_picture() for pictures of `pixel_bytes` (1, 3 or 4) a pixel.
inline void turn_picture(const std::uint8_t* source, int source_width, int source_height, std::ptrdiff_t source_stride,
                         int pixel_bytes, PictureOrientation orientation, std::uint8_t* target,
                         std::ptrdiff_t target_stride) {
    switch (pixel_bytes) {
        case 1:
            return turn_packed_picture<1>(source, source_width, source_height, source_stride, orientation, target,
                                          target_stride);
        case 4:
            return turn_packed_picture<4>(source, source_width, source_height, source_stride, orientation, target,
                                          target_stride);
        default:
            return turn_packed_picture<3>(source, source_width, source_height, source_stride, orientation, target,
                                          target_stride);
    }
}

}  // namespace reelpipe
