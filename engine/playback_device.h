// The playback device and what remaking it takes: the device, whether it is
// initialised, the name the caller chose, and the context a named device is
// looked up and played in.
//
// Lock: `mutex` guards `ready`, `context_ready` and every start, stop, init
// and uninit of the device and its context, so that a control on one thread
// never reaches a device that stop() is releasing on another. The device's
// callback never takes it. In the lock order it comes after the decoder's
// lifecycle_mutex and before the sound libraries' quieting lock.
//
// Invariants (under `mutex`): `device` is initialised exactly while `ready`;
// `context` exactly while `context_ready`, and then `device` plays in it.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include <miniaudio.h>

namespace reelpipe {

struct PlaybackDevice {
    // `chosen`: the name of the device to play on; empty for the default one.
    explicit PlaybackDevice(std::string chosen) : name(std::move(chosen)) {}
    PlaybackDevice(const PlaybackDevice&) = delete;
    PlaybackDevice& operator=(const PlaybackDevice&) = delete;

    std::mutex mutex;
    ma_device device;            // initialised only while ready
    bool ready = false;          // guarded by mutex
    const std::string name;      // fixed at construction
    ma_context context;          // a named device's own context, made anew for each device
    bool context_ready = false;  // guarded by mutex
};

}  // namespace reelpipe
