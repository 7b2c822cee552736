// What the simulated sensor looks at, in degrees: a warm object (70 C at its
// centre) drifting over a gently graded background (25 to 48 C), seen
// through each pixel's own response (a slope within +-10 % of 100 counts a
// degree, the fixed offset pattern) and a little temporal noise; at 25 C
// every pixel reads 8000 counts plus its offset. Samples are 14-bit
// (0..16383). Two known pictures stand in for it on request: an even field
// at one temperature (what a lens cap shows, through the same response and
// noise) and an exact ramp (a test chart). On request a few pixels are bad
// (dead at 0, or stuck at one value) and the offsets have drifted.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

constexpr int kColumns = 84;
constexpr int kRows = 80;
constexpr int kPixels = kColumns * kRows;
constexpr int kMaxSample = 16383;

enum class Pattern {
    Scene,     // the drifting blob
    Flat,      // one level everywhere, through the fixed pattern and the noise
    Gradient,  // pixel i (row by row) is i * 16383 / 6719 exactly, in every frame
};

constexpr double kSceneCelsius = 25.0;  // every pixel reads its offset alone
constexpr double kObjectCelsius = 70.0; // the warm object at its centre

struct SceneSettings {
    double flatCelsius = kSceneCelsius; // the even field's temperature
    int badPixels = 0;                   // dead and stuck, alternately
    int drift = 0;                       // counts every offset has moved, each +-25 % of its own
};

class Scene {
public:
    explicit Scene(std::uint32_t seed, Pattern pattern = Pattern::Scene, const SceneSettings& settings = {});

    // The bad pixels (row by row index), in ascending order.
    const std::vector<int>& badPixels() const { return bad_; }

    // Samples of frame n (n counts from 1), row by row. Call with rising n:
    // the temporal noise is drawn in sequence.
    std::vector<std::uint16_t> frame(std::uint64_t n);

private:
    double backgroundAt(int x, int y) const;
    double celsiusAt(int x, int y, double cx, double cy) const;
    int sampleOf(int i, double celsius);
    std::vector<std::uint16_t> ramp() const;

    Pattern kind_;

    std::vector<int> pattern_;  // fixed offset of every pixel, same in every frame
    std::vector<double> slope_; // counts a degree of every pixel
    std::vector<int> bad_;
    std::vector<int> badValue_; // per pixel: its stuck value, or -1 for a good one
    double flatCelsius_;
    std::mt19937 noise_;
};
