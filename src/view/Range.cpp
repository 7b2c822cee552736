#include "view/Range.h"

#include <QRegularExpression>
#include <cmath>

namespace {

// Wide enough for every corrected value with gain 1..99 and offset
// -32768..32767 (99 x 98300 / 4 both ways), narrow enough that
// span x scale fits 32 bits.
const int MAX_SPAN = 1 << 23;

} // namespace

LevelMap::LevelMap(LevelWindow window)
    : lo(window.lo), hi(window.hi > window.lo + MAX_SPAN ? window.lo + MAX_SPAN : window.hi)
{
    const std::uint32_t span = static_cast<std::uint32_t>(hi - lo);
    scale = span == 0 ? 0 : (255u << SHIFT) / span;
    bias = span == 0 ? 128u << SHIFT : 1u << (SHIFT - 1);
}

QString LevelWindow::Text(int end) const
{
    if (bCelsius)
        return Reading {end / double(CENTI), ReadingUnit::Celsius}.Text();
    return QString::number(end);
}

namespace {

const int LOWEST_CELSIUS = -273;
const int HIGHEST_CELSIUS = 5000;

bool ParseCelsiusRange(const QString &text, RangeSetting &setting, QString &error)
{
    const QRegularExpressionMatch window =
        QRegularExpression(QStringLiteral("^(-?\\d{1,4}(?:\\.\\d)?)C:(-?\\d{1,4}(?:\\.\\d)?)C$")).match(text);
    if (!window.hasMatch()) {
        error = QStringLiteral("'%1' is not design, auto, LO:HI or LOC:HIC").arg(text);
        return false;
    }
    const double lo = window.captured(1).toDouble();
    const double hi = window.captured(2).toDouble();
    if (lo >= hi || lo < LOWEST_CELSIUS || hi > HIGHEST_CELSIUS) {
        error = QStringLiteral("%1 needs %2 <= LO < HI <= %3 (degrees)")
                    .arg(text)
                    .arg(LOWEST_CELSIUS)
                    .arg(HIGHEST_CELSIUS);
        return false;
    }
    setting.mode = RangeMode::Fixed;
    setting.bCelsius = true;
    setting.fixed = {qRound(lo * CENTI), qRound(hi * CENTI), true};
    return true;
}

} // namespace

bool ParseRange(const QString &text, RangeSetting &setting, QString &error)
{
    if (text.endsWith(QLatin1Char('C')))
        return ParseCelsiusRange(text, setting, error);
    if (text == QLatin1String("design") || text == QLatin1String("auto")) {
        setting.mode = text == QLatin1String("auto") ? RangeMode::Auto : RangeMode::Design;
        return true;
    }
    const QRegularExpressionMatch window =
        QRegularExpression(QStringLiteral("^(\\d{1,5}):(\\d{1,5})$")).match(text);
    if (!window.hasMatch()) {
        error = QStringLiteral("'%1' is not design, auto or LO:HI").arg(text);
        return false;
    }
    const int lo = window.captured(1).toInt();
    const int hi = window.captured(2).toInt();
    if (lo >= hi || hi > SAMPLE_MAX) {
        error = QStringLiteral("%1 needs 0 <= LO < HI <= %2").arg(text).arg(SAMPLE_MAX);
        return false;
    }
    setting.mode = RangeMode::Fixed;
    setting.fixed = {lo, hi};
    return true;
}

void LevelRange::Set(const RangeSetting &setting)
{
    given = setting;
    mode = setting.mode;
    bWindowKept = false;
}

void LevelRange::Step()
{
    switch (mode) {
    case RangeMode::Design:
        mode = RangeMode::Auto;
        bWindowKept = false; // a lock takes the window of a frame seen under auto
        return;
    case RangeMode::Auto:
        mode = RangeMode::Locked;
        return;
    case RangeMode::Locked:
        mode = given.mode == RangeMode::Fixed ? RangeMode::Fixed : RangeMode::Design;
        return;
    case RangeMode::Fixed:
        mode = RangeMode::Design;
        return;
    }
}

QString LevelRange::Name() const
{
    switch (mode) {
    case RangeMode::Auto:
        return QStringLiteral("auto");
    case RangeMode::Locked:
        return QStringLiteral("locked");
    case RangeMode::Fixed:
        if (given.bCelsius)
            return QStringLiteral("%1C:%2C")
                .arg(given.fixed.lo / double(CENTI))
                .arg(given.fixed.hi / double(CENTI));
        return QStringLiteral("%1:%2").arg(given.fixed.lo).arg(given.fixed.hi);
    case RangeMode::Design:
        break;
    }
    return QStringLiteral("design");
}

void LevelRange::Convert(const FrameSamples &frame, unsigned char *image8, const CelsiusPlane *celsius)
{
    const bool bDegrees = celsius != nullptr;
    bDegreesWithout = given.bCelsius && !bDegrees;
    if (mode == RangeMode::Design)
        ConvertAsDesigned(frame, image8);
    else if (mode == RangeMode::Fixed && !given.bCelsius)
        MapFrame(frame, nullptr, given.fixed, image8); // counts given: counts shown
    else if (mode == RangeMode::Fixed && bDegrees)
        MapFrame(frame, celsius, given.fixed, image8);
    else if (mode == RangeMode::Locked && bWindowKept && window.bCelsius == bDegrees)
        MapFrame(frame, celsius, window, image8);
    else
        MapOwnWindow(frame, celsius, image8); // auto, a lock still waiting, degrees without any
}

LevelWindow LevelRange::Window() const
{
    switch (mode) {
    case RangeMode::Auto:
    case RangeMode::Locked:
        return window;
    case RangeMode::Fixed:
        return bDegreesWithout ? window : given.fixed;
    case RangeMode::Design:
        break;
    }
    return LevelWindow();
}

namespace {

// A degree reading in hundredths, rounded; far beyond any window's ends it
// is clamped so that it fits the map's arithmetic.
struct CentiCelsiusOf {
    const float *celsius;
    int operator()(int i) const
    {
        const float centi = celsius[i] * CENTI;
        const float inside = centi < -1e6f ? -1e6f : centi > 1e6f ? 1e6f : centi;
        return static_cast<int>(inside + (inside < 0 ? -0.5f : 0.5f)); // to the nearest, halves away from 0
    }
};

// One pass: value, clamp, multiply, shift. Written through a __restrict
// pointer, so that the compiler may make vector code of it.
template <typename Value> void MapThrough(Value value, const LevelMap map, unsigned char *__restrict image8)
{
    for (int i = 0; i < FRAME_PIXELS; ++i)
        image8[i] = map.Level(value(i));
}

template <typename Value> LevelWindow Extremes(Value value)
{
    auto lo = value(0); // of the quantity's own type: 16 bits for plain samples
    auto hi = lo;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const auto v = value(i);
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    return {lo, hi};
}

// The top 8 of the 14 sample bits.
void ConvertPlain(const unsigned char *raw, unsigned char *__restrict image8)
{
    for (int i = 0; i < FRAME_PIXELS; ++i)
        image8[i] = static_cast<unsigned char>(DecodeSample(raw, i) >> 6);
}

// The corrected value's grey level: gain x (4s - 4r + offset) / 256, rounded
// down and saturated to 0..255.
void ConvertCorrected(const FrameSamples &frame, unsigned char *__restrict image8)
{
    const unsigned char *raw = frame.raw;
    const unsigned char *ref = frame.ref;
    const int gain = frame.gain;
    const int offset = frame.offset;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int v = CorrectedValue(DecodeSample(raw, i), DecodeSample(ref, i), gain, offset) >> 6;
        image8[i] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

} // namespace

void ConvertAsDesigned(const FrameSamples &frame, unsigned char *image8)
{
    if (frame.corrected)
        ConvertCorrected(frame, image8);
    else
        ConvertPlain(frame.raw, image8);
}

// The frame's degrees in hundredths when it has them, else its quantity.
template <typename Work>
void LevelRange::WithValues(const FrameSamples &frame, const CelsiusPlane *celsius, Work work) const
{
    if (celsius)
        work(CentiCelsiusOf {celsius->data()});
    else
        WithQuantity(frame, work);
}

void LevelRange::MapFrame(const FrameSamples &frame, const CelsiusPlane *celsius, LevelWindow through,
                          unsigned char *image8) const
{
    WithValues(frame, celsius, [&](auto value) { MapThrough(value, LevelMap(through), image8); });
}

// Two passes: the extremes, then the mapping between them.
void LevelRange::MapOwnWindow(const FrameSamples &frame, const CelsiusPlane *celsius, unsigned char *image8)
{
    WithValues(frame, celsius, [&](auto value) { window = Extremes(value); });
    window.bCelsius = celsius != nullptr;
    bWindowKept = true;
    MapFrame(frame, celsius, window, image8);
}
