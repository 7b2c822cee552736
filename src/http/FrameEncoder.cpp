#include "http/FrameEncoder.h"

#include "keep/RawPicture.h"

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
    return frame.picture ? frame.picture->Jpeg() : std::make_shared<const QByteArray>();
}

Encoded FrameEncoder::Png(const HandedFrame &frame)
{
    return Cached(png, frame, [&frame] {
        return EncodePicture(frame.picture ? frame.picture->Image() : QImage(), "PNG");
    });
}

Encoded FrameEncoder::RawPng(const HandedFrame &frame)
{
    const ShownFrame &shown = *frame.frame;
    return Cached(rawPng, frame,
                  [&shown] { return EncodePicture(RawPicture(shown.raw.data(), FactsOf(shown)), "PNG"); });
}
