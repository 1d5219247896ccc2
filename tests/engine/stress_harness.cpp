// Drives one MediaDecoder from several threads at once, without the
// interpreter, so that ThreadSanitizer (or AddressSanitizer) sees every
// concurrent path of the engine: seek storms, pause and resume, two callers
// of get_next_frame(), and stop() during each kind of wait; the storm once
// on the clip's path and once on its bytes read through a caller's reader.
//
// Usage: stress_harness CLIP SECONDS
// Exits 0 when every scenario finished; a watchdog aborts the process (and
// so fails the run) when any of them hangs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "media_decoder.h"

using reelpipe::MediaDecoder;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<std::int64_t> last_progress_ns{0};

void note_progress() { last_progress_ns = Clock::now().time_since_epoch().count(); }

// Aborts the process when no scenario has made progress for `limit`.
void watchdog(const std::atomic<bool>& done, std::chrono::seconds limit) {
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto idle = Clock::now().time_since_epoch().count() - last_progress_ns.load();
        if (idle > std::chrono::duration_cast<Clock::duration>(limit).count()) {
            std::fprintf(stderr, "stress_harness: no progress for %lld s, giving up\n",
                         static_cast<long long>(limit.count()));
            std::abort();
        }
    }
}

void consume(MediaDecoder& decoder, const std::atomic<bool>& quit) {
    while (!quit) {
        reelpipe::FramePtr picture = decoder.get_next_frame();
        note_progress();
        if (!picture) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The clip's bytes from memory, as a caller's reader.
class MemorySource final : public reelpipe::ByteSource {
public:
    explicit MemorySource(const std::string& clip)
        : bytes_(std::istreambuf_iterator<char>(std::ifstream(clip, std::ios::binary).rdbuf()), {}) {}

    int read(std::uint8_t* into, int size, const GivenUp& given_up, std::string& /*failure*/) override {
        if (given_up()) return AVERROR_EXIT;
        const auto count = std::min<std::int64_t>(size, static_cast<std::int64_t>(bytes_.size()) - at_);
        if (count <= 0) return AVERROR_EOF;
        std::memcpy(into, bytes_.data() + at_, static_cast<std::size_t>(count));
        at_ += count;
        return static_cast<int>(count);
    }

    std::int64_t seek(std::int64_t offset, int whence, const GivenUp& /*given_up*/,
                      std::string& /*failure*/) override {
        const auto size = static_cast<std::int64_t>(bytes_.size());
        if (whence == AVSEEK_SIZE) return size;
        const std::int64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? at_ : size;
        if (from + offset < 0) return AVERROR(EINVAL);
        at_ = from + offset;
        return at_;
    }

    bool seekable() const override { return true; }

private:
    std::string bytes_;
    std::int64_t at_ = 0;  // the engine's reading thread's alone
};

// Four threads call every operation at random for `seconds`.
void storm(const std::string& clip, int seconds, bool through_reader) {
    reelpipe::DecoderOptions options;
    if (through_reader) options.reader = std::make_shared<MemorySource>(clip);
    MediaDecoder decoder(clip, options);
    decoder.start();
    std::atomic<bool> quit{false};
    std::vector<std::thread> threads;
    threads.emplace_back(consume, std::ref(decoder), std::cref(quit));
    threads.emplace_back(consume, std::ref(decoder), std::cref(quit));
    threads.emplace_back([&] {
        std::mt19937 random(1);
        std::uniform_real_distribution<double> target(-1.0, decoder.get_duration() + 1.0);
        while (!quit) {
            decoder.seek(target(random));
            note_progress();
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
        }
    });
    threads.emplace_back([&] {
        std::mt19937 random(2);
        while (!quit) {
            switch (random() % 8) {
                case 0: decoder.pause(); break;
                case 1: decoder.resume(); break;
                case 2: decoder.set_volume(static_cast<float>(random() % 100) / 50.0f); break;
                case 3: (void)decoder.get_volume(); break;
                case 4: (void)decoder.get_position(); break;
                case 5: decoder.set_speed(0.25 * static_cast<double>(1 + random() % 16)); break;
                case 6:
                    try {
                        decoder.step(random() % 2 == 0 ? 1 : -1);
                    } catch (const std::runtime_error&) {
                        // Refused while stop() has the decoder stopped.
                    }
                    break;
                default: (void)decoder.is_buffering(); break;
            }
            note_progress();
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 10));
        }
    });
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::mt19937 random(3);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 300));
        // stop() and start() race everything above.
        decoder.stop();
        decoder.start();
        decoder.resume();
        note_progress();
    }
    quit = true;
    decoder.stop();  // wakes consumers and seekers that wait
    for (std::thread& thread : threads) thread.join();
}

// stop() from another thread must end each kind of wait.
void stop_during_waits(const std::string& clip) {
    {  // a caller blocked in get_next_frame() while paused
        MediaDecoder decoder(clip);
        decoder.start();
        decoder.pause();
        std::thread caller([&] {
            for (int i = 0; i < 1000 && decoder.get_next_frame(); ++i) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        decoder.stop();
        caller.join();
        note_progress();
    }
    {  // seek() callers racing stop()
        MediaDecoder decoder(clip);
        decoder.start();
        std::vector<std::thread> seekers;
        for (int i = 0; i < 3; ++i) seekers.emplace_back([&, i] { decoder.seek(0.5 * i); });
        decoder.stop();
        for (std::thread& seeker : seekers) seeker.join();
        note_progress();
    }
    {  // the demux thread throttled (nobody takes pictures) and at the end of the input
        MediaDecoder decoder(clip);
        decoder.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        decoder.stop();
        note_progress();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CLIP SECONDS\n", argv[0]);
        return 2;
    }
    const std::string clip = argv[1];
    const int seconds = std::atoi(argv[2]);
    // FFmpeg's messages then go to the engine's queue, which nothing here
    // reads, rather than to stderr.
    reelpipe::install_ffmpeg_log_callback();
    note_progress();
    std::atomic<bool> done{false};
    std::thread guard(watchdog, std::cref(done), std::chrono::seconds(20));
    stop_during_waits(clip);
    storm(clip, (seconds + 1) / 2, false);
    storm(clip, (seconds + 1) / 2, true);
    done = true;
    guard.join();
    std::puts("stress_harness: all scenarios finished");
    return 0;
}
