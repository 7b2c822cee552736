// The quantity that the picture's range and the spot meter work on: the
// 14-bit sample s of each pixel, or with the reference correction on, the
// corrected value c on the same scale. Plain C++, for the conversion worker.
#ifndef VIEW_SAMPLES_H
#define VIEW_SAMPLES_H

#include "frame/ShownFrame.h"

#include <cstdint>

// One frame as the conversion sees it: the newest raw frame, the reference
// and the correction's settings.
struct FrameSamples {
    const unsigned char *raw; // 13440 bytes, the upper 7-bit group first
    const unsigned char *ref; // read only when corrected
    bool corrected;           // Apply NUC
    int gain;
    int offset;

    int Corrected(int i) const { return CorrectedValue(DecodeSample(raw, i), DecodeSample(ref, i), gain, offset); }
};

// A shown frame's samples, as they were converted.
inline FrameSamples SamplesOf(const ShownFrame &frame)
{
    const unsigned char *ref = frame.reference ? frame.reference->data() : nullptr;
    return FrameSamples{frame.raw.data(), ref, frame.bCorrected, frame.gain, frame.offset};
}

// The quantity of pixel i, one kind of frame each. Loops that write through
// a __restrict pointer over these become vector code.
// 14 bits fit 16: vector code then takes twice as many samples at a time.
struct SampleOf {
    const unsigned char *raw;
    std::int16_t operator()(int i) const { return static_cast<std::int16_t>(DecodeSample(raw, i)); }
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
