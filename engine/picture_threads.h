// The process's budget of FFmpeg picture threads. FFmpeg gives a video
// decoder opened with its own choice a frame thread per core and one more;
// every decoder opened that way would add as many, and a program with 64
// decoders would run hundreds of threads on a few cores, each a copy of its
// decoder's state and pictures in flight. So the open decoders of a process
// share one such choice's worth: a decoder opened while enough of it is
// left takes it, the rest decode on their own video thread alone. The
// share is given back when the decoder goes.
#pragma once

namespace reelpipe {

class PictureThreads {
public:
    PictureThreads() = default;
    ~PictureThreads() { give_back(); }
    PictureThreads(const PictureThreads&) = delete;
    PictureThreads& operator=(const PictureThreads&) = delete;

    // Takes this decoder's share; returns the thread count to open its
    // video decoder with (1: no thread of FFmpeg's own).
    int take();
    // Gives the share back (a video stream that would not open).
    void give_back();

private:
    int held = 0;
};

}  // namespace reelpipe
