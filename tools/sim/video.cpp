#include "video.h"

#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

constexpr int kWidth = 84;
constexpr int kHeight = 80;
constexpr unsigned kSampleMask = 0x3FFF;

}  // namespace

struct RecordedVideo::Decoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    bool draining = false;

    ~Decoder()
    {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

RecordedVideo::RecordedVideo() = default;
RecordedVideo::~RecordedVideo() = default;

bool isMatroska(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char magic[4] = {};
    in.read(reinterpret_cast<char*>(magic), sizeof magic);
    return in.good() && magic[0] == 0x1A && magic[1] == 0x45 && magic[2] == 0xDF && magic[3] == 0xA3;
}

bool RecordedVideo::open(const std::string& path, std::string& error)
{
    d_ = std::make_unique<Decoder>();
    if (avformat_open_input(&d_->format, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(d_->format, nullptr) < 0) {
        error = "cannot read video " + path;
        return false;
    }
    for (unsigned i = 0; i < d_->format->nb_streams && d_->stream < 0; ++i) {
        const AVCodecParameters* p = d_->format->streams[i]->codecpar;
        if (p->codec_id == AV_CODEC_ID_FFV1 && p->width == kWidth && p->height == kHeight)
            d_->stream = static_cast<int>(i);
    }
    const AVCodec* ffv1 = avcodec_find_decoder(AV_CODEC_ID_FFV1);
    if (d_->stream < 0 || ffv1 == nullptr) {
        error = "cannot replay " + path + ": no FFV1 track of 84 x 80 samples";
        return false;
    }
    d_->codec = avcodec_alloc_context3(ffv1);
    d_->packet = av_packet_alloc();
    d_->frame = av_frame_alloc();
    if (!d_->codec || !d_->packet || !d_->frame ||
        avcodec_parameters_to_context(d_->codec, d_->format->streams[d_->stream]->codecpar) < 0 ||
        avcodec_open2(d_->codec, ffv1, nullptr) < 0) {
        error = "cannot decode the samples of " + path;
        return false;
    }
    return true;
}

bool RecordedVideo::next(std::vector<std::uint16_t>& samples, std::int64_t& micros)
{
    for (;;) {
        const int got = avcodec_receive_frame(d_->codec, d_->frame);
        if (got == 0)
            return decodeOne(samples, micros);
        if (got != AVERROR(EAGAIN) || d_->draining)
            return false;
        const int read = av_read_frame(d_->format, d_->packet);
        if (read < 0) {
            d_->draining = true;
            avcodec_send_packet(d_->codec, nullptr);
            continue;
        }
        if (d_->packet->stream_index == d_->stream && avcodec_send_packet(d_->codec, d_->packet) < 0) {
            av_packet_unref(d_->packet);
            return false;
        }
        av_packet_unref(d_->packet);
    }
}

bool RecordedVideo::decodeOne(std::vector<std::uint16_t>& samples, std::int64_t& micros)
{
    const AVFrame* f = d_->frame;
    if (f->format != AV_PIX_FMT_GRAY16LE || f->width != kWidth || f->height != kHeight)
        return false;
    samples.resize(kWidth * kHeight);
    for (int row = 0; row < kHeight; ++row) {
        const std::uint8_t* line = f->data[0] + row * f->linesize[0];
        for (int column = 0; column < kWidth; ++column)
            samples[row * kWidth + column] =
                static_cast<std::uint16_t>((line[2 * column] | line[2 * column + 1] << 8) & kSampleMask);
    }
    const AVRational base = d_->format->streams[d_->stream]->time_base;
    micros = av_rescale_q(f->best_effort_timestamp, base, AVRational{1, 1000000});
    av_frame_unref(d_->frame);
    return true;
}
