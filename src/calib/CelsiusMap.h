// The per-frame map from samples to degrees: each pixel's line, bad pixels
// replaced by the median of their good neighbours, then the emissivity.
// Built once per calibration or setting; Fill runs once a frame (on the
// conversion worker) and touches nothing but its output.
#ifndef CALIB_CELSIUSMAP_H
#define CALIB_CELSIUSMAP_H

#include "calib/Calibration.h"

#include <memory>

struct ReadingSettings {
    double emissivity = 1.0;      // 0.1 .. 1
    double reflectedCelsius = 20; // what the surroundings radiate at
    bool bReplaceBad = true;
};

// The grey-body approximation: the object's temperature from the one read
// through emissivity e with the surroundings at reflected, in kelvin
// T_object^4 = (T^4 - (1 - e) T_reflected^4) / e. Below what the surroundings
// alone give, absolute zero.
double ObjectCelsius(double readCelsius, double emissivity, double reflectedCelsius);

class CelsiusMap
{
public:
    CelsiusMap(const Calibration &calibration, const ReadingSettings &settings);
    void Fill(const unsigned char *raw, CelsiusPlane &plane) const;
    std::shared_ptr<const CelsiusPlane> Plane(const unsigned char *raw) const;

private:
    struct Replacement {
        int pixel;
        std::vector<int> neighbours; // good ones, nearest ring that has any
    };
    void ReplaceBad(CelsiusPlane &plane) const;
    void CorrectEmissivity(CelsiusPlane &plane) const;

    std::array<float, FRAME_PIXELS> slope;
    std::array<float, FRAME_PIXELS> intercept;
    std::vector<Replacement> replacements;
    ReadingSettings settings;
};

#endif
