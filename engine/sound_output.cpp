// The sound path from the audio thread to the callback: appending and
// anchoring, the flush, the feeder thread with the tempo chain, the
// callback and the sound's clock (see sound_output.h).
#include "sound_output.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace reelpipe {

namespace {

// The longest silence played ahead of a sound track that starts later than
// the point playback starts from.
constexpr double longest_lead_in = 10.0;

// Sound taken from the buffer per step of the tempo chain: 23 ms.
constexpr std::size_t chunk_bytes = 1024 * playback_frame_bytes;
constexpr auto feed_poll = std::chrono::milliseconds(10);
// While paused nothing drains the ring: look less often (resume() wakes).
constexpr auto paused_feed_poll = std::chrono::milliseconds(50);

std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SoundOutput::SoundOutput(std::string device_name, Listener& listener, LogInput& log_input,
                         double ring_fill_seconds)
    : listener_(listener),
      log_input_(log_input),
      ring_fill_seconds_(ring_fill_seconds),
      device_(std::move(device_name)) {}

SoundOutput::~SoundOutput() {
    stop_feeding();
    release_device();
}

// --- The sound.

void SoundOutput::append(const std::uint8_t* data, std::size_t count, double seconds, std::uint64_t serial,
                         bool joins) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (serial != serial_) return;
    const bool anchoring = !buffer_.anchored();
    if (anchoring) {
        if (!std::isnan(seconds)) {
            buffer_.anchor(playing_from_, seconds, longest_lead_in, seek_window);
        } else {
            buffer_.set_anchored();
        }
        anchored_ = true;
    }
    buffer_.append(data, count, seconds, joins);
    publish_buffer_size();
    // The clock takes the first time of the new serial: where its sound (or
    // its lead-in) begins.
    const double front = buffer_.front_seconds();
    if (anchoring && !std::isnan(front)) clock_.set(front, steady_now_ns());
}

void SoundOutput::notify_room() {
    std::lock_guard<std::mutex> lock(mutex_);
    room_.notify_all();
}

void SoundOutput::set_drained(std::uint64_t serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (serial == serial_) drained_ = true;
}

// Under both locks: a callback finds the old sound and the old clock, or
// neither.
void SoundOutput::flush(std::uint64_t serial, double from, double at) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::lock_guard<std::mutex> reader(reading_);
    buffer_.clear();
    publish_buffer_size();
    ring_.discard_all();
    anchored_ = false;
    drained_ = false;
    playing_from_ = from;
    serial_ = serial;
    clock_.set(at, steady_now_ns());
}

// --- The callback.

void SoundOutput::device_callback(ma_device* device, void* output, const void* /*input*/, ma_uint32 frame_count) {
    auto* sound = static_cast<SoundOutput*>(device->pUserData);
    if (sound == nullptr) {
        std::memset(output, 0, static_cast<std::size_t>(frame_count) * playback_frame_bytes);
        return;
    }
    sound->play_period(output, frame_count);
}

// Plays one whole period from the ring and sets the clock to the time of
// what follows it (by the ring's marks: a hole, a lead-in, a jump in the
// input's timestamps or a change of speed moves the clock with the sound),
// or, short of a period, plays silence and keeps what is there.
//
// Runs on miniaudio's real-time device thread. It may block only on the
// clock's leaf lock, which every holder keeps for a few arithmetic
// operations and never across another lock, a wait or an allocation. The
// ring is lock-free between the feeder and here; its reader lock is only
// tried, and when a flush holds it (emptying the ring) the period is
// silence, as the flush's buffering would make it anyway. When the ring
// runs short at speed 1.0 (the feeder kept off a busy core), the period is
// taken straight from the buffer if mutex_ can be had at once (see
// take_straight()); otherwise it is silence. Nothing here allocates or
// waits for the feeder, the audio thread or a flush.
void SoundOutput::play_period(void* output, std::uint32_t frame_count) {
    const std::size_t bytes = static_cast<std::size_t>(frame_count) * playback_frame_bytes;
    device_queue_.last_period_bytes = bytes;
    if (paused_ || listener_.sound_held()) {
        std::memset(output, 0, bytes);
        // A paused device is being stopped and keeps what it holds for the
        // resume; silence while buffering goes out like sound.
        if (!paused_) count_device_period(frame_count, false, clock_.rate());
        return;
    }
    double next = 0.0;
    double per_byte = 0.0;
    bool played = false;
    {
        std::unique_lock<std::mutex> reader(reading_, std::try_to_lock);
        played = reader.owns_lock() && ring_.take(output, bytes, next, per_byte);
    }
    if (!played) played = take_straight(output, bytes, next, per_byte);
    if (!played) {
        std::memset(output, 0, bytes);
        count_device_period(frame_count, false, clock_.rate());
        // Only sound that is not there is the player's concern; a feeder
        // that is merely late costs this period alone.
        if (queued_bytes() < bytes) listener_.sound_ran_short();
        return;
    }
    // Counted before the clock moves, so that a reader between the two
    // stores finds the sound heard a period behind, never ahead.
    count_device_period(frame_count, true, per_byte * playback_bytes_per_second);
    const std::int64_t now = steady_now_ns();
    if (std::isnan(next)) next = clock_.get(now) + static_cast<double>(bytes) * per_byte;
    clock_.set(next, now);
}

// The rest of the ring and then the buffer's front, at speed 1.0 with no
// tempo run pending (the buffer's front then follows the ring's end), when
// both locks can be had at once: taken in the lock order, each only tried,
// so the callback still never waits. Neither the ring nor the buffer
// allocates on taking. Device thread only.
bool SoundOutput::take_straight(void* output, std::size_t bytes, double& next, double& per_byte) {
    if (speed_ != 1.0) return false;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || !straight_ok_) return false;
    std::unique_lock<std::mutex> reader(reading_, std::try_to_lock);
    if (!reader.owns_lock()) return false;
    const std::size_t in_ring = ring_bytes();
    if (in_ring + buffer_.size() < bytes) return false;
    ring_.take(output, in_ring, next, per_byte);
    buffer_.take(static_cast<std::uint8_t*>(output) + in_ring, bytes - in_ring);
    publish_buffer_size();
    next = buffer_.front_seconds();
    per_byte = 1.0 / playback_bytes_per_second;
    return true;
}

// Follows how much of the device's buffer ahead of the listener is sound,
// in the input seconds it stands for at the `rate` it was handed over at (a
// later change of speed does not change what it held): each period the
// device plays as much from the front of it as it is handed (sound or
// silence) at the back, and only the sound is counted. So a period of sound
// adds to it, up to the buffer's size, and a period of silence lets it run
// out. Device thread only.
void SoundOutput::count_device_period(std::uint32_t frame_count, bool sound, double rate) {
    const std::uint64_t serial = serial_;
    double held = serial == device_queue_.held_serial ? device_queue_.held.load() : 0.0;
    const double period = static_cast<double>(frame_count) / playback_rate * rate;
    held = sound ? std::min(held + period, device_queue_.latency.load() * rate) : std::max(held - period, 0.0);
    device_queue_.held = held;
    device_queue_.held_serial = serial;
}

// --- The clock and the reads.

double SoundOutput::clock_seconds() const { return clock_.get(steady_now_ns()); }

Clock::Reading SoundOutput::clock_reading() const { return clock_.reading(steady_now_ns()); }

// The clock counts the sound handed to the device, part of which the
// device still holds. It never falls below where the clock was anchored,
// since only sound handed since then is counted; until the callback has
// seen a flush, nothing is.
double SoundOutput::heard_seconds() const {
    const double clock = clock_.get(steady_now_ns());
    if (device_queue_.held_serial != serial_) return clock;
    return clock - device_queue_.held;
}

void SoundOutput::show_at(double seconds) {
    const std::int64_t now = steady_now_ns();
    clock_.set(seconds + (clock_.get(now) - heard_seconds()), now);
}

void SoundOutput::restart_clock() {
    const std::int64_t now = steady_now_ns();
    clock_.set(clock_.get(now), now);
}

std::size_t SoundOutput::ring_bytes() const {
    const std::uint64_t from = ring_.read();
    const std::uint64_t to = ring_.written();
    return to > from ? static_cast<std::size_t>(to - from) : 0;
}

std::size_t SoundOutput::queued_bytes() const { return buffer_bytes_ + ring_bytes(); }

bool SoundOutput::left_unplayable() const {
    const std::size_t unplayable =
        std::max(device_queue_.last_period_bytes.load(), static_cast<std::size_t>(playback_bytes_per_second / 10));
    return queued_bytes() < unplayable;
}

std::size_t SoundOutput::fill_target() const {
    const auto seconds = static_cast<std::size_t>(ring_fill_seconds_ * playback_bytes_per_second);
    const std::size_t target = std::max(seconds, 4 * device_queue_.last_period_bytes.load());
    return std::min(target / playback_frame_bytes * playback_frame_bytes, ring_.capacity());
}

// --- Controls.

void SoundOutput::pause() {
    paused_ = true;
    {
        std::lock_guard<std::mutex> lock(device_.mutex);
        if (device_.ready) ma_device_stop(&device_.device);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    feed_cv_.notify_all();
}

// The clock stood still by choice; a resume does not take the pause for
// sound that has run out.
void SoundOutput::resume() {
    restart_clock();
    paused_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        room_.notify_all();
        feed_cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(device_.mutex);
    if (device_.ready && ma_device_get_state(&device_.device) != ma_device_state_started) {
        ma_device_start(&device_.device);
    }
}

// Takes effect at once for the clock and, through the ring, within the
// ring's fill for the sound.
void SoundOutput::set_speed(double factor) {
    speed_ = factor;
    clock_.set_rate(factor, steady_now_ns());
    std::lock_guard<std::mutex> lock(mutex_);
    feed_cv_.notify_all();
}

// --- The feeder.

void SoundOutput::start_feeding() {
    if (feeder_.joinable()) return;
    feeding_ = true;
    feeder_ = std::thread([this] {
        const LogInputScope log_scope(&log_input_);
        feed_loop();
    });
}

void SoundOutput::stop_feeding() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        feeding_ = false;
        feed_cv_.notify_all();
        room_.notify_all();
    }
    if (feeder_.joinable()) feeder_.join();
}

// Each step, under mutex_: hands over what the chain made last and moves
// sound into the ring while it is short of its fill; the chain itself runs
// outside the lock. A flush drops what the chain holds; a change of speed
// drains the chain at the old speed first, so no sound is lost or
// repeated. What the chain holds at stop() is handed over after a restart.
void SoundOutput::feed_loop() {
    while (feeding_) {
        if (!feed_once()) wait_for_feed_work(speed_);
    }
}

bool SoundOutput::feed_once() {
    const double factor = speed_;
    switch (next_feed_step(factor)) {
        case FeedStep::moved:
            return true;
        case FeedStep::drain:
            tempo_.drain(run_.made);
            return true;
        case FeedStep::change:
            change_chunk(factor);
            return true;
        case FeedStep::wait:
            break;
    }
    return false;
}

// The locked half of a feeder step: see feed_loop().
SoundOutput::FeedStep SoundOutput::next_feed_step(double factor) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (run_.serial != buffer_.serial()) {
        tempo_.reset();
        run_ = TempoRun{};
        run_.serial = buffer_.serial();
    } else {
        hand_over();
    }
    straight_ok_ = factor == 1.0 && !tempo_.built() && run_.made_given == run_.made.size();
    if (run_.made_given < run_.made.size()) return FeedStep::wait;
    run_.made.clear();
    run_.made_given = 0;
    const bool ends = drained_ && buffer_.empty();
    if (tempo_.built() && (tempo_.factor() != factor || ends)) return FeedStep::drain;
    if (buffer_.empty() || ring_bytes() >= fill_target()) return FeedStep::wait;
    if (factor == 1.0 && !tempo_.built()) return move_unchanged() ? FeedStep::moved : FeedStep::wait;
    const std::size_t count = std::min(chunk_bytes, buffer_.size() / playback_frame_bytes * playback_frame_bytes);
    if (count == 0) return FeedStep::wait;
    if (!tempo_.built()) run_.origin = buffer_.front_seconds();
    chunk_.resize(count);
    buffer_.take(chunk_.data(), count);
    publish_buffer_size();
    return FeedStep::change;
}

// At speed 1.0 the buffer's sound goes into the ring as it is, one run of
// its marks at a time, so that the ring's marks keep its times exactly.
// Called with mutex_ held.
bool SoundOutput::move_unchanged() {
    const std::size_t wanted = fill_target() - ring_bytes();
    std::size_t count = std::min({wanted, ring_.room(), buffer_.run_bytes()});
    count = count / playback_frame_bytes * playback_frame_bytes;
    if (count == 0) return false;
    const double seconds = buffer_.front_seconds();
    chunk_.resize(count);
    buffer_.take(chunk_.data(), count);
    publish_buffer_size();
    ring_.push(chunk_.data(), count, seconds, 1.0 / playback_bytes_per_second);
    return true;
}

// Puts what the chain made into the ring, as far as there is room, with
// the input time it stands for: the run's origin plus what the run has
// given so far, at its factor. Called with mutex_ held.
void SoundOutput::hand_over() {
    const std::size_t left = run_.made.size() - run_.made_given;
    std::size_t count = std::min(left, ring_.room());
    count = count / playback_frame_bytes * playback_frame_bytes;
    if (count == 0 && left > 0 && left < playback_frame_bytes) count = left;
    if (count == 0) return;
    const double per_byte = run_.factor / playback_bytes_per_second;
    const double seconds = run_.origin + run_.lead + static_cast<double>(run_.given) * per_byte;
    ring_.push(run_.made.data() + run_.made_given, count, seconds, per_byte);
    run_.made_given += count;
    run_.given += count;
}

// Runs one chunk through the chain, building it for `factor` at the start
// of a run. A chain libavfilter will not build, or that fails, passes the
// sound on unchanged (and its time with it), so playback goes on at 1.0.
void SoundOutput::change_chunk(double factor) {
    if (!tempo_.built()) {
        if (factor != run_.refused && factor != 1.0 && !tempo_.build(factor)) {
            run_.refused = factor;
            log_event(LogLevel::warning, "the sound cannot be played at speed " + std::to_string(factor) +
                                             ": libavfilter would not build the tempo chain");
        }
        run_.factor = tempo_.built() ? factor : 1.0;
        run_.lead = tempo_.built() ? tempo_.lead_seconds() : 0.0;
        run_.given = 0;
    }
    const int frames = static_cast<int>(chunk_.size() / playback_frame_bytes);
    try {
        if (!tempo_.built() || !tempo_.process(chunk_.data(), frames, run_.made)) {
            tempo_.reset();
            run_.made.insert(run_.made.end(), chunk_.begin(), chunk_.end());
        }
    } catch (const std::bad_alloc&) {
        // Out of memory costs this chunk's sound.
    }
}

// Nothing to move now: looks again shortly, as the device drains the ring
// (the callback never notifies), or, paused, after a longer while unless
// resume(), a change of speed or stop_feeding() wakes it.
void SoundOutput::wait_for_feed_work(double factor) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool paused = paused_;
    feed_cv_.wait_for(lock, paused ? paused_feed_poll : feed_poll, [this, factor, paused] {
        return speed_ != factor || !feeding_ || paused_ != paused;
    });
}

}  // namespace reelpipe
