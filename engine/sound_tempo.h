// Playback speed with the pitch kept: libavfilter's atempo chain.
//
// The chain sits between the sound buffer and the device, not before the
// buffer: the sound buffer holds up to ten seconds of sound at the input's
// own tempo, and a change of speed must be heard within a fraction of a
// second. So the buffer keeps media-rate sound, and SoundOutput's feeder
// changes only a few periods of it ahead of the device (its ring), which is
// all that still plays at the old speed after a change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct AVFilterGraph;
struct AVFilterContext;

namespace reelpipe {

// The speeds a caller may choose; atempo takes 0.5 to 2.0 per filter in
// every FFmpeg we build against, so the ends take two filters.
constexpr double slowest_speed = 0.25;
constexpr double fastest_speed = 4.0;

// An atempo chain for interleaved signed 16-bit stereo at one rate, fed and
// drained on one thread (the feeder). Owns its filter graph.
class SoundTempo {
public:
    explicit SoundTempo(int rate) : rate_(rate) {}

    // Builds the chain for `factor` (slowest_speed..fastest_speed). False
    // when libavfilter refuses; the chain is then not built.
    bool build(double factor);
    // Drops the chain and what it holds.
    void reset();
    bool built() const { return graph_ != nullptr; }
    double factor() const { return factor_; }
    // Input seconds by which the chain's output leads the input it was fed:
    // atempo starts its output half a window into the input.
    double lead_seconds() const { return lead_; }
    // Feeds `frames` frames and appends to `out` whatever the chain gives.
    // False on a filter error (the chain is then best reset).
    bool process(const std::uint8_t* data, int frames, std::vector<std::uint8_t>& out);
    // Ends the input and appends the rest the chain holds to `out`.
    void drain(std::vector<std::uint8_t>& out);

private:
    struct GraphDeleter {
        void operator()(AVFilterGraph* graph) const;
    };
    bool pull(std::vector<std::uint8_t>& out);

    const int rate_;
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph_;
    AVFilterContext* source_ = nullptr;  // owned by graph_
    AVFilterContext* sink_ = nullptr;    // owned by graph_
    double factor_ = 1.0;
    double lead_ = 0.0;
    std::int64_t fed_frames_ = 0;  // the next input frame's timestamp
};

}  // namespace reelpipe
