// A seek request: the target and serial of the latest seek() (the latest
// wins: a request made while another is carried out replaces it), and the
// handshake by which seek() waits until the demux thread has tried it.
//
// Lock: `mutex` guards target, serial and done; `pending` is an atomic set
// and cleared under it, read without it by every thread that must give way
// to a seek. `cv` carries the handshake and the demux thread's timed waits
// (throttle, end of input, buffering), so a request or stop() ends them.
//
// Invariants (under `mutex`):
//   - serial counts the requests made; done is true only once the request
//     of that serial has been tried, and then pending is false;
//   - target is never negative nor NaN.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace reelpipe {

struct SeekRequest {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> pending{false};
    double target = 0.0;
    std::uint64_t serial = 0;
    bool done = false;

    // --- What the pipeline plays now: written by the demux thread's flush
    // alone, while it holds every queue and codec lock, so a seek that fails
    // leaves both as they were. Atomics, read without a lock.
    // Where the present serial plays from: the decode threads drop pictures
    // and sound before it. Never negative.
    std::atomic<double> playing_from{0.0};
    // The pipeline's serial, bumped by each flush. A decode thread records
    // it when it takes a packet and drops the packet if it has moved by the
    // time it holds its codec mutex; the callback counts what the device
    // holds per serial.
    std::atomic<std::uint64_t> generation{0};
};

}  // namespace reelpipe
