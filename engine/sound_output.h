// SoundOutput: everything between decoded sound and the speaker. The audio
// thread appends playback-format sound with its input time; a feeder thread
// of its own moves it, through the tempo chain at a speed other than 1.0,
// into a lock-free ring sized when the device opens; the device callback
// plays from that ring (and, at speed 1.0 when the ring runs short, straight
// from the buffer if its lock is free) and sets the sound's clock from the
// times the sound carries. The device, its context and backend, the sound's clock,
// speed and volume live here too; the rest of the engine talks to it
// through the methods below, and the clock is written by no one else.
//
// Threads and locks:
//   audio thread     append(), wait_for_room(), set_drained(): take mutex_
//   demux thread     flush(): takes mutex_
//   feeder thread    feed_loop(): takes mutex_ for each move into the ring;
//                    runs the tempo chain outside it
//   device thread    play_period(): tries reading_ and gives up at once
//                    (silence) when a flush holds it; short of sound at
//                    speed 1.0, tries mutex_ then reading_ to take from the
//                    buffer; then the clock's leaf lock. Never waits for a
//                    lock: reads only atomics, the ring's consumer side and
//                    what a tried lock guards
//   any thread       the controls: device.mutex for the device, mutex_ to
//                    wake the feeder; the reads: atomics and the clock's
//                    leaf lock
// Lock order: device.mutex -> the sound libraries' quieting lock
// (sound_device.cpp); mutex_ -> reading_ -> the clock's lock (a leaf). mutex_ and
// device.mutex are never held together. A caller may hold its own locks
// (the seek request's, the lifecycle's) around any method here, but no
// method takes a caller's lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <miniaudio.h>

#include "clock.h"
#include "device_queue.h"
#include "device_ring.h"
#include "log_queue.h"
#include "playback_device.h"
#include "sound_buffer.h"
#include "sound_tempo.h"

namespace reelpipe {

// Playback format: signed 16-bit interleaved stereo at 44,100 frames per
// second, which is what the device is opened with and what the resampler
// produces.
constexpr int playback_rate = 44100;
constexpr int playback_channels = 2;
constexpr int playback_frame_bytes = 4;
constexpr double playback_bytes_per_second = 176400.0;

// Pictures this many seconds before a seek target are still handed out
// (the first of them at once); the sound starts at the target itself.
constexpr double seek_window = 0.1;

// A playback device of the sound backend: its description, the name the
// system gives it (PulseAudio's sink name, ALSA's PCM name; empty where the
// backend has none), the backend's name, and whether it is the backend's
// default.
struct AudioDeviceInfo {
    std::string name;
    std::string system_name;
    std::string backend;
    bool is_default = false;
};

class SoundOutput {
public:
    // The ring is usually kept this full, and at least four device periods:
    // the feeder looks every 10 ms, and a busy machine may wake it late.
    // What the ring holds is also what still plays at the old speed after a
    // change. A player held near a live edge keeps less (see
    // MediaDecoder::ring_fill_for()).
    static constexpr double usual_ring_fill_seconds = 0.12;
    // What the callback asks of the player; called on the device thread,
    // so neither may block, allocate or take a lock.
    class Listener {
    public:
        // The player holds the sound back (buffering): play silence, keep it.
        virtual bool sound_held() const = 0;
        // A period played silence for want of sound: less than a period is
        // held in all.
        virtual void sound_ran_short() = 0;

    protected:
        ~Listener() = default;
    };

    // `device_name`: the device to play on, empty for the default one;
    // `ring_fill_seconds`: what the ring to the device is kept filled with
    // (at least four device periods).
    SoundOutput(std::string device_name, Listener& listener, LogInput& log_input,
                double ring_fill_seconds = usual_ring_fill_seconds);
    ~SoundOutput();
    SoundOutput(const SoundOutput&) = delete;
    SoundOutput& operator=(const SoundOutput&) = delete;

    // --- The device (sound_device.cpp).

    // Initialises the device, when it is not, and sizes the ring for it;
    // false when not even the null device can be made.
    bool open_device();
    // Stops and releases the device; the callback is not called after.
    void release_device();
    // Starts the device unless paused.
    void start_device();
    // The playback devices of the first backend that answers.
    static std::vector<AudioDeviceInfo> devices();
    // Throws std::invalid_argument for a name (system name or description)
    // the backend does not list.
    static void check_device(const std::string& name);

    // --- The sound (audio thread, demux thread).

    // Appends `count` bytes of pipeline `serial` that start at `seconds`
    // (NaN: no time, following on); the first sound of a serial anchors the
    // buffer and the clock. Sound that `joins` what is held (a looped
    // input's next lap) follows it at its own time, whatever the two times
    // say. Sound of a serial a flush has ended is dropped. May throw
    // std::bad_alloc.
    void append(const std::uint8_t* data, std::size_t count, double seconds, std::uint64_t serial,
                bool joins = false);
    // Waits while more than `limit` bytes are queued (the buffer and the
    // ring) and `give_up()` is
    // false: in steps of `poll` while the device plays, and while
    // `paused()` until notify_room().
    template <typename GiveUp, typename Paused>
    void wait_for_room(std::size_t limit, std::chrono::milliseconds poll, GiveUp give_up, Paused paused);
    // Wakes wait_for_room() after a change its caller's conditions read.
    void notify_room();
    // The sound of `serial` has all been appended (ignored for an old one);
    // expect_more() undoes it.
    void set_drained(std::uint64_t serial);
    void expect_more() { drained_ = false; }
    // Starts pipeline `serial` playing from `from`: drops every byte held,
    // sets the clock to `at`, and makes the next sound anchor again.
    void flush(std::uint64_t serial, double from, double at);

    // --- Controls (any thread).

    // Starts and stops the feeder thread, around the decoder's run.
    void start_feeding();
    void stop_feeding();
    void pause();
    void resume();
    void set_speed(double factor);
    double speed() const { return speed_; }
    void set_volume(float gain);
    // 0.0 while the device is released.
    float volume();
    // Sets the clock so that the sound heard stands at `seconds` (a step).
    void show_at(double seconds);
    // The clock stood still by choice (stopped, paused): it has not stalled.
    void restart_clock();

    // --- Reads (any thread, no lock but the clock's).

    // Input time of the first byte not handed to the device yet.
    double clock_seconds() const;
    // Input time of the sound reaching the listener now.
    double heard_seconds() const;
    Clock::Reading clock_reading() const;
    double clock_rate() const { return clock_.rate(); }
    // Bytes held for the device: the buffer and the ring, of the playing
    // serial.
    std::size_t queued_bytes() const;
    // Bytes the device asked for in its latest period.
    std::size_t period_bytes() const { return device_queue_.last_period_bytes; }
    // Less than a period (or a tenth of a second) is held: the callback
    // plays whole periods, so nothing will play it.
    bool left_unplayable() const;
    bool drained() const { return drained_; }
    bool anchored() const { return anchored_; }
    double device_latency() const { return device_queue_.latency; }
    // The least the sound heard can stand behind the newest sound appended
    // while it plays on: what the ring is kept filled with and what the
    // device holds.
    double least_lead() const {
        return static_cast<double>(fill_target()) / playback_bytes_per_second + device_queue_.latency;
    }
    double held_in_device() const { return device_queue_.held; }
    bool device_ready();

    // The callback's work for one period (the device thread, or a test).
    void play_period(void* output, std::uint32_t frame_count);
    // One move into the ring, as the feeder makes it; false when nothing
    // more can move now. For tests, which play without the feeder.
    bool feed_once();

private:
    friend class EngineProbe;

    // What one build of the tempo chain has made: the input time it starts
    // at, its factor, the bytes handed over and those made but not yet.
    struct TempoRun {
        std::uint64_t serial = 0;  // the buffer's serial it belongs to
        double origin = std::numeric_limits<double>::quiet_NaN();
        double factor = 1.0;
        double lead = 0.0;     // the chain's (SoundTempo::lead_seconds())
        double refused = 0.0;  // a factor the chain would not build for
        std::uint64_t given = 0;
        std::vector<std::uint8_t> made;
        std::size_t made_given = 0;  // bytes of `made` already in the ring
    };
    enum class FeedStep { moved, change, drain, wait };
    static constexpr double shortest_ring_seconds = 0.25;

    static void device_callback(ma_device* device, void* output, const void* input, ma_uint32 frame_count);
    bool take_straight(void* output, std::size_t bytes, double& next, double& per_byte);
    void count_device_period(std::uint32_t frame_count, bool sound, double rate);
    std::size_t ring_bytes() const;
    std::size_t fill_target() const;
    void publish_buffer_size() { buffer_bytes_ = buffer_.size(); }

    void feed_loop();
    FeedStep next_feed_step(double factor);
    bool move_unchanged();
    void hand_over();
    void change_chunk(double factor);
    void wait_for_feed_work(double factor);
    bool init_named_device(ma_device_config& config, const ma_context_config& context_config,
                           const std::vector<ma_backend>& backends, bool& paced_instead);

    Listener& listener_;
    LogInput& log_input_;
    const double ring_fill_seconds_;

    // Guards buffer_, anchored_'s writes, the producer side of ring_,
    // run_ between steps, and feeding_'s waits.
    // The audio thread waits on room_ for space, the feeder on feed_cv_;
    // each is notified under mutex_ by whoever changes what it waits for.
    std::mutex mutex_;
    std::condition_variable room_;
    std::condition_variable feed_cv_;
    // Media-rate sound waiting for the feeder, with its times.
    SoundBuffer buffer_{playback_rate, playback_frame_bytes};
    std::atomic<std::size_t> buffer_bytes_{0};  // buffer_.size(), stored under mutex_
    std::atomic<bool> anchored_{false};         // buffer_.anchored(), stored under mutex_
    // The handover to the callback; sized by open_device(). Its producer
    // side is used under mutex_, its consumer side under reading_.
    DeviceRing ring_;
    // The ring's reader: the callback only tries it (it never waits), a
    // flush takes it to empty the ring and set the clock, so a callback
    // finds the old sound and the old clock or neither. Held by either for
    // at most a period's copy.
    std::mutex reading_;
    // The pipeline serial playing: flush() stores it under mutex_ and
    // reading_; append() compares with it under mutex_.
    std::atomic<std::uint64_t> serial_{0};
    // Where the present serial plays from (flush()); under mutex_.
    double playing_from_ = 0.0;
    // The buffer's front follows the ring's end: speed 1.0, no tempo run
    // pending. Written by the feeder under mutex_; the callback reads it
    // under mutex_ (tried) to take straight from the buffer.
    bool straight_ok_ = true;
    // The audio decoder was drained for the present serial.
    std::atomic<bool> drained_{false};

    // The sound's clock: the input time of the first byte not yet handed
    // to the device. Written only here: by the callback from the ring's
    // marks, by flush() and the anchoring append(), and by the controls.
    Clock clock_;
    // What the device holds ahead of the listener (see device_queue.h).
    DeviceQueue device_queue_;
    // The device, its context and its lock (see playback_device.h).
    PlaybackDevice device_;
    std::atomic<bool> paused_{false};  // pause()/resume(); read by the callback
    std::atomic<float> volume_{1.0f};  // last volume set; applied to a reopened device
    std::atomic<double> speed_{1.0};   // set_speed(); the feeder and the clock follow it

    // The feeder thread and its state. feeding_ is set by start_feeding()
    // and cleared by stop_feeding(), which joins the thread; the chain and
    // the run are the feeder's alone while it runs (and a test's while it
    // does not).
    std::thread feeder_;
    std::atomic<bool> feeding_{false};
    SoundTempo tempo_{playback_rate};
    TempoRun run_;
    std::vector<std::uint8_t> chunk_;
};

template <typename GiveUp, typename Paused>
void SoundOutput::wait_for_room(std::size_t limit, std::chrono::milliseconds poll, GiveUp give_up, Paused paused) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (buffer_.size() + ring_bytes() > limit && !give_up()) {
        if (paused()) {
            room_.wait(lock);
        } else {
            room_.wait_for(lock, poll);
        }
    }
}

// Seconds of sound an initialised playback device keeps queued ahead of the
// listener while it plays.
double device_latency(const ma_device& device);

}  // namespace reelpipe
