#include "scene.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBackground = 8000;    // top 8 bits: about 125 of 255
constexpr double kCountsPerDegree = 100.0;
constexpr double kSlopeSpread = 0.10;  // each pixel's slope, +-
constexpr double kGradientX = 15.0;    // degrees across
constexpr double kGradientY = 8.0;     // degrees down
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

// Drawn from generators of their own, so that a seed's offset pattern and
// noise stay what they were before pixels had slopes.
std::vector<double> makeSlopes(std::uint32_t seed)
{
    std::mt19937 rng(seed ^ 0x51095105u);
    std::vector<double> slopes(kPixels);
    for (double& s : slopes)
        s = kCountsPerDegree * (1.0 + kSlopeSpread * spreadFrom(rng, 1000) / 1000.0);
    return slopes;
}

void addDrift(std::vector<int>& pattern, std::uint32_t seed, int drift)
{
    std::mt19937 rng(seed ^ 0xd21f7d21u);
    for (int& offset : pattern)
        offset += drift + (drift >= 4 ? spreadFrom(rng, drift / 4) : 0);
}

// Distinct pixels, every other one dead (0), the others stuck mid-scale.
std::vector<int> makeBadValues(std::uint32_t seed, int count, std::vector<int>& bad)
{
    std::mt19937 rng(seed ^ 0xbadbad00u);
    std::vector<int> values(kPixels, -1);
    while (static_cast<int>(bad.size()) < count) {
        const int pixel = static_cast<int>(rng() % kPixels);
        if (values[pixel] >= 0)
            continue;
        values[pixel] = bad.size() % 2 ? 9000 + static_cast<int>(rng() % 2000) : 0;
        bad.push_back(pixel);
    }
    std::sort(bad.begin(), bad.end());
    return values;
}

} // namespace

Scene::Scene(std::uint32_t seed, Pattern pattern, const SceneSettings& settings)
    : kind_(pattern), pattern_(makePattern(seed)), slope_(makeSlopes(seed)),
      badValue_(makeBadValues(seed, settings.badPixels, bad_)), flatCelsius_(settings.flatCelsius),
      noise_(seed ^ 0x5eed5eedu)
{
    addDrift(pattern_, seed, settings.drift);
}

double Scene::backgroundAt(int x, int y) const
{
    return kSceneCelsius + kGradientX * x / (kColumns - 1) + kGradientY * y / (kRows - 1);
}

// The object's own temperature at its centre, fading into the background.
double Scene::celsiusAt(int x, int y, double cx, double cy) const
{
    const double dx = x - cx, dy = y - cy;
    const double weight = std::exp(-(dx * dx + dy * dy) / (2.0 * kBlobSigma * kBlobSigma));
    const double background = backgroundAt(x, y);
    return background + (kObjectCelsius - background) * weight;
}

// The noise is drawn for every pixel, bad ones too, so that bad pixels leave
// the others' noise as it was.
int Scene::sampleOf(int i, double celsius)
{
    const double counts = kBackground + pattern_[i] + slope_[i] * (celsius - kSceneCelsius);
    const int v = static_cast<int>(std::lround(counts)) + spreadFrom(noise_, kNoiseSpread);
    return badValue_[i] >= 0 ? badValue_[i] : std::clamp(v, 0, kMaxSample);
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
        const double celsius = kind_ == Pattern::Flat ? flatCelsius_ : celsiusAt(x, y, cx, cy);
        samples[i] = static_cast<std::uint16_t>(sampleOf(i, celsius));
    }
    return samples;
}
