// SoundConverter: turns decoded sound into the playback format (signed
// 16-bit interleaved at the device's rate and channel count) with
// libswresample. It follows the sound in hand: streams change their sample
// format, rate or channel layout mid-way (mono to stereo between
// programmes), and feeding a resampler data in a layout it was not set up
// for reads past the frame or plays noise. One thread at a time (the audio
// thread while it runs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ffmpeg_ptr.h"

namespace reelpipe {

// Rates outside this range are a damaged or hostile header: at 1 Hz a
// single packet would resample into hundreds of megabytes of sound.
inline bool plausible_sample_rate(int rate) { return rate >= 1000 && rate <= 768000; }

class SoundConverter {
public:
    // Sound comes out at `rate` frames per second in `channels` channels.
    SoundConverter(int rate, int channels) : out_rate(rate), out_channels(channels) {}
    ~SoundConverter() { av_channel_layout_uninit(&in_layout); }

    SoundConverter(const SoundConverter&) = delete;
    SoundConverter& operator=(const SoundConverter&) = delete;

    // Sets the resampler up for sound in `format` at `rate` in `layout`,
    // unless it is set up for it already; false when no resampler can take
    // it (an implausible rate, no sample format, no usable layout).
    bool match(AVSampleFormat format, int rate, const AVChannelLayout& layout);
    // Forgets the resampler (the stream is left out after all).
    void reset() { swr.reset(); }

    // The bytes of `frame` converted, in storage of the converter's that the
    // next call reuses; none when the conversion fails. May throw
    // std::bad_alloc.
    struct Converted {
        const std::uint8_t* data = nullptr;
        std::size_t bytes = 0;
    };
    Converted convert(const AVFrame* frame);

private:
    const int out_rate;
    const int out_channels;
    SwrContextPtr swr;
    // What swr was set up for.
    AVSampleFormat in_format = AV_SAMPLE_FMT_NONE;
    int in_rate = 0;
    AVChannelLayout in_layout{};
    // Where a frame is converted; grows to the largest frame and is reused.
    std::vector<std::uint8_t> converted;
};

}  // namespace reelpipe
