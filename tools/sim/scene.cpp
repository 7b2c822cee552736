#include "scene.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBackground = 8000;    // top 8 bits: about 125 of 255
constexpr int kFlatLevel = kBackground;
constexpr int kGradientX = 1500;
constexpr int kGradientY = 800;
constexpr int kBlobPeak = 4000;
constexpr double kBlobSigma = 7.0;
constexpr int kStripeSpread = 700;   // column offsets, +- (about 11 grey levels)
constexpr int kPixelSpread = 600;    // per-pixel offsets, +- (about 9 grey levels)
constexpr int kNoiseSpread = 6;      // temporal noise, +-

// Uniform in -spread..spread from the raw generator output, so the pattern
// of a seed is the same with every standard library.
int spreadFrom(std::mt19937& rng, int spread)
{
    const std::uint32_t span = static_cast<std::uint32_t>(2 * spread + 1);
    return static_cast<int>(rng() % span) - spread;
}

std::vector<int> makePattern(std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<int> stripes(kColumns);
    for (int& s : stripes)
        s = spreadFrom(rng, kStripeSpread);
    std::vector<int> pattern(kPixels);
    for (int i = 0; i < kPixels; ++i)
        pattern[i] = stripes[i % kColumns] + spreadFrom(rng, kPixelSpread);
    return pattern;
}

} // namespace

Scene::Scene(std::uint32_t seed, Pattern pattern)
    : kind_(pattern), pattern_(makePattern(seed)), noise_(seed ^ 0x5eed5eedu)
{
}

int Scene::backgroundAt(int x, int y) const
{
    return kBackground + kGradientX * x / (kColumns - 1) + kGradientY * y / (kRows - 1);
}

int Scene::blobAt(int x, int y, double cx, double cy) const
{
    const double dx = x - cx, dy = y - cy;
    const double r2 = (dx * dx + dy * dy) / (2.0 * kBlobSigma * kBlobSigma);
    return static_cast<int>(std::lround(kBlobPeak * std::exp(-r2)));
}

std::vector<std::uint16_t> Scene::ramp() const
{
    std::vector<std::uint16_t> samples(kPixels);
    for (int i = 0; i < kPixels; ++i)
        samples[i] = static_cast<std::uint16_t>(i * kMaxSample / (kPixels - 1));
    return samples;
}

std::vector<std::uint16_t> Scene::frame(std::uint64_t n)
{
    if (kind_ == Pattern::Gradient)
        return ramp();
    const double t = static_cast<double>(n);
    const double cx = 42.0 + 28.0 * std::sin(t * 0.07);
    const double cy = 40.0 + 24.0 * std::sin(t * 0.11 + 0.5);
    std::vector<std::uint16_t> samples(kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const int x = i % kColumns, y = i / kColumns;
        const int seen = kind_ == Pattern::Flat ? kFlatLevel : backgroundAt(x, y) + blobAt(x, y, cx, cy);
        const int v = seen + pattern_[i] + spreadFrom(noise_, kNoiseSpread);
        samples[i] = static_cast<std::uint16_t>(std::clamp(v, 0, kMaxSample));
    }
    return samples;
}
