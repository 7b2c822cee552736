#include "http/FrameEncoder.h"

#include "keep/RawPicture.h"

#include <QBuffer>
#include <QImageWriter>

namespace {

// Enough for the picture's fine structure (single sensor pixels are six
// screen pixels wide) at about 30 kB a part.
const int JPEG_QUALITY = 85;

} // namespace

QByteArray EncodePicture(const QImage &picture, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (picture.isNull() || !writer.write(picture))
        return QByteArray();
    return bytes;
}

// The lock is held while encoding: a second client asking for the same
// frame waits and takes the first one's result instead of encoding again.
template <typename Encode>
Encoded FrameEncoder::Cached(Cache &cache, const HandedFrame &frame, Encode encode)
{
    std::lock_guard<std::mutex> held(cache.lock);
    if (!cache.bytes || cache.number != frame.Number()) {
        cache.bytes = std::make_shared<const QByteArray>(encode());
        cache.number = frame.Number();
    }
    return cache.bytes;
}

Encoded FrameEncoder::Jpeg(const HandedFrame &frame)
{
    // JPEG has no alpha: the grab's opaque pixels go as they are.
    return Cached(jpeg, frame, [&frame] {
        return EncodePicture(frame.picture.convertToFormat(QImage::Format_RGB32), "JPG", JPEG_QUALITY);
    });
}

Encoded FrameEncoder::Png(const HandedFrame &frame)
{
    return Cached(png, frame, [&frame] { return EncodePicture(frame.picture, "PNG"); });
}

Encoded FrameEncoder::RawPng(const HandedFrame &frame)
{
    const ShownFrame &shown = *frame.frame;
    return Cached(rawPng, frame,
                  [&shown] { return EncodePicture(RawPicture(shown.raw.data(), FactsOf(shown)), "PNG"); });
}
