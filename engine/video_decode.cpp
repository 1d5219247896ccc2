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

// Waits up to 10 ms for a packet and takes it, unless a seek is pending.
// Reports the end of the input when the queue is empty after the demux
// thread's last read failed: both are seen under the queue's mutex, and the
// demux thread pushes every packet before it can fail a read, so nothing
// can still be on its way.
MediaDecoder::PacketWait MediaDecoder::wait_for_packet(PacketQueue& queue, PacketPtr& packet,
                                                       std::uint64_t& generation) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.cv.wait_until(lock, steady_clock::now() + milliseconds(10),
                        [&] { return !queue.empty() || !status.running || seek_request.pending; });
    if (queue.empty()) {
        if (!status.running) return PacketWait::stopped;
        return status.input_ended && !seek_request.pending ? PacketWait::input_ended : PacketWait::idle;
    }
    if (seek_request.pending) return PacketWait::idle;
    packet = queue.pop();
    // The flush bumps the generation while it holds this mutex, so the value
    // read here belongs to the packet just taken.
    generation = seek_request.generation;
    return PacketWait::packet;
}

// The loop of both decode threads: takes packets from its queue and feeds
// them to its decoder with `decode`, drains the decoder once per flush at
// an end of the input that lasts (see end_calls_for_drain(); then calls
// `drained`, when given), and reopens it when input comes again after a
// drain (a stream that came back; then calls `reopened`, when given).
void MediaDecoder::decode_loop(const DecodeStream& stream, DecodeStep decode, Notice drained, Notice reopened) {
    FramePtr scratch = make_frame();
    // The flush generation whose end of input has been drained from the
    // decoder; the decoder then needs a flush before it takes packets again.
    std::uint64_t drained_generation = UINT64_MAX;
    while (status.running && scratch) {
        PacketPtr packet;
        std::uint64_t generation = 0;
        const PacketWait wait = wait_for_packet(stream.packets, packet, generation);
        if (wait == PacketWait::stopped) break;
        if (wait == PacketWait::idle) continue;

        std::lock_guard<std::mutex> codec(stream.codec_mutex);
        if (wait == PacketWait::input_ended) {
            // Once per flush: hand the decoder the end of the stream so what
            // it still holds back (B-frame reordering, the last samples)
            // comes out.
            if (drained_generation == seek_request.generation || seek_request.pending || !end_calls_for_drain(stream.output_dry)) {
                continue;
            }
            drained_generation = seek_request.generation;
            (this->*decode)(nullptr, scratch.get());
            if (drained != nullptr) (this->*drained)();
            continue;
        }
        if (seek_request.pending || generation != seek_request.generation) continue;
        if (drained_generation == seek_request.generation) {
            avcodec_flush_buffers(stream.codec);
            drained_generation = UINT64_MAX;
            if (reopened != nullptr) (this->*reopened)();
        }
        (this->*decode)(packet.get(), scratch.get());
    }
}

// True once an end of the input has lasted long enough to be the end: a
// drain flushes the decoder, and a file still being written, or a slow
// pipe, ends for a moment each time reading catches up with it; the flush
// would then lose the pictures the next ones refer to. The end is taken as
// lasting after lasting_end_ns, or after dry_end_ns when the stream's
// consumer has nothing left to take and would otherwise wait for what the
// decoder holds back. Called on a decode thread with its codec mutex held.
bool MediaDecoder::end_calls_for_drain(Check output_dry) {
    const std::int64_t since = status.input_ended_since_ns;
    if (since == 0) return false;
    const std::int64_t lasted = steady_now_ns() - since;
    return lasted >= lasting_end_ns || (lasted >= dry_end_ns && (this->*output_dry)());
}

void MediaDecoder::video_decode_loop() {
    const DecodeStream stream{video_packets_in, video_codec_mutex, video_codec_ctx.get(), &MediaDecoder::pictures_dry};
    decode_loop(stream, &MediaDecoder::decode_video_packet, &MediaDecoder::announce_pictures_exhausted,
                &MediaDecoder::expect_more_pictures);
}

// Input came again after the video decoder was drained.
void MediaDecoder::expect_more_pictures() { pictures.set_drained(false); }

// True when no picture is queued. Called on the video thread with
// video_codec_mutex held; takes pictures.mutex.
bool MediaDecoder::pictures_dry() {
    std::lock_guard<std::mutex> lock(pictures.mutex);
    return pictures.empty();
}

// On the way from a key frame to a seek target every picture before the
// target is decoded only to be dropped; those that no other picture refers
// to need not be decoded at all, which roughly halves the work of a seek
// into a long group of pictures. A picture interval of slack keeps the
// pictures near the target whatever their reordering. Called on the video
// thread with video_codec_mutex held, before the packet is sent; frame
// threads take the setting with the packet.
void MediaDecoder::skip_unneeded_pictures(const AVPacket* packet) {
    const bool unneeded = packet != nullptr && packet->pts != AV_NOPTS_VALUE &&
                          stream_seconds(video_time_base, packet->pts) < seek_request.playing_from - seek_window - 1.0 / fps;
    video_codec_ctx->skip_frame = unneeded ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

// Tells frame delivery that the last picture of the input is queued. Called
// on the video thread with video_codec_mutex held; takes pictures.mutex.
void MediaDecoder::announce_pictures_exhausted() {
    std::lock_guard<std::mutex> lock(pictures.mutex);
    pictures.set_drained(true);
    pictures.cv.notify_all();
}

// Feeds one packet (null: the end of the stream) and handles every picture
// it yields. Called on the video thread with video_codec_mutex held.
void MediaDecoder::decode_video_packet(const AVPacket* packet, AVFrame* scratch) {
    skip_unneeded_pictures(packet);
    if (avcodec_send_packet(video_codec_ctx.get(), packet) != 0) return;
    while (avcodec_receive_frame(video_codec_ctx.get(), scratch) == 0) {
        if (seek_request.pending) {
            av_frame_unref(scratch);
            return;
        }
        handle_video_picture(scratch);
        av_frame_unref(scratch);
    }
}

// Drops a picture before the seek window, else converts it and queues it.
// Called with video_codec_mutex held; takes pictures.mutex.
void MediaDecoder::handle_video_picture(const AVFrame* decoded) {
    const std::int64_t ts = decoded->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE && seek_request.playing_from - seek_window > stream_seconds(video_time_base, ts)) return;
    status.seeking = false;
    FramePtr picture = converter.convert(decoded, picture_buffers);
    if (!picture) return;  // no memory or no converter: this picture is lost
    const std::size_t bytes = static_cast<std::size_t>(picture->linesize[0]) * static_cast<std::size_t>(height);

    std::unique_lock<std::mutex> lock(pictures.mutex);
    if (!wait_for_frame_room(lock, bytes)) return;
    pictures.push(std::move(picture), bytes);
    // Frame delivery waits for a picture only when the queue is empty; a
    // caller holding an early picture has no use for being woken by more.
    if (pictures.size() == 1) pictures.cv.notify_all();
}

// Waits while queuing `picture_bytes` more would exceed the byte budget. A
// picture taken by frame delivery, a seek and stop() end the wait; false
// means the picture must be dropped. Always lets one picture in, so a
// budget smaller than a picture cannot stall playback.
bool MediaDecoder::wait_for_frame_room(std::unique_lock<std::mutex>& lock, std::size_t picture_bytes) {
    pictures.cv.wait(lock, [&] {
        return pictures.has_room_for(picture_bytes) || !status.running ||
               seek_request.pending;
    });
    return !seek_request.pending && (status.running || pictures.has_room_for(picture_bytes));
}

}  // namespace reelpipe
