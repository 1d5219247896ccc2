// The video decode thread: packets from video_packet_queue become RGB24
// pictures in pictures.
#include "media_decoder.h"

namespace reelpipe {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Bytes past a picture's last row that the converter's vector code may
// touch; FFmpeg's own picture buffers leave as much.
constexpr std::size_t conversion_overrun = 128;

// How long an end of the input lasts before the decoders are drained: in
// general, and when the stream's consumer has nothing left to take. A
// writer flushing each packet, or a pipe, brings more within a read retry
// or two (100 ms apart).
constexpr std::int64_t lasting_end_ns = 1'000'000'000;
constexpr std::int64_t dry_end_ns = 250'000'000;

namespace {

// What a converter does to colours, as sws_getColorspaceDetails tells it.
struct ColourDetails {
    int* inverse_table = nullptr;
    int source_full_range = 0;
    int* table = nullptr;
    int target_full_range = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;

    static ColourDetails of(SwsContext* converter) {
        ColourDetails details;
        sws_getColorspaceDetails(converter, &details.inverse_table, &details.source_full_range, &details.table,
                                 &details.target_full_range, &details.brightness, &details.contrast,
                                 &details.saturation);
        return details;
    }
};

}  // namespace

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
    FramePtr picture = convert_picture(decoded);
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

// Converts a decoded picture to a new RGB24 frame at the decoder's fixed
// size, upright. The converter follows the picture in hand, so a stream that
// changes size or pixel format mid-way is scaled to the announced size and
// never read past its own planes.
FramePtr MediaDecoder::convert_picture(const AVFrame* decoded) {
    if (decoded->width <= 0 || decoded->height <= 0 || decoded->format < 0) return {};
    if (!match_converter(decoded)) return {};

    FramePtr picture = make_frame();
    if (!picture) return {};
    picture->format = AV_PIX_FMT_RGB24;
    picture->width = width;
    picture->height = height;
    picture->pts = decoded->best_effort_timestamp;
    const int row_bytes = width * 3;
    picture->buf[0] = picture_buffers.get(static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(height) +
                                          conversion_overrun);
    if (picture->buf[0] == nullptr) return {};
    picture->data[0] = picture->buf[0]->data;
    picture->linesize[0] = row_bytes;
    picture->extended_data = picture->data;
    if (orientation.upright()) {
        sws_scale(sws_ctx.get(), decoded->data, decoded->linesize, 0, decoded->height, picture->data,
                  picture->linesize);
    } else if (!convert_turned(decoded, picture.get())) {
        return {};
    }
    return picture;
}

// Sets sws_ctx up for pictures shaped and coloured like `decoded`; false when
// no converter can be made. A picture like the one before costs two
// comparisons.
bool MediaDecoder::match_converter(const AVFrame* decoded) {
    const ConverterInput input{decoded->width, decoded->height, decoded->format};
    if (!(input == converter_input)) {
        // A quarter-turned stream is converted at its own size, then turned.
        const int converted_width = orientation.transpose ? height : width;
        const int converted_height = orientation.transpose ? width : height;
        SwsContext* converter = sws_getCachedContext(sws_ctx.release(), input.width, input.height,
                                                     static_cast<AVPixelFormat>(input.format), converted_width,
                                                     converted_height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                                     nullptr, nullptr);
        sws_ctx.reset(converter);
        if (converter == nullptr) {
            converter_input = ConverterInput{};
            return false;
        }
        // The converter is new, or as new as the one made at open: it
        // assumes the default matrix and its format's range.
        converter_default_full_range = ColourDetails::of(converter).source_full_range;
        converter_colours = ConverterColours{SWS_CS_DEFAULT, converter_default_full_range};
        converter_input = input;
    }
    match_colours(decoded);
    return true;
}

// Gives sws_ctx the colour matrix and range that `decoded` is tagged with.
// An untagged picture converts as the ffmpeg command line converts it: with
// the BT.601 matrix, in the range its pixel format implies.
void MediaDecoder::match_colours(const AVFrame* decoded) {
    ConverterColours wanted{SWS_CS_DEFAULT, converter_default_full_range};
    switch (decoded->colorspace) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            // swscale numbers its matrices as the colour spaces are numbered.
            wanted.matrix = decoded->colorspace;
            break;
        default:
            break;
    }
    if (decoded->color_range == AVCOL_RANGE_JPEG) wanted.full_range = 1;
    if (decoded->color_range == AVCOL_RANGE_MPEG) wanted.full_range = 0;
    if (wanted == converter_colours) return;

    const ColourDetails details = ColourDetails::of(sws_ctx.get());
    const int* coefficients = sws_getCoefficients(wanted.matrix);
    sws_setColorspaceDetails(sws_ctx.get(), coefficients, wanted.full_range, coefficients, details.target_full_range,
                             details.brightness, details.contrast, details.saturation);
    converter_colours = wanted;
}

// Converts `decoded` at its own orientation into unturned_picture, then
// turns it into `picture`. False when unturned_picture cannot be allocated.
bool MediaDecoder::convert_turned(const AVFrame* decoded, AVFrame* picture) {
    const int converted_width = orientation.transpose ? height : width;
    const int converted_height = orientation.transpose ? width : height;
    if (!unturned_picture) {
        FramePtr unturned = make_frame();
        if (!unturned) return false;
        unturned->format = AV_PIX_FMT_RGB24;
        unturned->width = converted_width;
        unturned->height = converted_height;
        // FFmpeg's own buffers leave room for the converter's overrun and
        // for turn_picture() reading a byte past the last pixel.
        if (av_frame_get_buffer(unturned.get(), 0) < 0) return false;
        unturned_picture = std::move(unturned);
    }
    sws_scale(sws_ctx.get(), decoded->data, decoded->linesize, 0, decoded->height, unturned_picture->data,
              unturned_picture->linesize);
    turn_picture(unturned_picture->data[0], converted_width, converted_height, unturned_picture->linesize[0],
                 orientation, picture->data[0], picture->linesize[0]);
    return true;
}

}  // namespace reelpipe
