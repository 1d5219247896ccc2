// The atempo chain of the tempo stage (see sound_tempo.h).
#include "sound_tempo.h"

#include <cmath>
#include <cstring>
#include <string>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "ffmpeg_ptr.h"

namespace reelpipe {

namespace {

constexpr int channels = 2;
constexpr std::size_t frame_bytes = 4;
// What one atempo filter takes in every FFmpeg we build against.
constexpr double widest_single_factor = 2.0;
constexpr double narrowest_single_factor = 0.5;
// atempo's window: a 24th of a second, rounded up to a power of two frames
// (2048 at 44.1 kHz).
constexpr int window_divisor = 24;

double half_window_seconds(int rate) {
    int frames = 1;
    while (frames < rate / window_divisor) frames *= 2;
    return frames / 2.0 / rate;
}

AVFilterContext* add_filter(AVFilterGraph* graph, const char* name, const std::string& args) {
    const AVFilter* filter = avfilter_get_by_name(name);
    if (filter == nullptr) return nullptr;
    AVFilterContext* context = nullptr;
    if (avfilter_graph_create_filter(&context, filter, nullptr, args.c_str(), nullptr, graph) < 0) return nullptr;
    return context;
}

// One factor per atempo filter: the factor itself when one filter takes
// it, otherwise its square root twice (0.25 and 4.0 are the ends).
std::vector<double> stage_factors(double factor) {
    if (factor >= narrowest_single_factor && factor <= widest_single_factor) return {factor};
    const double root = std::sqrt(factor);
    return {root, root};
}

}  // namespace

void SoundTempo::GraphDeleter::operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }

bool SoundTempo::build(double factor) {
    reset();
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph(avfilter_graph_alloc());
    if (!graph) return false;
    // One thread: the chain is cheap, and the sound feeder is the caller.
    graph->nb_threads = 1;
    const std::string rate = std::to_string(rate_);
    AVFilterContext* source = add_filter(
        graph.get(), "abuffer", "sample_rate=" + rate + ":sample_fmt=s16:channel_layout=stereo:time_base=1/" + rate);
    AVFilterContext* sink = add_filter(graph.get(), "abuffersink", "");
    if (source == nullptr || sink == nullptr) return false;
    AVFilterContext* previous = source;
    // Each filter's lead is half its window of its own input, which a
    // filter before it has already sped up.
    double lead = 0.0;
    double before = 1.0;
    for (const double stage : stage_factors(factor)) {
        AVFilterContext* tempo = add_filter(graph.get(), "atempo", "tempo=" + std::to_string(stage));
        if (tempo == nullptr || avfilter_link(previous, 0, tempo, 0) < 0) return false;
        previous = tempo;
        lead += half_window_seconds(rate_) * before;
        before *= stage;
    }
    AVFilterContext* format =
        add_filter(graph.get(), "aformat", "sample_fmts=s16:channel_layouts=stereo:sample_rates=" + rate);
    if (format == nullptr || avfilter_link(previous, 0, format, 0) < 0 || avfilter_link(format, 0, sink, 0) < 0) {
        return false;
    }
    if (avfilter_graph_config(graph.get(), nullptr) < 0) return false;
    graph_ = std::move(graph);
    source_ = source;
    sink_ = sink;
    factor_ = factor;
    lead_ = lead;
    fed_frames_ = 0;
    return true;
}

void SoundTempo::reset() {
    graph_.reset();
    source_ = sink_ = nullptr;
}

bool SoundTempo::process(const std::uint8_t* data, int frames, std::vector<std::uint8_t>& out) {
    if (!built() || frames <= 0) return false;
    FramePtr frame = make_frame();
    if (!frame) return false;
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = rate_;
    frame->nb_samples = frames;
    av_channel_layout_default(&frame->ch_layout, channels);
    if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
    std::memcpy(frame->data[0], data, static_cast<std::size_t>(frames) * frame_bytes);
    frame->pts = fed_frames_;
    fed_frames_ += frames;
    if (av_buffersrc_add_frame(source_, frame.get()) < 0) return false;
    return pull(out);
}

void SoundTempo::drain(std::vector<std::uint8_t>& out) {
    if (!built()) return;
    if (av_buffersrc_add_frame(source_, nullptr) >= 0) pull(out);
    reset();
}

// Appends every frame the sink has ready; false on an error other than
// "nothing yet" or the end.
bool SoundTempo::pull(std::vector<std::uint8_t>& out) {
    FramePtr frame = make_frame();
    if (!frame) return false;
    for (;;) {
        const int got = av_buffersink_get_frame(sink_, frame.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
        if (got < 0) return false;
        const auto* bytes = frame->data[0];
        out.insert(out.end(), bytes, bytes + static_cast<std::size_t>(frame->nb_samples) * frame_bytes);
        av_frame_unref(frame.get());
    }
}

}  // namespace reelpipe
