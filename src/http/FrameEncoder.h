// The encoded forms of the latest frame: a JPEG and a PNG of the picture as
// shown, and the raw samples' 16-bit PNG. Each is made at most once per
// frame, by the first client that asks for it (the JPEG by the picture
// itself, whose bytes a recording shares), whatever the number of clients;
// the others wait for it and share it. Runs on the server's
// threads only. Needs no window.
#ifndef HTTP_FRAMEENCODER_H
#define HTTP_FRAMEENCODER_H

#include "http/FrameHandover.h"

#include <QByteArray>
#include <memory>
#include <mutex>

class FrameEncoder
{
public:
    // Empty results are returned when the frame has no picture or Qt cannot
    // write the format.
    Encoded Jpeg(const HandedFrame &frame);
    Encoded Png(const HandedFrame &frame);
    Encoded RawPng(const HandedFrame &frame);

private:
    // One format's last result, for one frame.
    struct Cache {
        std::mutex lock;
        quint64 number = 0;
        Encoded bytes;
    };
    template <typename Encode> Encoded Cached(Cache &cache, const HandedFrame &frame, Encode encode);

    Cache png;
    Cache rawPng;
};

#endif
