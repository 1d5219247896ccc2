// A seek request: the target and serial of the latest seek() (the latest
// wins: a request made while another is carried out replaces it), and the
// handshake by which seek() waits until the demux thread has tried it.
//
// Lock: `mutex` guards target, pictures_cut, serial and done; `pending` is an atomic set
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
    // Pictures before this time are not handed out after the seek: the
    // seek window before the target for a seek() (a picture at once, even
    // when the target falls between pictures), past the picture a step
    // showed for the seek a resume() makes to bring the sound to it.
    double pictures_cut = 0.0;
    std::uint64_t serial = 0;
    bool done = false;

    // --- What the pipeline plays now: written by the demux thread's flush
    // alone, before it empties anything, so a seek that fails leaves both as
    // they were. Atomics, read without a lock.
    // Where the present serial plays from: the audio thread drops the sound
    // before it, to the sample, so the sound starts where the position
    // says. Never negative.
    std::atomic<double> playing_from{0.0};
    // The video thread drops the pictures before this (the request's
    // pictures_cut).
    std::atomic<double> pictures_from{-0.1};  // the start keeps the seek window too
    // The pipeline's serial, bumped by each flush. The demux thread tags
    // every packet it queues with it; a decode thread flushes its decoder
    // when it takes a packet of a new serial, skips packets of an older one,
    // and drops what it made from one as it pushes it (under the picture
    // queue's or the sound output's lock, which the flush takes after the
    // bump to empty them); the sound output counts what the device holds
    // per serial.
    std::atomic<std::uint64_t> playing_serial{0};
};

}  // namespace reelpipe
