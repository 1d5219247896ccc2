// The video decode thread: packets from the video packet queue become
// pictures in the caller's size and pixel format in the picture queue.
#include "media_decoder.h"

namespace reelpipe {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long an end of the input lasts before the decoders are drained: in
// general, and when the stream's consumer has nothing left to take. A
// writer flushing each packet, or a pipe, brings more within a read retry
// or two (100 ms apart).
constexpr std::int64_t lasting_end_ns = 1'000'000'000;
constexpr std::int64_t dry_end_ns = 250'000'000;

// Waits up to 10 ms for a packet and takes it with its serial, unless a
// seek is pending. Reports the end of the input when the queue is empty
// after the demux thread's last read failed: both are seen under the
// queue's mutex, and the demux thread pushes every packet before it can
// fail a read, so nothing can still be on its way.
MediaDecoder::PacketWait MediaDecoder::wait_for_packet(PacketQueue& queue, PacketQueue::Entry& entry) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.cv.wait_until(lock, steady_clock::now() + milliseconds(10),
                        [&] { return !queue.empty() || !status.running() || seek_request.pending; });
    if (queue.empty()) {
        if (!status.running()) return PacketWait::stopped;
        return status.input_ended() && !seek_request.pending ? PacketWait::input_ended : PacketWait::idle;
    }
    if (seek_request.pending) return PacketWait::idle;
    entry = queue.pop();
    return PacketWait::packet;
}

// The loop of both decode threads: takes packets from its queue and feeds
// them to its decoder with `decode`. The decoder is flushed when it takes
// the first packet of a new serial (a seek), and when input comes again
// after it was drained (a stream that came back; then `reopened` is called,
// when given); packets of an older serial are skipped. At an end of the
// input that lasts (see end_calls_for_drain()) the decoder is drained once,
// then `drained` is called, when given.
void MediaDecoder::decode_loop(const DecodeStream& stream, DecodeStep decode, SerialNotice drained,
                               Notice reopened) {
    FramePtr scratch = make_frame();
    // The serial of the packets the decoder has been fed, and whether it has
    // been drained since: either way a packet needs the decoder flushed
    // before it.
    std::uint64_t decoder_serial = seek_request.playing_serial;
    bool decoder_drained = false;
    // After a seam of a looped input the pictures start at a key frame;
    // the packets left out before it.
    bool awaiting_key = false;
    int left_out = 0;
    while (status.running() && scratch) {
        PacketQueue::Entry entry;
        const PacketWait wait = wait_for_packet(stream.packets, entry);
        if (wait == PacketWait::stopped) break;
        if (wait == PacketWait::idle) continue;

        if (wait == PacketWait::input_ended) {
            // Once per serial: hand the decoder the end of the stream so what
            // it still holds back (B-frame reordering, the last samples)
            // comes out.
            const std::uint64_t serial = seek_request.playing_serial;
            if ((decoder_drained && decoder_serial == serial) || seek_request.pending ||
                !end_calls_for_drain(stream.output_dry)) {
                continue;
            }
            if (decoder_serial != serial) {
                // A seek past the last packet: no packet of its serial came
                // to flush the decoder.
                avcodec_flush_buffers(stream.codec);
                decoder_serial = serial;
            }
            decoder_drained = true;
            (this->*decode)(nullptr, scratch.get(), serial);
            if (drained != nullptr) (this->*drained)(serial);
            continue;
        }
        // A packet taken as a seek is posted is decoded all the same: a seek
        // that fails (a pipe) goes on from it, and one that succeeds moves
        // the serial on, which drops what it makes.
        if (entry.serial != seek_request.playing_serial) continue;
        if (entry.serial != decoder_serial || decoder_drained) {
            avcodec_flush_buffers(stream.codec);
            if (decoder_drained && entry.serial == decoder_serial && reopened != nullptr) (this->*reopened)();
            decoder_serial = entry.serial;
            decoder_drained = false;
            awaiting_key = false;
        } else if (entry.lap_start) {
            // A seam of a looped input: what the decoder holds of the lap
            // before comes out first, then it starts afresh, as at the
            // input's start; the pictures at a key frame (a stream cut
            // anywhere may begin with pictures that refer to ones it left
            // out), the sound as lap_begun() says.
            (this->*decode)(nullptr, scratch.get(), entry.serial);
            avcodec_flush_buffers(stream.codec);
            awaiting_key = stream.starts_at_key;
            if (stream.lap_begun != nullptr) (this->*stream.lap_begun)(*entry.packet);
        }
        if (awaiting_key) {
            if ((entry.packet->flags & AV_PKT_FLAG_KEY) == 0) {
                ++left_out;
                continue;
            }
            if (left_out > 0) {
                log_event(LogLevel::debug, "each lap starts at its first key frame: " + std::to_string(left_out) +
                                               " pictures before it are left out");
            }
            awaiting_key = false;
            left_out = 0;
        }
        (this->*decode)(entry.packet.get(), scratch.get(), entry.serial);
    }
}

// True once an end of the input has lasted long enough to be the end: a
// drain flushes the decoder, and a file still being written, or a slow
// pipe, ends for a moment each time reading catches up with it; the flush
// would then lose the pictures the next ones refer to. The end is taken as
// lasting after lasting_end_ns, or after dry_end_ns when the stream's
// consumer has nothing left to take and would otherwise wait for what the
// decoder holds back; at once at a final end (see end_is_final), or while
// a step back waits for the last pictures. Called on a decode thread.
bool MediaDecoder::end_calls_for_drain(Check output_dry) {
    const std::int64_t since = status.input_ended_at();
    if (since == 0) return false;
    if (step_awaits_end || end_is_final) return true;
    const std::int64_t lasted = steady_now_ns() - since;
    return lasted >= lasting_end_ns || (lasted >= dry_end_ns && (this->*output_dry)());
}

void MediaDecoder::video_decode_loop() {
    // A restart: the clock may have moved on while the thread was away.
    video_skipping.behind.keeping_up();
    const DecodeStream stream{video_packets_in, video_codec_ctx.get(), &MediaDecoder::pictures_dry, true, nullptr};
    decode_loop(stream, &MediaDecoder::decode_video_packet, &MediaDecoder::announce_pictures_exhausted,
                &MediaDecoder::expect_more_pictures);
}

// Input came again after the video decoder was drained.
void MediaDecoder::expect_more_pictures() { pictures.set_drained(false); }

// True when no picture is queued. Called on the video thread; takes
// pictures.mutex.
bool MediaDecoder::pictures_dry() {
    std::lock_guard<std::mutex> lock(pictures.mutex);
    return pictures.empty();
}

// On the way from a key frame to a seek target every picture before the
// target is decoded only to be dropped; those that no other picture refers
// to need not be decoded at all, which roughly halves the work of a seek
// into a long group of pictures. A picture interval of slack keeps the
// pictures near the target whatever their reordering.
AVDiscard MediaDecoder::seek_discard(const AVPacket* packet) const {
    const bool unneeded = packet != nullptr && packet->pts != AV_NOPTS_VALUE &&
                          stream_seconds(video_time_base, packet->pts) < seek_request.pictures_from - 1.0 / fps;
    return unneeded ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

// Decides what of `packet` (null: the end of the stream) the decoder skips:
// the pictures before a seek target that nothing needs, and those it runs
// too far behind to decode in time (see falling_behind.h). False when the
// packet is not to be sent at all, far behind, before a key frame; each
// such packet is one picture skipped. A picture the decoder is told to
// skip is owed until a later one comes out. skip_frame is set here, on the
// video thread between packets: the decoder reads it as a packet goes in,
// and its frame threads take their copy with each packet, on FFmpeg 5 and
// 7 alike.
bool MediaDecoder::choose_skipping(const AVPacket* packet, std::uint64_t serial) {
    VideoSkipping& skipping = video_skipping;
    if (serial != skipping.serial) {
        // The decoder has been flushed for a seek: what it owed is gone, and
        // the pictures of the new position are on time until measured.
        skipping.ledger.clear();
        skipping.behind.keeping_up();
        skipping.serial = serial;
    }
    // Paused, no picture is late, and a step must be given every picture.
    if (status.paused() || status.step_hold) skipping.behind.keeping_up();
    if (packet != nullptr && packet->pts != AV_NOPTS_VALUE && (packet->flags & AV_PKT_FLAG_KEY) == 0) {
        const double seconds = stream_seconds(video_time_base, packet->pts);
        if (skipping.behind.past_window() && skipping.behind.jump_pays(next_key_seconds() - seconds)) {
            skipping.behind.wait_for_key();
        }
    }
    if (packet != nullptr && skipping.behind.waiting_for_key()) {
        if ((packet->flags & AV_PKT_FLAG_KEY) == 0) {
            ++counts.skipped;
            return false;
        }
        const double seconds = packet->pts != AV_NOPTS_VALUE ? stream_seconds(video_time_base, packet->pts)
                                                             : -std::numeric_limits<double>::infinity();
        skipping.behind.key_reached(seconds);
    }
    const AVDiscard for_seek = seek_discard(packet);
    const AVDiscard for_lateness = skipping.behind.discard();
    video_codec_ctx->skip_frame = std::max(for_seek, for_lateness);
    if (packet != nullptr && packet->pts != AV_NOPTS_VALUE && for_lateness > for_seek) {
        skipping.ledger.sent(packet->pts);
    }
    return true;
}

// The time of the next key frame read, infinite when none is queued (or it
// has no timestamp). Called on the video thread; takes the video packet
// queue's mutex.
double MediaDecoder::next_key_seconds() {
    std::int64_t pts = AV_NOPTS_VALUE;
    {
        std::lock_guard<std::mutex> lock(video_packets_in.mutex);
        pts = video_packets_in.first_key_pts();
    }
    return pts != AV_NOPTS_VALUE ? stream_seconds(video_time_base, pts) : std::numeric_limits<double>::infinity();
}

// Settles the ledger of skipped pictures with a picture that came out of
// the decoder. Called on the video thread.
void MediaDecoder::note_picture_out(const AVFrame* decoded) {
    const std::int64_t ts = decoded->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) return;
    if (const std::size_t skipped = video_skipping.ledger.came_out(ts)) counts.skipped += skipped;
}

// How late a picture of time `seconds` is against the clock it will be shown
// by: the sound, or the picture clock when that paces the pictures (after
// the sound, or in real time without sound). None while that clock stands
// still (paused, buffering, a step held, a seek under way) and when nothing
// paces the pictures: handed out as fast as they are asked for, they are
// never late. Called on the video thread.
std::optional<double> MediaDecoder::lateness(double seconds) const {
    if (!status.now().clock_moves() || status.step_hold || seek_request.pending) return std::nullopt;
    if (audio_stream_index < 0 && !options.realtime) return std::nullopt;
    if (picture_clock.paced()) return picture_clock.get(steady_now_ns()) - seconds;
    if (audio_stream_index >= 0) return sound.heard_seconds() - seconds;
    return std::nullopt;
}

// Tells frame delivery that the last picture of the input is queued, unless
// a seek has begun a new serial since the decoder was drained. Called on
// the video thread; takes pictures.mutex.
void MediaDecoder::announce_pictures_exhausted(std::uint64_t serial) {
    std::lock_guard<std::mutex> lock(pictures.mutex);
    if (serial != seek_request.playing_serial) return;
    pictures.set_drained(true);
    pictures.cv.notify_all();
}

// Feeds one packet (null: the end of the stream) of pipeline `serial` and
// handles every picture it yields. Called on the video thread.
void MediaDecoder::decode_video_packet(const AVPacket* packet, AVFrame* scratch, std::uint64_t serial) {
    if (!choose_skipping(packet, serial)) return;
    if (avcodec_send_packet(video_codec_ctx.get(), packet) != 0) return;
    while (avcodec_receive_frame(video_codec_ctx.get(), scratch) == 0) {
        note_picture_out(scratch);
        handle_video_picture(scratch, serial);
        av_frame_unref(scratch);
    }
    // Drained: whatever it still owed, the decoder skipped.
    if (packet == nullptr) counts.skipped += video_skipping.ledger.drained();
}

// Drops a picture of an older serial or before the serial's first picture
// time (see SeekRequest::pictures_cut), else
// converts it and queues it. Called on the video thread; takes
// pictures.mutex.
void MediaDecoder::handle_video_picture(const AVFrame* decoded, std::uint64_t serial) {
    if (serial != seek_request.playing_serial) return;
    const std::int64_t ts = decoded->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE && seek_request.pictures_from > stream_seconds(video_time_base, ts)) return;
    if (ts != AV_NOPTS_VALUE) {
        const double seconds = stream_seconds(video_time_base, ts);
        if (const auto late = lateness(seconds)) video_skipping.behind.observe(seconds, *late);
    }
    status.seek_settled();
    FramePtr picture = converter.convert(decoded, picture_buffers);
    if (!picture) return;  // no memory or no converter: this picture is lost
    const std::size_t bytes = static_cast<std::size_t>(picture->linesize[0]) * static_cast<std::size_t>(height);

    std::unique_lock<std::mutex> lock(pictures.mutex);
    // A full queue: the pictures wait for their consumer, not for the
    // decoder, which then has no reason to skip any.
    if (!pictures.has_room_for(bytes)) video_skipping.behind.keeping_up();
    // A seek that began meanwhile has emptied the queue, or will: the
    // picture belongs to the pipeline before it.
    if (!wait_for_frame_room(lock, bytes, serial)) return;
    pictures.push(std::move(picture), bytes);
    // Frame delivery waits for a picture only when the queue is empty; a
    // caller holding an early picture has no use for being woken by more.
    if (pictures.size() != 1) return;
    pictures.cv.notify_all();
    lock.unlock();
    if (status.held()) picture_queued_while_held();
}

// Buffering ends with a picture: the demux thread, waiting for one, ends it
// now rather than at its next look. Called on the video thread without
// pictures.mutex, which comes after seek_request.mutex.
void MediaDecoder::picture_queued_while_held() {
    std::lock_guard<std::mutex> lock(seek_request.mutex);
    seek_request.cv.notify_all();
}

// Waits while queuing `picture_bytes` more would exceed the byte budget. A
// picture taken by frame delivery, a seek's flush (which moves the serial on
// past `serial`) and stop() end the wait; false means the picture must be
// dropped. A seek only posted keeps it waiting: should the seek fail, the
// picture is still the next. Always lets one picture in, so a budget
// smaller than a picture cannot stall playback.
bool MediaDecoder::wait_for_frame_room(std::unique_lock<std::mutex>& lock, std::size_t picture_bytes,
                                       std::uint64_t serial) {
    pictures.cv.wait(lock, [&] {
        return pictures.has_room_for(picture_bytes) || !status.running() || serial != seek_request.playing_serial;
    });
    return serial == seek_request.playing_serial && (status.running() || pictures.has_room_for(picture_bytes));
}

}  // namespace reelpipe
