#include "calib/CelsiusMap.h"

#include <algorithm>
#include <cmath>

namespace {

const double KELVIN = 273.15;
const int WIDEST_RING = 3; // neighbours looked for up to this many pixels away

// The good pixels on the ring at distance ring around pixel.
std::vector<int> GoodOnRing(const Calibration &calibration, int pixel, int ring)
{
    const int column = pixel % FRAME_WIDTH;
    const int row = pixel / FRAME_WIDTH;
    std::vector<int> good;
    for (int y = row - ring; y <= row + ring; ++y) {
        for (int x = column - ring; x <= column + ring; ++x) {
            const bool bOnRing = std::max(std::abs(x - column), std::abs(y - row)) == ring;
            const bool bInside = x >= 0 && x < FRAME_WIDTH && y >= 0 && y < FRAME_HEIGHT;
            if (bOnRing && bInside && !calibration.bad[y * FRAME_WIDTH + x])
                good.push_back(y * FRAME_WIDTH + x);
        }
    }
    return good;
}

float MedianOf(const CelsiusPlane &plane, const std::vector<int> &pixels)
{
    float values[(2 * WIDEST_RING + 1) * (2 * WIDEST_RING + 1)];
    const int count = static_cast<int>(pixels.size());
    for (int k = 0; k < count; ++k)
        values[k] = plane[pixels[k]];
    std::sort(values, values + count);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

} // namespace

double ObjectCelsius(double readCelsius, double emissivity, double reflectedCelsius)
{
    // Squares and square roots: several times faster than pow, per pixel.
    const double read = (readCelsius + KELVIN) * (readCelsius + KELVIN);
    const double reflected = (reflectedCelsius + KELVIN) * (reflectedCelsius + KELVIN);
    const double object = (read * read - (1 - emissivity) * reflected * reflected) / emissivity;
    return (object > 0 ? std::sqrt(std::sqrt(object)) : 0.0) - KELVIN;
}

CelsiusMap::CelsiusMap(const Calibration &calibration, const ReadingSettings &settings)
    : slope(calibration.slope), intercept(calibration.intercept), settings(settings)
{
    for (int i = 0; i < FRAME_PIXELS && settings.bReplaceBad; ++i) {
        if (!calibration.bad[i])
            continue;
        Replacement replacement {i, {}};
        for (int ring = 1; ring <= WIDEST_RING && replacement.neighbours.empty(); ++ring)
            replacement.neighbours = GoodOnRing(calibration, i, ring);
        if (!replacement.neighbours.empty())
            replacements.push_back(replacement);
    }
}

void CelsiusMap::Fill(const unsigned char *raw, CelsiusPlane &plane) const
{
    for (int i = 0; i < FRAME_PIXELS; ++i)
        plane[i] = slope[i] * static_cast<float>(DecodeSample(raw, i)) + intercept[i];
    ReplaceBad(plane);
    if (settings.emissivity < 1.0)
        CorrectEmissivity(plane);
}

std::shared_ptr<const CelsiusPlane> CelsiusMap::Plane(const unsigned char *raw) const
{
    const std::shared_ptr<CelsiusPlane> plane = std::make_shared<CelsiusPlane>();
    Fill(raw, *plane);
    return plane;
}

// Neighbours are good pixels, never replaced: the order does not matter.
void CelsiusMap::ReplaceBad(CelsiusPlane &plane) const
{
    for (const Replacement &replacement : replacements)
        plane[replacement.pixel] = MedianOf(plane, replacement.neighbours);
}

void CelsiusMap::CorrectEmissivity(CelsiusPlane &plane) const
{
    for (float &celsius : plane)
        celsius = static_cast<float>(ObjectCelsius(celsius, settings.emissivity, settings.reflectedCelsius));
}
