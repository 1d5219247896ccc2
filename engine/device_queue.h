// What the playback device holds ahead of the listener: the sound handed to
// it that is not heard yet, so that the position is the sound heard rather
// than the sound handed over. All atomics, no lock: the device callback
// writes them, any thread reads them.
//
// Invariants:
//   - 0 <= held <= latency x the playback speed;
//   - held counts only sound of the sound buffer's serial held_serial: a
//     flush leaves nothing of the new position queued.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace reelpipe {

struct DeviceQueue {
    // Bytes the device asked for in its latest period (callback only): less
    // than this left in the sound buffer can never be played.
    std::atomic<std::size_t> last_period_bytes{0};
    // Seconds of sound the device keeps queued ahead of the listener once
    // its buffer is full of sound (see device_latency()). Written where the
    // device is initialised, under the device's lock; read by the callback.
    std::atomic<double> latency{0.0};
    // Sound held ahead of what is heard now, in the input seconds it stands
    // for at the speed it was handed over at (the device holds up to
    // latency of it), and the serial it was counted in. Written by the callback, and emptied
    // where the device is initialised, when no callback runs.
    std::atomic<double> held{0.0};
    std::atomic<std::uint64_t> held_serial{0};
};

}  // namespace reelpipe
