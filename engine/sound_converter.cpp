// The conversion of decoded sound to the playback format.
#include "sound_converter.h"

namespace reelpipe {

namespace {

// Copies `source` into `target` in a form the resampler accepts: a layout
// that names no channel order becomes the default layout for its channel
// count. False when there is nothing usable (the caller uninits `target`).
bool copy_input_layout(const AVChannelLayout& source, AVChannelLayout* target) {
    if (source.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&source) == 0) {
        if (source.nb_channels <= 0) return false;
        av_channel_layout_default(target, source.nb_channels);
        return true;
    }
    return av_channel_layout_copy(target, &source) == 0;
}

bool same_layout(const AVChannelLayout& a, const AVChannelLayout& b) { return av_channel_layout_compare(&a, &b) == 0; }

}  // namespace

bool SoundConverter::match(AVSampleFormat format, int rate, const AVChannelLayout& layout) {
    if (!plausible_sample_rate(rate) || format == AV_SAMPLE_FMT_NONE) return false;
    AVChannelLayout wanted{};
    if (!copy_input_layout(layout, &wanted)) {
        av_channel_layout_uninit(&wanted);
        return false;
    }
    if (swr && format == in_format && rate == in_rate && same_layout(wanted, in_layout)) {
        av_channel_layout_uninit(&wanted);
        return true;
    }
    AVChannelLayout out_layout{};
    av_channel_layout_default(&out_layout, out_channels);
    // Older FFmpeg takes the layouts by non-const pointer, hence the copies.
    SwrContext* raw = nullptr;
    const int made =
        swr_alloc_set_opts2(&raw, &out_layout, AV_SAMPLE_FMT_S16, out_rate, &wanted, format, rate, 0, nullptr);
    av_channel_layout_uninit(&out_layout);
    SwrContextPtr resampler(raw);
    swr.reset();
    if (made < 0 || !resampler || swr_init(resampler.get()) < 0) {
        av_channel_layout_uninit(&wanted);
        return false;
    }
    av_channel_layout_uninit(&in_layout);
    in_layout = wanted;  // takes over the copy's storage
    in_format = format;
    in_rate = rate;
    swr = std::move(resampler);
    return true;
}

SoundConverter::Converted SoundConverter::convert(const AVFrame* frame) {
    if (!match(static_cast<AVSampleFormat>(frame->format), frame->sample_rate, frame->ch_layout)) return {};
    const int capacity = swr_get_out_samples(swr.get(), frame->nb_samples);
    if (capacity < 0) return {};  // a resampler error, like a failed conversion
    const std::size_t frame_bytes = static_cast<std::size_t>(out_channels) * 2;
    const std::size_t room = static_cast<std::size_t>(capacity) * frame_bytes;
    if (converted.size() < room) converted.resize(room);
    std::uint8_t* out_planes[1] = {converted.empty() ? nullptr : converted.data()};
    const int produced = swr_convert(swr.get(), out_planes, capacity,
                                     const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    if (produced <= 0) return {};
    return {converted.data(), static_cast<std::size_t>(produced) * frame_bytes};
}

}  // namespace reelpipe
