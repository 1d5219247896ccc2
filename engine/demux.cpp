// The demux thread: reads packets into the two packet queues, keeps the
// read-ahead bounded, ends buffering, and carries out seeks.
#include "media_decoder.h"

namespace reelpipe {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long buffering, with enough read, waits for a first picture, and how
// often it looks.
constexpr std::int64_t longest_picture_wait_ns = 1'000'000'000;
constexpr milliseconds first_picture_poll{5};

// Appends a copy of `packet` and wakes the decode thread; `queued`, when
// given, mirrors the queue's length. A copy that cannot be allocated costs
// that packet; nothing null is ever queued.
void push_packet(std::mutex& mutex, std::condition_variable& cv, std::deque<PacketPtr>& queue,
                 std::atomic<std::size_t>* queued, const AVPacket& packet) {
    std::lock_guard<std::mutex> lock(mutex);
    PacketPtr copy = clone_packet(&packet);
    if (!copy) return;
    queue.push_back(std::move(copy));
    if (queued != nullptr) *queued = queue.size();
    cv.notify_one();
}

// Truncates a timestamp toward zero; a target too large for 64 bits (seek to
// 1e300 or infinity) becomes the largest timestamp instead of undefined.
std::int64_t saturating_timestamp(double units) {
    constexpr double largest = 9.2e18;
    return units < largest ? static_cast<std::int64_t>(units) : static_cast<std::int64_t>(largest);
}

// Says why reading stopped: the end of the input, or a failure (the network
// options have retried by then).
void log_read_stop(int error) {
    if (error == AVERROR_EOF) {
        log_event(LogLevel::debug, "end of the input reached");
        return;
    }
    char reason[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, reason, sizeof reason);
    log_event(LogLevel::warning, std::string("reading failed: ") + reason);
}

}  // namespace

void MediaDecoder::demux_loop() {
    PacketPtr packet = make_packet();
    while (running) {
        if (seek_requested) {
            carry_out_seek();
            continue;
        }
        const double lead = read_ahead();
        if (buffering && lead >= min_buffer_ahead && !end_buffering_with_a_picture()) {
            // Enough is read: another read could block in a stalled input
            // while the picture it waits for is being decoded.
            idle(first_picture_poll);
            continue;
        }
        if (!buffering && lead > max_buffer_ahead && !sound_starving()) {
            throttled_wait();
            continue;
        }
        // Without a packet to read into, behave as at the end of the input:
        // playback drains and the thread keeps answering seeks and stop().
        const int read = packet ? av_read_frame(format_ctx.get(), packet.get()) : AVERROR(ENOMEM);
        if (read < 0) {
            if (!end_of_stream) log_read_stop(read);
            handle_failed_read();
            continue;
        }
        route_packet(*packet);
        av_packet_unref(packet.get());
    }
}

// How far reading has run ahead of playback, in seconds. With pictures this
// is the video lead; an input without pictures measures the sound read
// against the sound played instead, so its read-ahead stays bounded too.
double MediaDecoder::read_ahead() const {
    const double lead = video_stream_index >= 0 ? demux_clock - video_clock : audio_demux_clock - audio_clock;
    return lead > 0.0 ? lead : 0.0;
}

// True when playback waits for sound that has not been read yet: less than
// min_buffer_ahead of sound lies read ahead of what has played. Some muxers
// store the sound far after the pictures it belongs with; the read-ahead
// limit must not then hold back the very packets the audio clock needs, or
// playback would crawl or stall for good. Sound that is over (see
// sound_gone()) starves nothing.
bool MediaDecoder::sound_starving() const {
    if (audio_stream_index < 0 || video_stream_index < 0 || sound_gone()) return false;
    return audio_demux_clock - audio_clock < min_buffer_ahead;
}

// True when the sound track has ended before the pictures: its last packet
// (by the duration the container declares) has been read, or, when no
// duration is known, sound_gone_after seconds of pictures have been read
// past the last sound.
bool MediaDecoder::sound_gone() const {
    const double last_sound = audio_demux_clock;
    return last_sound >= sound_end - 0.5 || demux_clock - last_sound > sound_gone_after;
}

// Ends buffering once pictures can be shown too: the input has none, a
// picture is queued, no more are coming, or the wait for one has lasted
// longest_picture_wait_ns. A first 4K picture takes a few hundred
// milliseconds to decode, and a clock started before it would leave the
// first pictures late; a video decoder that yields nothing must not hold
// the sound back for long either. False while buffering goes on. Takes
// frame_queue_mutex.
bool MediaDecoder::end_buffering_with_a_picture() {
    if (video_stream_index >= 0) {
        std::lock_guard<std::mutex> lock(frame_queue_mutex);
        const std::int64_t now = steady_now_ns();
        if (picture_wait_since == 0) picture_wait_since = now;
        if (frame_queue.empty() && !pictures_exhausted && now - picture_wait_since < longest_picture_wait_ns) {
            return false;
        }
    }
    picture_wait_since = 0;
    buffering = false;
    notify_frame_waiters();
    return true;
}

// Waits `duration`, or less when a seek or stop() comes.
void MediaDecoder::idle(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(seek_mutex);
    seek_cv.wait_until(lock, steady_clock::now() + duration, [this] { return seek_requested || !running; });
}

void MediaDecoder::notify_frame_waiters() {
    std::lock_guard<std::mutex> lock(frame_queue_mutex);
    frame_queue_cv.notify_all();
}

// Sends one packet read to the queue of its stream; packets of other streams
// are dropped.
void MediaDecoder::route_packet(const AVPacket& packet) {
    end_of_stream = false;
    if (packet.stream_index == video_stream_index) {
        if (packet.pts != AV_NOPTS_VALUE) demux_clock = timestamp_seconds(video_time_base, packet.pts);
        push_packet(video_packet_mutex, video_packet_cv, video_packet_queue, &video_packets_queued, packet);
    } else if (packet.stream_index == audio_stream_index) {
        if (packet.pts != AV_NOPTS_VALUE) audio_demux_clock = timestamp_seconds(audio_time_base, packet.pts);
        push_packet(audio_packet_mutex, audio_packet_cv, audio_packet_queue, nullptr, packet);
    }
}

// End of the input or a read error: let playback drain what it has, then
// try again after at most 100 ms (sooner while buffering waits for a first
// picture), or when a seek or stop() comes.
void MediaDecoder::handle_failed_read() {
    end_of_stream = true;
    seeking = false;
    notify_frame_waiters();
    if (buffering && !end_buffering_with_a_picture()) {
        idle(first_picture_poll);
        return;
    }
    idle(milliseconds(100));
}

// Waits up to 50 ms while the read-ahead is above its limit; a seek, stop()
// or a lead fallen below resume_buffer_ahead ends the wait early.
void MediaDecoder::throttled_wait() {
    std::unique_lock<std::mutex> lock(seek_mutex);
    seek_cv.wait_until(lock, steady_clock::now() + milliseconds(50), [this] {
        return seek_requested || !running || read_ahead() < resume_buffer_ahead || sound_starving();
    });
}

// Repositions the input at the latest target and empties the pipeline. A
// request that arrives meanwhile keeps seek_requested set, so the loop
// carries it out next and every waiting seek() returns only once the
// latest target has been reached.
void MediaDecoder::carry_out_seek() {
    double target = 0.0;
    std::uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> lock(seek_mutex);
        target = seek_target;
        serial = seek_serial;
    }
    if (video_stream_index >= 0) {
        const AVRational tb = video_time_base;
        const double units = target / (static_cast<double>(tb.num) / static_cast<double>(tb.den));
        av_seek_frame(format_ctx.get(), video_stream_index, saturating_timestamp(units), AVSEEK_FLAG_BACKWARD);
    } else {
        av_seek_frame(format_ctx.get(), -1, saturating_timestamp(target * AV_TIME_BASE), AVSEEK_FLAG_BACKWARD);
    }
    flush_pipeline(target);
    picture_wait_since = 0;  // the wait for a first picture starts anew
    {
        std::lock_guard<std::mutex> lock(seek_mutex);
        if (serial == seek_serial) {
            seek_requested = false;
            seek_done = true;
        }
        end_of_stream = false;
        seek_cv.notify_all();
    }
    notify_frame_waiters();
    {
        std::lock_guard<std::mutex> lock(audio_packet_mutex);
        audio_packet_cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(video_packet_mutex);
    video_packet_cv.notify_all();
}

// Empties every queue and the sound buffer, flushes both decoders and sets
// the clocks to `target`, holding all six pipeline locks in their order.
void MediaDecoder::flush_pipeline(double target) {
    std::lock_guard<std::mutex> video_codec(video_codec_mutex);
    std::lock_guard<std::mutex> audio_codec(audio_codec_mutex);
    std::lock_guard<std::mutex> video_packets(video_packet_mutex);
    std::lock_guard<std::mutex> audio_packets(audio_packet_mutex);
    std::lock_guard<std::mutex> frames(frame_queue_mutex);
    std::lock_guard<std::mutex> sound(audio_buffer_mutex);
    video_packet_queue.clear();
    video_packets_queued = 0;
    audio_packet_queue.clear();
    frame_queue.clear();
    frame_queue_bytes = 0;
    pictures_exhausted = false;
    wall_pacing_since_ns = 0;
    audio_buffer.clear();
    if (video_codec_ctx) avcodec_flush_buffers(video_codec_ctx.get());
    if (audio_codec_ctx) avcodec_flush_buffers(audio_codec_ctx.get());
    demux_clock = target;
    video_clock = target;
    audio_clock = target;
    audio_demux_clock = target;
    audio_clock_moved_at = steady_now_ns();
    ++flush_generation;
    // Room has appeared in the frame queue for a video thread waiting on it.
    frame_queue_cv.notify_all();
}

void MediaDecoder::seek(double seconds) {
    std::unique_lock<std::mutex> lock(seek_mutex);
    seek_target = seconds > 0.0 ? seconds : 0.0;  // NaN fails the test too
    buffering = true;
    seeking = true;
    seek_requested = true;
    seek_done = false;
    resync_audio_clock = true;
    ++seek_serial;
    // A caller blocked in frame delivery returns at once.
    notify_frame_waiters();
    seek_cv.notify_all();
    seek_cv.wait(lock, [this] { return seek_done || !running; });
}

}  // namespace reelpipe
