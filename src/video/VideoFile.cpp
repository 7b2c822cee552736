#include "video/VideoFile.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace {

enum { PICTURE_TRACK = 0, SAMPLES_TRACK = 1 };
// Matroska counts in milliseconds; so does the file, from the first frame.
const AVRational MILLISECONDS = {1, 1000};
// A cluster is closed after this long at the latest, so that a cut-off file
// loses no more (the writer also flushes once a second when frames stop).
const char CLUSTER_MS[] = "1000";

QString ErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

struct FormatDeleter {
    void operator()(AVFormatContext *context) const
    {
        if (context->pb != nullptr)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

} // namespace

struct VideoFile::Streams {
    std::unique_ptr<AVFormatContext, FormatDeleter> format;
    std::unique_ptr<AVCodecContext, CodecDeleter> samples; // the FFV1 encoder
    std::unique_ptr<AVFrame, FrameDeleter> frame;
    std::unique_ptr<AVPacket, PacketDeleter> packet;
    bool bHeaderWritten = false;
};

VideoFile::VideoFile() = default;

VideoFile::~VideoFile()
{
    QString ignored;
    Close(ignored);
}

bool VideoFile::IsOpen() const
{
    return streams != nullptr;
}

bool VideoFile::Failed(int error, QString &reason)
{
    reason = ErrorText(error);
    return false;
}

namespace {

// Track 1: the JPEGs as they are, nothing encoded here.
AVStream *AddPictureTrack(AVFormatContext *format, const QSize &picture)
{
    AVStream *stream = avformat_new_stream(format, nullptr);
    if (stream == nullptr)
        return nullptr;
    stream->time_base = MILLISECONDS;
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    stream->codecpar->width = picture.width();
    stream->codecpar->height = picture.height();
    av_dict_set(&stream->metadata, "title", "picture as shown", 0);
    return stream;
}

// Track 2: every frame a key frame, so any cut leaves whole frames behind.
AVCodecContext *OpenSamplesEncoder(const AVFormatContext *format)
{
    const AVCodec *ffv1 = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    AVCodecContext *encoder = ffv1 != nullptr ? avcodec_alloc_context3(ffv1) : nullptr;
    if (encoder == nullptr)
        return nullptr;
    encoder->width = FRAME_WIDTH;
    encoder->height = FRAME_HEIGHT;
    encoder->pix_fmt = AV_PIX_FMT_GRAY16LE;
    encoder->time_base = MILLISECONDS;
    encoder->gop_size = 1;
    encoder->thread_count = 1;
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The range coder, which more than 8 bits a sample need anyway.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "coder", "range_def", 0);
    if (avcodec_open2(encoder, ffv1, &options) < 0)
        avcodec_free_context(&encoder);
    av_dict_free(&options);
    return encoder;
}

} // namespace

bool VideoFile::Open(const QString &path, const VideoTags &tags, const QSize &picture, QString &reason)
{
    Abandon();
    auto opened = std::make_unique<Streams>();
    AVFormatContext *format = nullptr;
    const QByteArray name = QFile::encodeName(path);
    int error = avformat_alloc_output_context2(&format, nullptr, "matroska", name.constData());
    if (error < 0)
        return Failed(error, reason);
    opened->format.reset(format);
    for (auto tag = tags.constBegin(); tag != tags.constEnd(); ++tag)
        av_dict_set(&format->metadata, tag.key().toUtf8().constData(), tag.value().toUtf8().constData(), 0);
    opened->samples.reset(OpenSamplesEncoder(format));
    AVStream *samples = nullptr;
    if (AddPictureTrack(format, picture) == nullptr || !opened->samples
        || (samples = avformat_new_stream(format, nullptr)) == nullptr)
        return Failed(AVERROR_ENCODER_NOT_FOUND, reason);
    samples->time_base = MILLISECONDS;
    avcodec_parameters_from_context(samples->codecpar, opened->samples.get());
    av_dict_set(&samples->metadata, "title", "raw samples", 0);
    if ((error = avio_open(&format->pb, name.constData(), AVIO_FLAG_WRITE)) < 0)
        return Failed(error, reason);
    AVDictionary *options = nullptr;
    av_dict_set(&options, "cluster_time_limit", CLUSTER_MS, 0);
    error = avformat_write_header(format, &options);
    av_dict_free(&options);
    if (error < 0)
        return Failed(error, reason);
    opened->bHeaderWritten = true;
    opened->frame.reset(av_frame_alloc());
    opened->packet.reset(av_packet_alloc());
    if (!opened->frame || !opened->packet)
        return Failed(AVERROR(ENOMEM), reason);
    streams = std::move(opened);
    frames = 0;
    return Flush(reason);
}

bool VideoFile::Add(const ShownFrame &frame, const QByteArray &jpeg, QString &reason)
{
    if (frames == 0)
        firstMicros = frame.arrivedMicros;
    const qint64 pts = (frame.arrivedMicros - firstMicros + 500) / 1000;
    if (!jpeg.isEmpty()) {
        AVPacket *packet = streams->packet.get();
        // Borrowed, not copied: the muxer writes it before this returns.
        packet->data = reinterpret_cast<uint8_t *>(const_cast<char *>(jpeg.constData()));
        packet->size = jpeg.size();
        packet->flags = AV_PKT_FLAG_KEY;
        if (!WritePacket(packet, PICTURE_TRACK, pts, reason))
            return false;
    }
    if (!EncodeSamples(frame, pts, reason))
        return false;
    ++frames;
    const int error = streams->format->pb->error;
    return error < 0 ? Failed(error, reason) : true;
}

// The samples as gray16le, row by row: the values 0..16383 as they arrived.
bool VideoFile::EncodeSamples(const ShownFrame &shown, qint64 pts, QString &reason)
{
    AVFrame *frame = streams->frame.get();
    av_frame_unref(frame);
    frame->format = AV_PIX_FMT_GRAY16LE;
    frame->width = FRAME_WIDTH;
    frame->height = FRAME_HEIGHT;
    int error = av_frame_get_buffer(frame, 0);
    if (error < 0)
        return Failed(error, reason);
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        uint8_t *line = frame->data[0] + row * frame->linesize[0];
        for (int column = 0; column < FRAME_WIDTH; ++column) {
            const int sample = shown.Sample(row * FRAME_WIDTH + column);
            line[2 * column] = static_cast<uint8_t>(sample & 0xFF);
            line[2 * column + 1] = static_cast<uint8_t>(sample >> 8);
        }
    }
    frame->pts = pts;
    if ((error = avcodec_send_frame(streams->samples.get(), frame)) < 0)
        return Failed(error, reason);
    AVPacket *packet = streams->packet.get();
    while ((error = avcodec_receive_packet(streams->samples.get(), packet)) == 0) {
        if (!WritePacket(packet, SAMPLES_TRACK, pts, reason))
            return false;
    }
    return error == AVERROR(EAGAIN) ? true : Failed(error, reason);
}

// The caller writes both tracks in the order of time: no interleaving queue
// holds a packet back from the file.
bool VideoFile::WritePacket(void *data, int stream, qint64 pts, QString &reason)
{
    AVPacket *packet = static_cast<AVPacket *>(data);
    packet->stream_index = stream;
    const AVRational timeBase = streams->format->streams[stream]->time_base;
    packet->pts = packet->dts = av_rescale_q(pts, MILLISECONDS, timeBase);
    packet->duration = 0;
    const int error = av_write_frame(streams->format.get(), packet);
    av_packet_unref(packet);
    return error < 0 ? Failed(error, reason) : true;
}

bool VideoFile::Flush(QString &reason)
{
    if (!streams)
        return true;
    AVFormatContext *format = streams->format.get();
    int error = av_write_frame(format, nullptr); // closes the open cluster
    avio_flush(format->pb);
    if (error >= 0)
        error = format->pb->error;
    return error < 0 ? Failed(error, reason) : true;
}

bool VideoFile::Close(QString &reason)
{
    if (!streams)
        return true;
    int error = av_write_trailer(streams->format.get());
    avio_flush(streams->format->pb);
    if (error >= 0)
        error = streams->format->pb->error;
    streams.reset();
    return error < 0 ? Failed(error, reason) : true;
}

void VideoFile::Abandon()
{
    streams.reset();
}
