// What the simulated sensor looks at: a warm blob drifting over a gently
// graded background, seen through a fixed per-pixel offset pattern and a
// little temporal noise. Samples are 14-bit (0..16383). Two known pictures
// stand in for it on request: an even field (what a lens cap shows, through
// the same pattern and noise) and an exact ramp (a test chart).
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

class Scene {
public:
    explicit Scene(std::uint32_t seed, Pattern pattern = Pattern::Scene);

    // Samples of frame n (n counts from 1), row by row. Call with rising n:
    // the temporal noise is drawn in sequence.
    std::vector<std::uint16_t> frame(std::uint64_t n);

private:
    int backgroundAt(int x, int y) const;
    int blobAt(int x, int y, double cx, double cy) const;
    std::vector<std::uint16_t> ramp() const;

    Pattern kind_;

    std::vector<int> pattern_;  // fixed offset of every pixel, same in every frame
    std::mt19937 noise_;
};
