// The demux thread: reads packets into the two packet queues, keeps the
// read-ahead bounded, ends buffering, and carries out seeks.
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/intreadwrite.h>
}

#include "media_decoder.h"

namespace reelpipe {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long buffering, with enough read, waits for a first picture, and how
// often it looks.
constexpr std::int64_t longest_picture_wait_ns = 1'000'000'000;
constexpr milliseconds first_picture_poll{5};

// The pictures count as over, for the read-ahead and buffering rules, once
// this many seconds of sound have been read past the last picture: a
// stream of sound that outlasts its pictures (or a live input whose
// pictures stop) must not wait for pictures that never come.
constexpr double pictures_gone_after = 2.0;

// The sound counts as over, for the same rules, once this many seconds of
// pictures have been read past the last sound (when the container does not
// say where the sound ends): some muxers store the sound far after the
// pictures it belongs with.
constexpr double sound_gone_after = 30.0;

// Appends a copy of `packet`, read for pipeline `serial`, to `queue` with
// its time and wakes the decode thread; a copy that cannot be allocated
// costs that packet.
void push_packet(PacketQueue& queue, const AVPacket& packet, std::uint64_t serial, double seconds,
                 bool lap_start = false) {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.push(packet, serial, seconds, lap_start);
}

// The samples a sound decoder trims from the start and the end of what
// `packet` decodes to (Opus and Vorbis pre-skip, the end's padding), by
// the packet's side data.
std::pair<std::uint32_t, std::uint32_t> trimmed_samples(const AVPacket& packet) {
    std::size_t size = 0;
    const std::uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (side == nullptr || size < 8) return {0, 0};
    return {AV_RL32(side), AV_RL32(side + 4)};
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
    while (status.running()) {
        if (seek_request.pending) {
            carry_out_seek();
            continue;
        }
        const double lead = read_ahead();
        if (status.held() && lead >= options.min_buffer_ahead && !end_buffering_with_a_picture() && !pictures_starving()) {
            // Enough is read: another read could block in a stalled input
            // while the picture it waits for is being decoded.
            wait_for_first_picture();
            continue;
        }
        if (!status.held() && lead > options.max_buffer_ahead && !sound_starving() && !pictures_starving()) {
            throttled_wait();
            continue;
        }
        // Without a packet to read into, behave as at the end of the input:
        // playback drains and the thread keeps answering seeks and stop().
        const int read = packet ? av_read_frame(format_ctx.get(), packet.get()) : AVERROR(ENOMEM);
        if (read < 0) {
            if (read == AVERROR_EOF && loop_to_start()) continue;
            end_is_final = read == AVERROR_EOF && input_cannot_grow();
            // A read abandoned by stop() is no failure of the input.
            if (!status.input_ended() && status.running()) log_read_stop(read);
            handle_failed_read();
            continue;
        }
        route_packet(*packet);
        av_packet_unref(packet.get());
        steer_live();
    }
}

// How far reading has run ahead of playback, in seconds, measured on the
// stream that is still going: the video lead while pictures come; the sound
// read against the sound played for an input without pictures, and once
// the pictures are over while the sound goes on, so that its read-ahead
// stays bounded and buffering ends on it.
double MediaDecoder::read_ahead() const {
    const double lead = pictures_going() ? video_packets_in.read_to() - video_clock
                                         : audio_packets_in.read_to() - sound.clock_seconds();
    return lead > 0.0 ? lead : 0.0;
}

// True while the input's pictures still come: it has pictures, and, when it
// has sound too, less than pictures_gone_after seconds of sound have been
// read past the last picture.
bool MediaDecoder::pictures_going() const {
    if (video_stream_index < 0) return false;
    if (audio_stream_index < 0) return true;
    return audio_packets_in.read_to() - video_packets_in.read_to() <= pictures_gone_after;
}

// True when playback waits for sound that has not been read yet: less than
// options.min_buffer_ahead of sound lies read ahead of what has played. Some muxers
// store the sound far after the pictures it belongs with; the read-ahead
// limit must not then hold back the very packets the audio clock needs, or
// playback would crawl or stall for good. Sound that is over (see
// sound_gone()) starves nothing.
bool MediaDecoder::sound_starving() const {
    if (audio_stream_index < 0 || video_stream_index < 0 || sound_gone()) return false;
    return audio_packets_in.read_to() - sound.clock_seconds() < options.min_buffer_ahead;
}

// True when the video decoder has nothing left to turn into a picture: no
// packet queued and no picture waiting. A decoder holds back a few packets
// (reordering, frame threads) before its first picture comes out, so a
// read-ahead limit shorter than that delay would otherwise stop reading for
// good. Takes pictures.mutex (also from inside the throttled wait, under
// seek_request.mutex, which comes first only there: nothing takes seek_request.mutex under it).
bool MediaDecoder::pictures_starving() {
    if (video_stream_index < 0 || video_packets_in.queued() != 0) return false;
    std::lock_guard<std::mutex> lock(pictures.mutex);
    return pictures.empty() && !pictures.drained();
}

// True when the sound track has ended before the pictures: its last packet
// (by the duration the container declares) has been read, or, when no
// duration is known, sound_gone_after seconds of pictures have been read
// past the last sound.
bool MediaDecoder::sound_gone() const {
    const double last_sound = audio_packets_in.read_to();
    // A looped input reads past the sound's end lap after lap.
    return (!options.loop && last_sound >= sound_end - 0.5) || video_packets_in.read_to() - last_sound > sound_gone_after;
}

// Ends buffering once pictures can be shown too: the input has none or
// nothing paces them, a picture is queued, no more are coming, or the wait
// for one has lasted
// longest_picture_wait_ns. A first 4K picture takes a few hundred
// milliseconds to decode, and a clock started before it would leave the
// first pictures late; a video decoder that yields nothing must not hold
// the sound back for long either. False while buffering goes on. Takes
// pictures.mutex.
bool MediaDecoder::end_buffering_with_a_picture() {
    // Pictures nothing paces are handed out as they come (see
    // pictures_unpaced()): no clock waits for the first.
    if (video_stream_index >= 0 && !pictures_unpaced()) {
        std::lock_guard<std::mutex> lock(pictures.mutex);
        const std::int64_t now = steady_now_ns();
        if (status.picture_wait_since == 0) status.picture_wait_since = now;
        if (pictures.empty() && !pictures.drained() && now - status.picture_wait_since < longest_picture_wait_ns) {
            return false;
        }
    }
    status.picture_wait_since = 0;
    status.buffering_done();
    notify_frame_waiters();
    return true;
}

// Waits while buffering for a picture to end it with: until the video
// thread queues one (see picture_queued_while_held()), a seek or stop()
// comes, or first_picture_poll has passed, to look again whether the wait
// has lasted too long or no picture is coming.
void MediaDecoder::wait_for_first_picture() {
    std::unique_lock<std::mutex> lock(seek_request.mutex);
    seek_request.cv.wait_until(lock, steady_clock::now() + first_picture_poll, [this] {
        if (seek_request.pending || !status.running()) return true;
        std::lock_guard<std::mutex> queued(pictures.mutex);
        return !pictures.empty();
    });
}

// Waits `duration`, or less when a seek or stop() comes.
void MediaDecoder::idle(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(seek_request.mutex);
    seek_request.cv.wait_until(lock, steady_clock::now() + duration, [this] { return seek_request.pending || !status.running(); });
}

void MediaDecoder::notify_frame_waiters() {
    std::lock_guard<std::mutex> lock(pictures.mutex);
    pictures.cv.notify_all();
}

// Sends one packet read to the queue of its stream, its timestamps carried
// across any join; packets of other streams are dropped.
void MediaDecoder::route_packet(AVPacket& packet) {
    status.input_goes_on();
    if (packet.stream_index == video_stream_index) {
        route_stream_packet(packet, {video_packets_in, joins.video, video_time_base,
                                     audio_stream_index >= 0 ? &joins.audio : nullptr, audio_time_base, true,
                                     laps.pictures_seam});
    } else if (packet.stream_index == audio_stream_index) {
        route_stream_packet(packet, {audio_packets_in, joins.audio, audio_time_base,
                                     video_stream_index >= 0 ? &joins.video : nullptr, video_time_base, false,
                                     laps.sound_seam});
    }
}

// Carries a packet of the route's stream across any join of its timestamps
// and into its lap, and queues it in the pipeline now playing.
void MediaDecoder::route_stream_packet(AVPacket& packet, const PacketRoute& route) {
    if (joins.possible) {
        follow_joins(route.joins, route.time_base, packet.pts, packet.dts, packet.duration, route.other_joins,
                     route.other_time_base, route.is_video);
    }
    if (!route.is_video) keep_lap_end_trimming(packet);
    shift_into_lap(packet, route.time_base);
    const double seconds = packet_seconds(route.time_base, packet);
    hold_for_live(packet, seconds, route.is_video);
    push_packet(route.queue, packet, seek_request.playing_serial, seconds, std::exchange(route.seam, false));
}

// With options.loop: every lap is the same stream, so its sound ends with
// the samples trimmed the first time the end was read. Ogg's Vorbis timing,
// taken up again after the seek to the start, runs up to a block late (its
// packet lengths are worked out from a previous block it has not read),
// and the end trimming it derives from those times would cut as much real
// sound from the end of every later lap.
void MediaDecoder::keep_lap_end_trimming(AVPacket& packet) {
    if (!options.loop) return;
    std::size_t size = 0;
    std::uint8_t* side = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (side == nullptr || size < 8 || AV_RL32(side + 4) == 0) return;
    if (laps.sound_end_trimmed < 0) {
        laps.sound_end_trimmed = AV_RL32(side + 4);
        return;
    }
    AV_WL32(side + 4, static_cast<std::uint32_t>(laps.sound_end_trimmed));
}

// With options.loop: notes where the packet's stream begins and ends by it
// (sound less what its decoder trims), and moves its timestamps into the
// lap being read.
void MediaDecoder::shift_into_lap(AVPacket& packet, AVRational time_base) {
    if (!options.loop || packet.pts == AV_NOPTS_VALUE) return;
    double start = packet_seconds(time_base, packet);
    double end = start + (packet.duration > 0 ? packet.duration * av_q2d(time_base) : 0.0);
    const bool sound = packet.stream_index == audio_stream_index;
    const int sample_rate = sound ? format_ctx->streams[packet.stream_index]->codecpar->sample_rate : 0;
    if (sample_rate > 0) {
        const auto [skipped, discarded] = trimmed_samples(packet);
        start += static_cast<double>(skipped) / sample_rate;
        end -= static_cast<double>(discarded) / sample_rate;
    }
    double& stream_start = sound ? laps.sound_read_start : laps.pictures_read_start;
    double& stream_end = sound ? laps.sound_read_end : laps.pictures_read_end;
    stream_start = std::min(stream_start, start);
    stream_end = std::max(stream_end, end);
    if (laps.offset == 0.0) return;
    const std::int64_t shift = std::llround(laps.offset / av_q2d(time_base));
    packet.pts += shift;
    if (packet.dts != AV_NOPTS_VALUE) packet.dts += shift;
}

// At the end of the input with options.loop: reads on from the start as the
// next lap, its timestamps moved on by the lap's length, so that the sound
// buffer carries on across the seam as within the input and the next lap is
// decoded before the sound of this one runs out. The first packet of each
// stream in the new lap is marked: its decoder gives up what it holds of
// the lap before and starts afresh there (see decode_loop()). False when
// the input cannot be read from the start again: it then ends as without
// loop.
bool MediaDecoder::loop_to_start() {
    const double length = lap_length();
    if (!options.loop || length <= 0.0) return false;
    std::vector<PacketPtr> read_on_arrival;
    if (reposition(0.0, read_on_arrival) < 0) return false;
    joins.forget();
    laps.pictures_base = std::isfinite(laps.pictures_read_start) ? std::max(laps.pictures_read_start, 0.0) : 0.0;
    laps.length = length;
    laps.offset += length;
    laps.sound_seam = laps.pictures_seam = true;
    for (PacketPtr& packet : read_on_arrival) route_packet(*packet);
    return true;
}

// How long a lap lasts: the sound's span when it ends with the pictures
// (within sound_ends_with_pictures), so that the sound joins its next lap
// to the sample; the last picture may then overlap the next lap's first by
// a moment, which shows them in order all the same. Otherwise from the
// earlier stream's start to the later one's end.
double MediaDecoder::lap_length() const {
    constexpr double sound_ends_with_pictures = 0.25;
    const bool sound_read = audio_stream_index >= 0 && laps.sound_read_end > 0.0;
    if (sound_read && laps.sound_read_end >= laps.pictures_read_end - sound_ends_with_pictures) {
        return laps.sound_read_end - laps.sound_read_start;
    }
    const double start = std::min({laps.sound_read_start, laps.pictures_read_start, 0.0});
    return std::max(laps.sound_read_end, laps.pictures_read_end) - start;
}

// True when the input has a size and it is what it was at opening: a
// finished file, or a download of known length. A file still being written
// has grown since.
bool MediaDecoder::input_cannot_grow() {
    AVIOContext* bytes = format_ctx->pb;
    return bytes != nullptr && opened_size > 0 && avio_size(bytes) == opened_size;
}

// A time of the pipeline as the caller sees it: from the start of its lap.
// A lap's times lie from `base` on (where its stream's first packet is):
// the last pictures of a lap whose sound ends first run past its length,
// and still belong to it.
double MediaDecoder::in_lap(double seconds, double base) const {
    const double length = laps.length;
    return length > 0.0 && seconds >= length + base ? std::fmod(seconds - base, length) + base : seconds;
}

double MediaDecoder::picture_in_lap(double seconds) const { return in_lap(seconds, laps.pictures_base); }

// A position no further than the input's length, on a format whose length
// is fixed: the sound's last moments may count a little past it (the tempo
// stage's padding at the end). Formats whose timestamps may jump (joined
// recordings, a file still being written) play on past what the container
// said at opening, and are left as they are.
double MediaDecoder::within_length(double seconds) const {
    return joins.possible ? seconds : timeline.clamp(seconds);
}

// End of the input or a read error: let playback drain what it has, then
// try again after at most 100 ms (sooner while buffering waits for a first
// picture), or when a seek or stop() comes.
void MediaDecoder::handle_failed_read() {
    status.note_input_end(steady_now_ns());
    status.seek_settled();
    notify_frame_waiters();
    if (status.held() && !end_buffering_with_a_picture()) {
        wait_for_first_picture();
        return;
    }
    idle(milliseconds(100));
}

// Waits up to 50 ms while the read-ahead is above its limit; a seek, stop()
// or a lead fallen below resume_buffer_ahead() ends the wait early.
void MediaDecoder::throttled_wait() {
    std::unique_lock<std::mutex> lock(seek_request.mutex);
    seek_request.cv.wait_until(lock, steady_clock::now() + milliseconds(50), [this] {
        return seek_request.pending || !status.running() || read_ahead() < resume_buffer_ahead() || sound_starving() ||
               pictures_starving();
    });
}

// Repositions the input at the latest target and, when the input could be
// repositioned, empties the pipeline for the new serial. A request that
// arrives meanwhile keeps seek_request.pending set, so the loop carries it out
// next and every waiting seek() returns only once the latest target has
// been tried. A seek the input cannot carry out (a pipe, a demuxer that
// cannot seek) changes nothing: playback goes on where it was, and a
// WARNING says why.
void MediaDecoder::carry_out_seek() {
    double target = 0.0;
    double pictures_cut = 0.0;
    std::uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> lock(seek_request.mutex);
        target = seek_request.target;
        pictures_cut = seek_request.pictures_cut;
        serial = seek_request.serial;
    }
    std::vector<PacketPtr> read_on_arrival;
    const int moved = reposition(target, read_on_arrival);
    if (moved >= 0) {
        joins.forget();
        laps.offset = 0.0;
        flush_pipeline(target, pictures_cut);
        status.picture_wait_since = 0;  // the wait for a first picture starts anew
        for (PacketPtr& packet : read_on_arrival) route_packet(*packet);
    } else {
        char shown[32];
        std::snprintf(shown, sizeof shown, "%.3f", target);
        log_event(LogLevel::warning, std::string("seek to ") + shown + " s failed: " + ffmpeg_error_text(moved) +
                                         "; playback goes on where it was");
    }
    {
        std::lock_guard<std::mutex> lock(seek_request.mutex);
        if (serial == seek_request.serial) {
            seek_request.pending = false;
            seek_request.done = true;
        }
        if (moved >= 0) {
            status.input_goes_on();
        }
        seek_request.cv.notify_all();
    }
    notify_frame_waiters();
    {
        std::lock_guard<std::mutex> lock(audio_packets_in.mutex);
        audio_packets_in.cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(video_packets_in.mutex);
    video_packets_in.cv.notify_all();
}

// Moves the input to `target` (seconds from its start): by bytes to its
// start on a stream format, else by timestamp to the key frame at or before
// the target. FFmpeg's result: negative when the input could not be moved.
//
// A stream format (MPEG-TS and its kin) seeks by timestamp onto the next
// key frame rather than the one before the target, up to two groups of
// pictures late (or on a picture that is no key frame, from which nothing
// decodes until the next one). There the first key frame read tells where
// the seek landed: when it is past the target (or there is none before the
// end), the seek is made again before the target by as much again and a
// second more, until it lands at or before it (or has tried landing_tries
// times; at the start, by bytes); decoding forward from there reaches the
// target as on other formats. The packets read to find
// out are handed back in `read` for the pipeline, after its flush.
int MediaDecoder::reposition(double target, std::vector<PacketPtr>& read) {
    constexpr int landing_tries = 4;
    constexpr std::size_t longest_look = 4096;  // packets read at most to find the first picture
    // A pipe or a live stream read through a byte stream that cannot seek:
    // FFmpeg's search may "succeed" there without moving, and playback would
    // then take the live point for the target.
    const AVIOContext* bytes = format_ctx->pb;
    // A live input is played at its newest moment: it has no other place to
    // go to, though a live HTTP playlist would "seek" within its window.
    if (options.latency) return AVERROR(ESPIPE);
    if (bytes != nullptr && !(format_ctx->iformat->flags & AVFMT_NOFILE) &&
        !(bytes->seekable & AVIO_SEEKABLE_NORMAL)) {
        return AVERROR(ESPIPE);
    }
    if (target <= 0.0 && rewind_by_bytes()) return 0;  // the first picture is where the input begins
    if (video_stream_index < 0) {
        return av_seek_frame(format_ctx.get(), -1, timeline.timestamp(AVRational{1, AV_TIME_BASE}, target),
                             AVSEEK_FLAG_BACKWARD);
    }
    double aim = target;
    for (int attempt = 0;; ++attempt) {
        read.clear();
        // Aimed at the start: the first picture is at the first byte.
        if (attempt > 0 && aim <= 0.0 && rewind_by_bytes()) return 0;
        const int moved = av_seek_frame(format_ctx.get(), video_stream_index,
                                        timeline.timestamp(video_time_base, aim), AVSEEK_FLAG_BACKWARD);
        if (moved < 0 || !joins.possible || attempt + 1 >= landing_tries) return moved;
        double landed = std::numeric_limits<double>::quiet_NaN();
        while (read.size() < longest_look) {
            PacketPtr packet = make_packet();
            if (!packet || av_read_frame(format_ctx.get(), packet.get()) < 0) break;
            const bool key_picture =
                packet->stream_index == video_stream_index && (packet->flags & AV_PKT_FLAG_KEY) != 0;
            const std::int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            read.push_back(std::move(packet));
            if (key_picture && ts != AV_NOPTS_VALUE) {
                landed = stream_seconds(video_time_base, ts);
                break;
            }
        }
        if (landed <= target) return moved;
        // Past the target, or no key frame at all before the end (a target
        // past the last one): aim earlier.
        const double overshoot = std::isnan(landed) ? 1.0 : landed - aim;
        aim = std::max(0.0, aim - overshoot - 1.0);
    }
}

// Repositions a stream format (MPEG-TS and its kin, which can be read from
// any byte) at its first byte, where its first picture is: a seek by
// timestamp to that picture lands on the next key frame instead. False for
// other formats, and when the input cannot seek.
bool MediaDecoder::rewind_by_bytes() {
    if (!joins.possible || (format_ctx->iformat->flags & AVFMT_NO_BYTE_SEEK)) return false;
    return av_seek_frame(format_ctx.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0;
}

// Starts a new serial of the pipeline at `target`, its pictures from
// `pictures_cut` on: empties the packet
// queues, the picture queue and the sound path, and sets the clocks to the
// target (no further than the input's length). Each queue is emptied under
// its own lock alone; the decode threads flush their decoders themselves
// when they take the first packet of the new serial, and drop what they
// still make from an older one as they push it, which they judge under the
// same lock that the emptying takes after the serial moved on. The sound
// output's new serial makes it anchor the sound again on the next frame.
void MediaDecoder::flush_pipeline(double target, double pictures_cut) {
    // First: the callback plays silence from here on, and what the decode
    // threads make from now on is judged by the new serial and target.
    status.begin_seek();
    seek_request.playing_from = target;
    seek_request.pictures_from = pictures_cut;
    ++seek_request.playing_serial;
    const double shown = timeline.clamp(target);
    {
        std::lock_guard<std::mutex> lock(video_packets_in.mutex);
        video_packets_in.clear(shown);
    }
    {
        std::lock_guard<std::mutex> lock(audio_packets_in.mutex);
        audio_packets_in.clear(shown);
    }
    const std::int64_t now = steady_now_ns();
    {
        std::lock_guard<std::mutex> lock(pictures.mutex);
        pictures.clear();
        video_clock = shown;
        picture_clock.pace(false, shown, now);
        // Room has appeared in the picture queue for a video thread waiting on it.
        pictures.cv.notify_all();
    }
    sound.flush(seek_request.playing_serial, target, shown);
}

void MediaDecoder::seek(double seconds) {
    refuse_if_inherited();
    double target = seconds > 0.0 ? seconds : 0.0;  // NaN fails the test too
    // A looped input goes on for ever: a target past its end lies in a later
    // lap, at the same place in the input as the position reports it.
    const double length = laps.length > 0.0 ? laps.length.load() : timeline.length;
    if (options.loop && length > 0.0 && target >= length) target = std::isfinite(target) ? std::fmod(target, length) : 0.0;
    post_seek(target, target - seek_window);
}

// Asks for a seek to `target` whose first pictures are those from
// `pictures_cut` on, and waits until the demux thread has tried it (or the
// decoder is not running).
void MediaDecoder::post_seek(double target, double pictures_cut) {
    // The sound starts from the target: no step leaves it behind any more.
    status.stepped_with_sound = false;
    std::unique_lock<std::mutex> lock(seek_request.mutex);
    seek_request.target = target;
    seek_request.pictures_cut = pictures_cut;
    seek_request.pending = true;
    seek_request.done = false;
    ++seek_request.serial;
    // A caller blocked in frame delivery returns at once.
    notify_frame_waiters();
    sound.notify_room();
    seek_request.cv.notify_all();
    seek_request.cv.wait(lock, [this] { return seek_request.done || !status.running(); });
}

}  // namespace reelpipe
