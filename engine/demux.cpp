// The demux thread: reads packets into the two packet queues, keeps the
// read-ahead bounded, ends buffering, and carries out seeks.
#include <cmath>

#include "media_decoder.h"

namespace reelpipe {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long buffering, with enough read, waits for a first picture, and how
// often it looks.
constexpr std::int64_t longest_picture_wait_ns = 1'000'000'000;
constexpr milliseconds first_picture_poll{5};

// A timestamp this many seconds away from where its stream was heading is a
// join, on formats that allow them: within one stream, packets lie a
// picture or a sound frame apart. It also tells whether the two streams'
// joins are the same one.
constexpr double join_threshold = 3.0;

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
    log_event(LogLevel::warning, "reading failed: " + ffmpeg_error_text(error));
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
        if (buffering && lead >= min_buffer_ahead && !end_buffering_with_a_picture() && !pictures_starving()) {
            // Enough is read: another read could block in a stalled input
            // while the picture it waits for is being decoded.
            idle(first_picture_poll);
            continue;
        }
        if (!buffering && lead > max_buffer_ahead && !sound_starving() && !pictures_starving()) {
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

// True when the video decoder has nothing left to turn into a picture: no
// packet queued and no picture waiting. A decoder holds back a few packets
// (reordering, frame threads) before its first picture comes out, so a
// read-ahead limit shorter than that delay would otherwise stop reading for
// good. Takes frame_queue_mutex (also from inside the throttled wait, under
// seek_mutex, which comes first only there: nothing takes seek_mutex under it).
bool MediaDecoder::pictures_starving() {
    if (video_stream_index < 0 || video_packets_queued != 0) return false;
    std::lock_guard<std::mutex> lock(frame_queue_mutex);
    return frame_queue.empty() && !pictures_exhausted;
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

// Sends one packet read to the queue of its stream, its timestamps carried
// across any join; packets of other streams are dropped.
void MediaDecoder::route_packet(AVPacket& packet) {
    end_of_stream = false;
    end_of_stream_since_ns = 0;
    if (packet.stream_index == video_stream_index) {
        const TimestampJoins* leader = audio_stream_index >= 0 ? &audio_joins : nullptr;
        follow_joins(video_joins, video_time_base, packet, leader, audio_time_base);
        if (packet.pts != AV_NOPTS_VALUE) demux_clock = stream_seconds(video_time_base, packet.pts);
        push_packet(video_packet_mutex, video_packet_cv, video_packet_queue, &video_packets_queued, packet);
    } else if (packet.stream_index == audio_stream_index) {
        follow_joins(audio_joins, audio_time_base, packet, nullptr, audio_time_base);
        if (packet.pts != AV_NOPTS_VALUE) audio_demux_clock = stream_seconds(audio_time_base, packet.pts);
        push_packet(audio_packet_mutex, audio_packet_cv, audio_packet_queue, nullptr, packet);
    }
}

// On a format whose timestamps may jump, a packet more than join_threshold
// away from where its stream was heading starts a new piece (two recordings
// joined, a broadcast splice): the stream's timestamps are moved from there
// on so that they carry on where they were, and the decoders, the clocks and
// frame delivery see one continuous stream. The pictures after a join are
// then neither held back nor dropped as late. At a join the demuxer may hand
// out the last packets of one stream's old piece after the other's new piece
// began, so each stream finds its own joins. The sound plays on byte after
// byte whatever its timestamps say, so once both streams have joined the
// same piece the pictures take the sound's offset (`leader`), which keeps
// the new piece's own sync.
void MediaDecoder::follow_joins(TimestampJoins& joins, AVRational time_base, AVPacket& packet,
                                const TimestampJoins* leader, AVRational leader_time_base) const {
    if (!joins_possible) return;
    const std::int64_t dts = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (dts == AV_NOPTS_VALUE) return;
    if (joins.next_dts != AV_NOPTS_VALUE &&
        std::fabs(timestamp_seconds(time_base, dts + joins.offset - joins.next_dts)) > join_threshold) {
        joins.offset = joins.next_dts - dts;
        joins.joined_at = timestamp_seconds(time_base, dts);
    }
    if (leader != nullptr && !std::isnan(joins.joined_at) &&
        std::fabs(leader->joined_at - joins.joined_at) < join_threshold) {
        joins.offset = av_rescale_q(leader->offset, leader_time_base, time_base);
    }
    if (packet.pts != AV_NOPTS_VALUE) packet.pts += joins.offset;
    if (packet.dts != AV_NOPTS_VALUE) packet.dts += joins.offset;
    joins.next_dts = dts + joins.offset + (packet.duration > 0 ? packet.duration : joins.step);
}

// After a seek the input is read from another place: its timestamps count
// as they are again until the next join. Demux thread only.
void MediaDecoder::forget_joins() {
    for (TimestampJoins* joins : {&video_joins, &audio_joins}) {
        joins->offset = 0;
        joins->next_dts = AV_NOPTS_VALUE;
        joins->joined_at = std::numeric_limits<double>::quiet_NaN();
    }
}

// End of the input or a read error: let playback drain what it has, then
// try again after at most 100 ms (sooner while buffering waits for a first
// picture), or when a seek or stop() comes.
void MediaDecoder::handle_failed_read() {
    if (end_of_stream_since_ns == 0) end_of_stream_since_ns = steady_now_ns();
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
        return seek_requested || !running || read_ahead() < resume_buffer_ahead || sound_starving() ||
               pictures_starving();
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
    // The target counts from the input's start; the input seeks on its own
    // timestamps.
    const double input_time = target + time_origin;
    if (target <= 0.0 && rewind_by_bytes()) {
        // Done: the first picture is where the input begins.
    } else if (video_stream_index >= 0) {
        const AVRational tb = video_time_base;
        const double units = input_time / (static_cast<double>(tb.num) / static_cast<double>(tb.den));
        av_seek_frame(format_ctx.get(), video_stream_index, saturating_timestamp(units), AVSEEK_FLAG_BACKWARD);
    } else {
        av_seek_frame(format_ctx.get(), -1, saturating_timestamp(input_time * AV_TIME_BASE), AVSEEK_FLAG_BACKWARD);
    }
    forget_joins();
    flush_pipeline(target);
    picture_wait_since = 0;  // the wait for a first picture starts anew
    {
        std::lock_guard<std::mutex> lock(seek_mutex);
        if (serial == seek_serial) {
            seek_requested = false;
            seek_done = true;
        }
        end_of_stream = false;
        end_of_stream_since_ns = 0;
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

// Repositions a stream format (MPEG-TS and its kin, which can be read from
// any byte) at its first byte, where its first picture is: a seek by
// timestamp to that picture lands on the next key frame instead. False for
// other formats, and when the input cannot seek.
bool MediaDecoder::rewind_by_bytes() {
    if (!joins_possible || (format_ctx->iformat->flags & AVFMT_NO_BYTE_SEEK)) return false;
    return av_seek_frame(format_ctx.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0;
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
    sound_exhausted = false;
    wall_pacing_since_ns = 0;
    audio_buffer.clear();
    lead_in_bytes = 0;
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
    refuse_if_inherited();
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
    notify_sound_waiter();
    seek_cv.notify_all();
    seek_cv.wait(lock, [this] { return seek_done || !running; });
}

}  // namespace reelpipe
