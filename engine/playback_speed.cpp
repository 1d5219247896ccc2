// Playback speed: the control, and the tempo thread that changes the sound
// at the front of the sound buffer into the tempo queue the callback plays
// from (see sound_tempo.h for why the stage sits there).
#include <algorithm>
#include <new>
#include <stdexcept>

#include "media_decoder.h"

namespace reelpipe {

namespace {

// Sound taken from the sound buffer per step of the chain: 23 ms.
constexpr std::size_t chunk_bytes = 1024 * playback_frame_bytes;
// The tempo queue is kept this full, and at least three device periods, so
// that a late wake of the tempo thread does not starve the device; what it
// holds is what plays at the old speed after a change.
constexpr double tempo_queue_seconds = 0.06;
constexpr auto tempo_poll = std::chrono::milliseconds(5);
// While paused nothing drains the queue: look less often (resume() wakes).
constexpr auto paused_tempo_poll = std::chrono::milliseconds(50);

}  // namespace

// Refuses NaN and factors outside slowest_speed..fastest_speed; the rest
// takes effect at once for the clocks and, through the tempo queue, within
// a few device periods for the sound.
void MediaDecoder::set_speed(double factor) {
    refuse_if_inherited();
    if (!(factor >= slowest_speed && factor <= fastest_speed)) {
        throw std::invalid_argument("speed must be a factor from 0.25 to 4.0");
    }
    const std::int64_t now = steady_now_ns();
    speed = factor;
    audio_clock.set_rate(factor, now);
    picture_clock.set_rate(factor, now);
    {
        std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
        if (status.running) start_tempo_thread();
    }
    std::lock_guard<std::mutex> lock(tempo_queue.mutex);
    tempo_queue.cv.notify_all();
}

// The tempo thread runs from the first speed other than 1.0 until stop().
// Called with lifecycle_mutex held while running.
void MediaDecoder::start_tempo_thread() {
    if (audio_stream_index < 0 || speed == 1.0 || tempo_thread.joinable()) return;
    tempo_thread = std::thread(&MediaDecoder::run_for_input, this, &MediaDecoder::tempo_loop);
}

// Each step, under the sound buffer's lock and the tempo queue's: hands
// over what the chain made last, and takes the next chunk while the queue
// is short; then runs the chain outside the locks. A flush (a new serial of
// the sound buffer) drops what the chain holds; a change of speed drains
// the chain at the old speed first, so no sound is lost or repeated.
void MediaDecoder::tempo_loop() {
    TempoRun run;
    std::vector<std::uint8_t> chunk;
    while (status.running) {
        const double factor = speed;
        const TempoStep step = next_tempo_step(run, factor, chunk);
        if (step == TempoStep::drain) {
            tempo.drain(run.made);
        } else if (step == TempoStep::change) {
            change_chunk(run, factor, chunk);
        } else {
            wait_for_tempo_work(factor);
        }
    }
    // Nothing taken is lost: a restart plays what the chain held first, and
    // a restart at 1.0 finds the stage no longer owning the sound.
    tempo.drain(run.made);
    next_tempo_step(run, 1.0, chunk);
}

// The locked half of a step: see tempo_loop(). Takes audio_buffer.mutex,
// then tempo_queue.mutex.
MediaDecoder::TempoStep MediaDecoder::next_tempo_step(TempoRun& run, double factor, std::vector<std::uint8_t>& chunk) {
    std::lock_guard<std::mutex> sound(audio_buffer.mutex);
    std::lock_guard<std::mutex> queue(tempo_queue.mutex);
    if (run.serial != audio_buffer.serial()) {
        tempo.reset();
        run = TempoRun{};
        run.serial = audio_buffer.serial();
    } else {
        hand_over(run);
    }
    run.made.clear();
    const bool ends = audio_buffer.drained() && audio_buffer.empty();
    if (tempo.built() && (tempo.factor() != factor || ends)) return TempoStep::drain;
    if (!tempo.built() && factor == 1.0) tempo_queue.active = false;
    const std::size_t target = std::max<std::size_t>(3 * device_queue.last_period_bytes,
                                                     static_cast<std::size_t>(tempo_queue_seconds * playback_bytes_per_second));
    if (factor == 1.0 || audio_buffer.empty() || tempo_queue.size() >= target) return TempoStep::wait;
    const std::size_t count = std::min(chunk_bytes, audio_buffer.size() / playback_frame_bytes * playback_frame_bytes);
    if (count == 0) return TempoStep::wait;
    if (!tempo.built()) run.origin = audio_buffer.front_seconds();
    chunk.resize(count);
    audio_buffer.take(chunk.data(), count);
    tempo_queue.active = true;
    return TempoStep::change;
}

// Puts what the chain made into the tempo queue, with the input time it
// stands for: the run's origin plus what the run has given so far, at its
// factor. Called with both locks held. A failed allocation costs that sound.
void MediaDecoder::hand_over(TempoRun& run) {
    if (run.made.empty()) return;
    const double per_byte = run.factor / playback_bytes_per_second;
    const double seconds = run.origin + run.lead + static_cast<double>(run.given) * per_byte;
    try {
        tempo_queue.append(run.made.data(), run.made.size(), seconds, per_byte);
    } catch (const std::bad_alloc&) {
    }
    run.given += run.made.size();
}

// Runs one chunk through the chain, building it for `factor` at the start
// of a run. A chain libavfilter will not build, or that fails, passes the
// sound on unchanged (and its time with it), so playback goes on at 1.0.
void MediaDecoder::change_chunk(TempoRun& run, double factor, const std::vector<std::uint8_t>& chunk) {
    if (!tempo.built()) {
        if (factor != run.refused && !tempo.build(factor)) {
            run.refused = factor;
            log_event(LogLevel::warning, "the sound cannot be played at speed " + std::to_string(factor) +
                                             ": libavfilter would not build the tempo chain");
        }
        run.factor = tempo.built() ? factor : 1.0;
        run.lead = tempo.built() ? tempo.lead_seconds() : 0.0;
        run.given = 0;
    }
    const int frames = static_cast<int>(chunk.size() / playback_frame_bytes);
    if (!tempo.built() || !tempo.process(chunk.data(), frames, run.made)) {
        tempo.reset();
        run.made.insert(run.made.end(), chunk.begin(), chunk.end());
    }
}

// Nothing to change now: at speed 1.0 with the chain drained, sleeps until
// set_speed() or stop() wakes it; otherwise looks again shortly, as the
// device drains the queue (the callback never notifies), or, paused, after
// a longer while unless resume() wakes it.
void MediaDecoder::wait_for_tempo_work(double factor) {
    std::unique_lock<std::mutex> lock(tempo_queue.mutex);
    if (factor == 1.0 && !tempo.built()) {
        tempo_queue.cv.wait(lock, [this] { return speed != 1.0 || !status.running; });
        return;
    }
    const bool paused = status.paused;
    tempo_queue.cv.wait_for(lock, paused ? paused_tempo_poll : tempo_poll, [this, factor, paused] {
        return speed != factor || !status.running || status.paused != paused;
    });
}

double MediaDecoder::get_speed() const { return speed; }

}  // namespace reelpipe
