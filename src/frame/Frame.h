// The sensor's frame as it comes off the wire: its geometry, the size of its
// picture on the screen, and the one definition of how a 14-bit sample is
// packed into two 7-bit groups and of the corrected value. Plain C++: the
// receiver, the conversion worker, the file formats and the tests share it.
#ifndef FRAME_FRAME_H
#define FRAME_FRAME_H

// 84 x 80 samples of 14 bits, row by row, top row first, each sent as two
// 7-bit groups, the upper one first.
enum {
    FRAME_WIDTH = 84,
    FRAME_HEIGHT = 80,
    FRAME_PIXELS = FRAME_WIDTH * FRAME_HEIGHT,
    RAW_FRAME_SIZE = 2 * FRAME_PIXELS,
    SAMPLE_MAX = 16383
};

// The frame on the screen: every sensor pixel a square block of 6 x 6.
enum {
    PICTURE_SCALE = 6,
    PICTURE_WIDTH = PICTURE_SCALE * FRAME_WIDTH,
    PICTURE_HEIGHT = PICTURE_SCALE * FRAME_HEIGHT
};

// The 14-bit sample of pixel i of a raw frame (two bytes a pixel).
inline int DecodeSample(const unsigned char *raw, int i)
{
    return ((raw[2 * i] << 7) + raw[2 * i + 1]) & SAMPLE_MAX;
}

// Pixel i of a raw frame set to a sample (0..16383), as the receiver would
// have stored it.
inline void EncodeSample(unsigned char *raw, int i, int sample)
{
    raw[2 * i] = static_cast<unsigned char>((sample >> 7) & 0x7F);
    raw[2 * i + 1] = static_cast<unsigned char>(sample & 0x7F);
}

// The reference correction of a sample on the sample's own scale:
// gain x (4s - 4r + offset) / 4, rounded down (an arithmetic shift). The
// offset acts on four times the sample. This shifted right by 6 more and
// saturated to 0..255 is the corrected grey level, so a reading and the
// grey picture always agree.
inline int CorrectedValue(int sample, int reference, int gain, int offset)
{
    return gain * (4 * sample - 4 * reference + offset) >> 2;
}

#endif
