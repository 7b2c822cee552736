// The quantity that the picture's range and the spot meter work on: the
// 14-bit sample s of each pixel, or with the reference correction on, the
// corrected value c on the same scale. Plain C++, for the conversion worker.
#ifndef VIEW_SAMPLES_H
#define VIEW_SAMPLES_H

#include "SharedState.h"

#include <cstdint>

// One frame as the conversion sees it: the newest raw frame, the reference
// and the correction's settings.
struct FrameSamples {
    const unsigned char *raw; // 13440 bytes, the upper 7-bit group first
    const unsigned char *ref; // read only when corrected
    bool corrected;           // Apply NUC
    int gain;
    int offset;

    // The 14-bit sample of pixel i.
    static int Sample(const unsigned char *frame, int i)
    {
        return ((frame[2 * i] << 7) + frame[2 * i + 1]) & 0x3FFF;
    }
    // gain x (4s - 4r + offset) / 4, rounded down (an arithmetic shift). This
    // shifted right by 6 more and saturated to 0..255 is exactly the grey level
    // of the corrected conversion, so the reading and the grey picture agree.
    int Corrected(int i) const { return gain * (4 * Sample(raw, i) - 4 * Sample(ref, i) + offset) >> 2; }
    int Value(int i) const { return corrected ? Corrected(i) : Sample(raw, i); }
};

// The quantity of pixel i, one kind of frame each. Loops that write through
// a __restrict pointer over these become vector code.
// 14 bits fit 16: vector code then takes twice as many samples at a time.
struct SampleOf {
    const unsigned char *raw;
    std::int16_t operator()(int i) const { return static_cast<std::int16_t>(FrameSamples::Sample(raw, i)); }
};

struct CorrectedOf {
    FrameSamples frame;
    int operator()(int i) const { return frame.Corrected(i); }
};

// Calls work(quantity) with the frame's quantity, chosen once for the frame
// rather than once per pixel.
template <typename Work> void WithQuantity(const FrameSamples &frame, Work work)
{
    if (frame.corrected)
        work(CorrectedOf{frame});
    else
        work(SampleOf{frame.raw});
}

struct QuantityStats {
    int min = 0;
    int max = 0;
    long long sum = 0;
    double Mean() const { return static_cast<double>(sum) / FRAME_PIXELS; }
};

// The values of one frame with their extremes and sum, for the spot
// meter's reading. Holds its own block: nothing is allocated per frame.
class FrameValues
{
public:
    QuantityStats Fill(const FrameSamples &frame)
    {
        QuantityStats stats;
        WithQuantity(frame, [&](auto value) {
            stats.min = stats.max = value(0);
            for (int i = 0; i < FRAME_PIXELS; ++i) {
                const int v = value(i);
                values[i] = v;
                stats.min = v < stats.min ? v : stats.min;
                stats.max = v > stats.max ? v : stats.max;
                stats.sum += v;
            }
        });
        return stats;
    }
    int operator[](int i) const { return values[i]; }

private:
    int values[FRAME_PIXELS] = {};
};

#endif
