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
        return status.input_ended && !seek_request.pending ? PacketWait::input_ended : PacketWait::idle;
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
    const std::int64_t since = status.input_ended_since_ns;
    if (since == 0) return false;
    if (step_awaits_end || end_is_final) return true;
    const std::int64_t lasted = steady_now_ns() - since;
    return lasted >= lasting_end_ns || (lasted >= dry_end_ns && (this->*output_dry)());
}

void MediaDecoder::video_decode_loop() {
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
// pictures near the target whatever their reordering. Called on the video
// thread before the packet is sent; frame threads take the setting with the
// packet.
void MediaDecoder::skip_unneeded_pictures(const AVPacket* packet) {
    const bool unneeded = packet != nullptr && packet->pts != AV_NOPTS_VALUE &&
                          stream_seconds(video_time_base, packet->pts) < seek_request.pictures_from - 1.0 / fps;
    video_codec_ctx->skip_frame = unneeded ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
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
    skip_unneeded_pictures(packet);
    if (avcodec_send_packet(video_codec_ctx.get(), packet) != 0) return;
    while (avcodec_receive_frame(video_codec_ctx.get(), scratch) == 0) {
        handle_video_picture(scratch, serial);
        av_frame_unref(scratch);
    }
}

// Drops a picture of an older serial or before the serial's first picture
// time (see SeekRequest::pictures_cut), else
// converts it and queues it. Called on the video thread; takes
// pictures.mutex.
void MediaDecoder::handle_video_picture(const AVFrame* decoded, std::uint64_t serial) {
    if (serial != seek_request.playing_serial) return;
    const std::int64_t ts = decoded->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE && seek_request.pictures_from > stream_seconds(video_time_base, ts)) return;
    status.seeking = false;
    FramePtr picture = converter.convert(decoded, picture_buffers);
    if (!picture) return;  // no memory or no converter: this picture is lost
    const std::size_t bytes = static_cast<std::size_t>(picture->linesize[0]) * static_cast<std::size_t>(height);

    std::unique_lock<std::mutex> lock(pictures.mutex);
    // A seek that began meanwhile has emptied the queue, or will: the
    // picture belongs to the pipeline before it.
    if (!wait_for_frame_room(lock, bytes, serial)) return;
    pictures.push(std::move(picture), bytes);
    // Frame delivery waits for a picture only when the queue is empty; a
    // caller holding an early picture has no use for being woken by more.
    if (pictures.size() == 1) pictures.cv.notify_all();
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
