// Listing an input's streams and finding the one the caller chose.
#include "stream_choice.h"

#include <stdexcept>

namespace reelpipe {

namespace {

std::string type_name(AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO: return "video";
        case AVMEDIA_TYPE_AUDIO: return "audio";
        case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
        case AVMEDIA_TYPE_DATA: return "data";
        case AVMEDIA_TYPE_ATTACHMENT: return "attachment";
        default: return "unknown";
    }
}

std::optional<std::string> metadata(const AVStream* stream, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(stream->metadata, key, nullptr, 0);
    if (entry == nullptr || entry->value == nullptr || *entry->value == '\0') return std::nullopt;
    return std::string(entry->value);
}

// "#1 audio (aac, eng)": a stream as an error message names it.
std::string stream_label(const StreamInfo& stream) {
    std::string label = "#" + std::to_string(stream.index) + " " + stream.type + " (" + stream.codec;
    if (stream.language) label += ", " + *stream.language;
    return label + ")";
}

std::string stream_labels(const std::vector<StreamInfo>& streams) {
    if (streams.empty()) return "none";
    std::string labels;
    for (const StreamInfo& stream : streams) labels += (labels.empty() ? "" : ", ") + stream_label(stream);
    return labels;
}

}  // namespace

std::vector<StreamInfo> describe_streams(const AVFormatContext* format) {
    std::vector<StreamInfo> streams;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        StreamInfo info;
        info.index = stream->index;
        info.type = type_name(par->codec_type);
        info.codec = avcodec_get_name(par->codec_id);
        info.language = metadata(stream, "language");
        info.title = metadata(stream, "title");
        info.is_default = (stream->disposition & AV_DISPOSITION_DEFAULT) != 0;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            info.width = par->width;
            info.height = par->height;
            const AVRational rate = stream->avg_frame_rate;
            if (rate.num > 0 && rate.den > 0) info.fps = av_q2d(rate);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            info.sample_rate = par->sample_rate;
            info.channels = par->ch_layout.nb_channels;
        }
        streams.push_back(std::move(info));
    }
    return streams;
}

int chosen_stream(const std::vector<StreamInfo>& streams, AVMediaType type, const StreamChoice& choice,
                  const char* option) {
    if (!choice.made()) return -1;
    const std::string wanted_type = type_name(type);
    for (const StreamInfo& stream : streams) {
        if (stream.type != wanted_type) continue;
        if (choice.index ? stream.index == *choice.index : stream.language == choice.language) return stream.index;
    }
    const std::string asked = choice.index ? std::to_string(*choice.index) : "'" + *choice.language + "'";
    throw std::invalid_argument(std::string(option) + "=" + asked + " names no " + wanted_type +
                                " stream of this input; its streams: " + stream_labels(streams));
}

}  // namespace reelpipe
