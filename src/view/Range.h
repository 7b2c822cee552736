// Which values the 256 levels of the picture stand for: the top 8 of the 14
// sample bits, or with the correction the corrected value saturated (design),
// each frame's own coldest to hottest (auto), such a window kept while the
// scene changes (locked), or a window given at start (LO:HI).
#ifndef VIEW_RANGE_H
#define VIEW_RANGE_H

#include "view/Samples.h"

#include <QString>
#include <cstdint>

// The values shown as level 0 (lo) and level 255 (hi); lo <= hi. In counts,
// or with bCelsius in hundredths of a degree.
struct LevelWindow {
    int lo = 0;
    int hi = SAMPLE_MAX;
    bool bCelsius = false;

    // An end as the colour bar labels it: "9286" or "41.3 °C".
    QString Text(int end) const;
};

// Hundredths of a degree: the unit of a window in degrees.
constexpr int CENTI = 100;

// Maps a value onto 0..255 over a window, clamped at both ends, in fixed
// point: a scale computed once per window, then a multiply and a shift per
// pixel. lo gives 0, hi gives 255, the rest rounds to the nearest level; an
// empty window (lo = hi) gives the middle of the scale, 128.
class LevelMap
{
public:
    explicit LevelMap(LevelWindow window);
    unsigned char Level(int value) const
    {
        const int inside = value < lo ? lo : value > hi ? hi : value;
        return static_cast<unsigned char>((static_cast<std::uint32_t>(inside - lo) * scale + bias) >> SHIFT);
    }

private:
    enum { SHIFT = 24 };
    int lo;
    int hi;
    std::uint32_t scale;
    std::uint32_t bias;
};

enum class RangeMode { Design, Auto, Locked, Fixed };

// A range as the command line gives it: design, auto or a fixed LO:HI (with
// bCelsius in degrees, kept in hundredths).
struct RangeSetting {
    bool bCelsius = false;
    RangeMode mode = RangeMode::Design;
    LevelWindow fixed;
};

// Reads "design", "auto", "LO:HI" (0 <= LO < HI <= 16383) or "LOC:HIC"
// (degrees, one decimal at most, -273 <= LO < HI <= 5000). On a bad text
// returns false with the reason in error.
bool ParseRange(const QString &text, RangeSetting &setting, QString &error);

// The design's conversion: with the correction off the top 8 of the 14
// sample bits, with it on the corrected value shifted right by 6 and
// saturated to 0..255 (its arithmetic: frame/Frame.h).
void ConvertAsDesigned(const FrameSamples &frame, unsigned char *image8);

// The range in use and the conversion through it. Convert runs on the
// conversion worker; Set and Step on the GUI thread between cycles.
class LevelRange
{
public:
    void Set(const RangeSetting &setting);
    // design -> auto -> locked (the auto window of this moment) -> LO:HI when
    // one was given at start -> design.
    void Step();
    RangeMode Mode() const { return mode; }
    QString Name() const;
    // Whether frames are mapped through a window rather than by the design's
    // conversion.
    bool MapsToWindow() const { return mode != RangeMode::Design; }
    // Every pixel's level into image8: the design's conversion, or the
    // frame's value mapped through the window: in degrees when the frame has
    // them (celsius not null) and the window is not one in counts given at
    // start. A window in degrees given for a frame without them: its own.
    void Convert(const FrameSamples &frame, unsigned char *image8, const CelsiusPlane *celsius = nullptr);
    // The window of the frame converted last (for design: the whole scale).
    LevelWindow Window() const;

private:
    template <typename Work>
    void WithValues(const FrameSamples &frame, const CelsiusPlane *celsius, Work work) const;
    void MapFrame(const FrameSamples &frame, const CelsiusPlane *celsius, LevelWindow through,
                  unsigned char *image8) const;
    void MapOwnWindow(const FrameSamples &frame, const CelsiusPlane *celsius, unsigned char *image8);

    RangeSetting given;
    RangeMode mode = RangeMode::Design;
    LevelWindow window;        // of the last auto frame, or the one locked
    bool bWindowKept = false;  // window holds a frame's window since auto began
    bool bDegreesWithout = false; // a window in degrees given, the last frame had none
};

#endif
