// Readings in degrees: a two-point calibration. Two uniform references at
// two known temperatures give every pixel its own straight line from sample
// to degrees; pixels that respond far from the others (dead, stuck, noisy)
// are marked bad and read as the median of their good neighbours. Needs no
// window: the calibration page and framescope-calibrate share it.
#ifndef CALIB_CALIBRATION_H
#define CALIB_CALIBRATION_H

#include "frame/Readings.h"

#include <QDateTime>
#include <QString>
#include <array>
#include <vector>

// The temperatures a reference may be taken at, and the least difference
// between the cold and the hot one.
constexpr double MIN_REFERENCE_CELSIUS = -40.0;
constexpr double MAX_REFERENCE_CELSIUS = 500.0;
constexpr double MIN_REFERENCE_STEP = 5.0;

// Frames of a uniform surface at a known temperature, averaged per pixel.
struct UniformReference {
    double celsius = 0;
    int frames = 0;
    std::array<double, FRAME_PIXELS> mean {};  // counts
    std::array<double, FRAME_PIXELS> noise {}; // standard deviation over the frames, counts
};

// Sums frames one by one (raw frames, two 7-bit groups a sample) into a
// reference; the same frames in the same order give the same reference.
class ReferenceAverage
{
public:
    void Add(const unsigned char *raw);
    int Frames() const { return frames; }
    UniformReference At(double celsius) const;

private:
    int frames = 0;
    std::array<double, FRAME_PIXELS> sum {};
    std::array<double, FRAME_PIXELS> squares {};
};

struct Calibration {
    double coldCelsius = 0;
    double hotCelsius = 0;
    // Per pixel, degrees = slope x sample + intercept.
    std::array<float, FRAME_PIXELS> slope {};
    std::array<float, FRAME_PIXELS> intercept {};
    std::array<unsigned char, FRAME_PIXELS> bad {}; // 1: bad pixel
    QDateTime made;                                 // UTC, to the second
    QDateTime anchored;                             // UTC; invalid until a re-anchor

    int BadPixels() const;
};

// A reference's temperature is refused with its reason (empty: accepted).
QString WrongTemperatures(double coldCelsius, double hotCelsius);

// The calibration through the two references; false with the reason when
// their temperatures are refused or no pixel moved between them.
bool Calibrate(
    const UniformReference &cold, const UniformReference &hot, Calibration &calibration, QString &error);

// Each good pixel's intercept renewed against one uniform surface, its slope kept.
void Reanchor(Calibration &calibration, const UniformReference &surface);

// What a calibration did to its own hot reference: the spread (rms over the
// good pixels, in degrees) with each pixel's line, and with the designed
// one-point correction (the cold reference subtracted, one slope for all).
struct CalibrationFigures {
    int badPixels = 0;
    double twoPointSpread = 0;
    double onePointSpread = 0;
};
CalibrationFigures FiguresOf(
    const Calibration &calibration, const UniformReference &cold, const UniformReference &hot);

// Root mean square deviation from their mean of the plane's good pixels.
double SpreadOf(const CelsiusPlane &plane, const std::array<unsigned char, FRAME_PIXELS> &bad);

#endif
