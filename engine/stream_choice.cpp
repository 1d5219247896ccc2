// Listing an input's streams and finding the one the caller chose.
#include "stream_choice.h"

#include <algorithm>
#include <cctype>
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
    if (stream.cover_art) label += ", cover art";
    return label + ")";
}

std::string stream_labels(const std::vector<StreamInfo>& streams) {
    if (streams.empty()) return "none";
    std::string labels;
    for (const StreamInfo& stream : streams) labels += (labels.empty() ? "" : ", ") + stream_label(stream);
    return labels;
}

// A language of ISO 639-1: its two-letter code, its ISO 639-2 terminology
// code, and its bibliographic code where that differs ("fre" for "fra").
struct LanguageCodes {
    const char* two;
    const char* terminology;
    const char* bibliographic;
};

// Every ISO 639-1 language, after the iso-codes tables.
constexpr LanguageCodes language_codes[] = {
    {"aa", "aar", ""}, {"ab", "abk", ""}, {"ae", "ave", ""}, {"af", "afr", ""}, {"ak", "aka", ""}, {"am", "amh", ""},
    {"an", "arg", ""}, {"ar", "ara", ""}, {"as", "asm", ""}, {"av", "ava", ""}, {"ay", "aym", ""}, {"az", "aze", ""},
    {"ba", "bak", ""}, {"be", "bel", ""}, {"bg", "bul", ""}, {"bh", "bih", ""}, {"bi", "bis", ""}, {"bm", "bam", ""},
    {"bn", "ben", ""}, {"bo", "bod", "tib"}, {"br", "bre", ""}, {"bs", "bos", ""}, {"ca", "cat", ""},
    {"ce", "che", ""}, {"ch", "cha", ""}, {"co", "cos", ""}, {"cr", "cre", ""}, {"cs", "ces", "cze"},
    {"cu", "chu", ""}, {"cv", "chv", ""}, {"cy", "cym", "wel"}, {"da", "dan", ""}, {"de", "deu", "ger"},
    {"dv", "div", ""}, {"dz", "dzo", ""}, {"ee", "ewe", ""}, {"el", "ell", "gre"}, {"en", "eng", ""},
    {"eo", "epo", ""}, {"es", "spa", ""}, {"et", "est", ""}, {"eu", "eus", "baq"}, {"fa", "fas", "per"},
    {"ff", "ful", ""}, {"fi", "fin", ""}, {"fj", "fij", ""}, {"fo", "fao", ""}, {"fr", "fra", "fre"},
    {"fy", "fry", ""}, {"ga", "gle", ""}, {"gd", "gla", ""}, {"gl", "glg", ""}, {"gn", "grn", ""}, {"gu", "guj", ""},
    {"gv", "glv", ""}, {"ha", "hau", ""}, {"he", "heb", ""}, {"hi", "hin", ""}, {"ho", "hmo", ""}, {"hr", "hrv", ""},
    {"ht", "hat", ""}, {"hu", "hun", ""}, {"hy", "hye", "arm"}, {"hz", "her", ""}, {"ia", "ina", ""},
    {"id", "ind", ""}, {"ie", "ile", ""}, {"ig", "ibo", ""}, {"ii", "iii", ""}, {"ik", "ipk", ""}, {"io", "ido", ""},
    {"is", "isl", "ice"}, {"it", "ita", ""}, {"iu", "iku", ""}, {"ja", "jpn", ""}, {"jv", "jav", ""},
    {"ka", "kat", "geo"}, {"kg", "kon", ""}, {"ki", "kik", ""}, {"kj", "kua", ""}, {"kk", "kaz", ""},
    {"kl", "kal", ""}, {"km", "khm", ""}, {"kn", "kan", ""}, {"ko", "kor", ""}, {"kr", "kau", ""}, {"ks", "kas", ""},
    {"ku", "kur", ""}, {"kv", "kom", ""}, {"kw", "cor", ""}, {"ky", "kir", ""}, {"la", "lat", ""}, {"lb", "ltz", ""},
    {"lg", "lug", ""}, {"li", "lim", ""}, {"ln", "lin", ""}, {"lo", "lao", ""}, {"lt", "lit", ""}, {"lu", "lub", ""},
    {"lv", "lav", ""}, {"mg", "mlg", ""}, {"mh", "mah", ""}, {"mi", "mri", "mao"}, {"mk", "mkd", "mac"},
    {"ml", "mal", ""}, {"mn", "mon", ""}, {"mr", "mar", ""}, {"ms", "msa", "may"}, {"mt", "mlt", ""},
    {"my", "mya", "bur"}, {"na", "nau", ""}, {"nb", "nob", ""}, {"nd", "nde", ""}, {"ne", "nep", ""},
    {"ng", "ndo", ""}, {"nl", "nld", "dut"}, {"nn", "nno", ""}, {"no", "nor", ""}, {"nr", "nbl", ""},
    {"nv", "nav", ""}, {"ny", "nya", ""}, {"oc", "oci", ""}, {"oj", "oji", ""}, {"om", "orm", ""}, {"or", "ori", ""},
    {"os", "oss", ""}, {"pa", "pan", ""}, {"pi", "pli", ""}, {"pl", "pol", ""}, {"ps", "pus", ""}, {"pt", "por", ""},
    {"qu", "que", ""}, {"rm", "roh", ""}, {"rn", "run", ""}, {"ro", "ron", "rum"}, {"ru", "rus", ""},
    {"rw", "kin", ""}, {"sa", "san", ""}, {"sc", "srd", ""}, {"sd", "snd", ""}, {"se", "sme", ""}, {"sg", "sag", ""},
    {"si", "sin", ""}, {"sk", "slk", "slo"}, {"sl", "slv", ""}, {"sm", "smo", ""}, {"sn", "sna", ""},
    {"so", "som", ""}, {"sq", "sqi", "alb"}, {"sr", "srp", ""}, {"ss", "ssw", ""}, {"st", "sot", ""},
    {"su", "sun", ""}, {"sv", "swe", ""}, {"sw", "swa", ""}, {"ta", "tam", ""}, {"te", "tel", ""}, {"tg", "tgk", ""},
    {"th", "tha", ""}, {"ti", "tir", ""}, {"tk", "tuk", ""}, {"tl", "tgl", ""}, {"tn", "tsn", ""}, {"to", "ton", ""},
    {"tr", "tur", ""}, {"ts", "tso", ""}, {"tt", "tat", ""}, {"tw", "twi", ""}, {"ty", "tah", ""}, {"ug", "uig", ""},
    {"uk", "ukr", ""}, {"ur", "urd", ""}, {"uz", "uzb", ""}, {"ve", "ven", ""}, {"vi", "vie", ""}, {"vo", "vol", ""},
    {"wa", "wln", ""}, {"wo", "wol", ""}, {"xh", "xho", ""}, {"yi", "yid", ""}, {"yo", "yor", ""}, {"za", "zha", ""},
    {"zh", "zho", "chi"}, {"zu", "zul", ""},
};

// A language code in one spelling, whichever a muxer or a caller wrote:
// lower case, the terminology code for a bibliographic or two-letter one.
// A code the table does not know stays as it is, in lower case.
std::string canonical_language(const std::string& code) {
    std::string lower = code;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const LanguageCodes& language : language_codes) {
        if (lower == language.two || (*language.bibliographic != '\0' && lower == language.bibliographic)) {
            return language.terminology;
        }
    }
    return lower;
}

bool same_language(const std::optional<std::string>& stream, const std::string& wanted) {
    return stream && canonical_language(*stream) == canonical_language(wanted);
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
        info.cover_art = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
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
        if (choice.index ? stream.index != *choice.index : !same_language(stream.language, *choice.language)) {
            continue;
        }
        if (stream.cover_art) {
            throw std::invalid_argument(std::string(option) + "=" + std::to_string(stream.index) +
                                        " is cover art (a picture attached to the input), not a video stream; "
                                        "its streams: " + stream_labels(streams));
        }
        return stream.index;
    }
    const std::string asked = choice.index ? std::to_string(*choice.index) : "'" + *choice.language + "'";
    throw std::invalid_argument(std::string(option) + "=" + asked + " names no " + wanted_type +
                                " stream of this input; its streams: " + stream_labels(streams));
}

}  // namespace reelpipe
