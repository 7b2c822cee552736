// What the simulated sensor looks at: a warm blob drifting over a gently
// graded background, seen through a fixed per-pixel offset pattern and a
// little temporal noise. Samples are 14-bit (0..16383).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

constexpr int kColumns = 84;
constexpr int kRows = 80;
constexpr int kPixels = kColumns * kRows;
constexpr int kMaxSample = 16383;

class Scene {
public:
    explicit Scene(std::uint32_t seed);

    // Samples of frame n (n counts from 1), row by row. Call with rising n:
    // the temporal noise is drawn in sequence.
    std::vector<std::uint16_t> frame(std::uint64_t n);

private:
    int backgroundAt(int x, int y) const;
    int blobAt(int x, int y, double cx, double cy) const;

    std::vector<int> pattern_;  // fixed offset of every pixel, same in every frame
    std::mt19937 noise_;
};
