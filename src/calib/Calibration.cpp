#include "calib/Calibration.h"

#include <algorithm>
#include <cmath>

namespace {

// A pixel is bad when its response is outside these times the median's, or
// its noise above NOISE_FACTOR times the median noise (or a count, when the
// frames were too few to tell noise).
const double LOW_RESPONSE = 0.5;
const double HIGH_RESPONSE = 1.5;
const double NOISE_FACTOR = 5.0;
const double LEAST_NOISE = 1.0;

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Response (hot minus cold) of every pixel, in counts.
std::vector<double> Responses(const UniformReference &cold, const UniformReference &hot)
{
    std::vector<double> response(FRAME_PIXELS);
    for (int i = 0; i < FRAME_PIXELS; ++i)
        response[i] = hot.mean[i] - cold.mean[i];
    return response;
}

std::vector<double> Noises(const UniformReference &cold, const UniformReference &hot)
{
    std::vector<double> noise(FRAME_PIXELS);
    for (int i = 0; i < FRAME_PIXELS; ++i)
        noise[i] = std::max(cold.noise[i], hot.noise[i]);
    return noise;
}

void MarkBad(const std::vector<double> &response, const std::vector<double> &noise, Calibration &calibration)
{
    const double typical = Median(response);
    const double noiseLimit = NOISE_FACTOR * std::max(Median(noise), LEAST_NOISE);
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const bool bOffResponse
            = response[i] < LOW_RESPONSE * typical || response[i] > HIGH_RESPONSE * typical;
        const bool bStill = std::fabs(response[i]) < 0.5; // did not move
        calibration.bad[i] = bOffResponse || bStill || noise[i] > noiseLimit ? 1 : 0;
    }
}

void FitLines(const UniformReference &cold, const UniformReference &hot, const std::vector<double> &response,
    Calibration &calibration)
{
    const double span = hot.celsius - cold.celsius;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const double slope = std::fabs(response[i]) < 0.5 ? 0.0 : span / response[i];
        calibration.slope[i] = static_cast<float>(slope);
        calibration.intercept[i] = static_cast<float>(cold.celsius - slope * cold.mean[i]);
    }
}

QDateTime NowToTheSecond()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return now.addMSecs(-now.time().msec());
}

} // namespace

void ReferenceAverage::Add(const unsigned char *raw)
{
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const double sample = DecodeSample(raw, i);
        sum[i] += sample;
        squares[i] += sample * sample;
    }
    ++frames;
}

UniformReference ReferenceAverage::At(double celsius) const
{
    UniformReference reference;
    reference.celsius = celsius;
    reference.frames = frames;
    for (int i = 0; i < FRAME_PIXELS && frames > 0; ++i) {
        reference.mean[i] = sum[i] / frames;
        reference.noise[i]
            = std::sqrt(std::max(0.0, squares[i] / frames - reference.mean[i] * reference.mean[i]));
    }
    return reference;
}

int Calibration::BadPixels() const
{
    return static_cast<int>(std::count(bad.begin(), bad.end(), 1));
}

QString WrongTemperatures(double coldCelsius, double hotCelsius)
{
    for (double celsius : {coldCelsius, hotCelsius}) {
        if (!(celsius >= MIN_REFERENCE_CELSIUS && celsius <= MAX_REFERENCE_CELSIUS))
            return QStringLiteral("a reference at %1 \u00b0C is outside %2 .. %3 \u00b0C")
                .arg(celsius)
                .arg(MIN_REFERENCE_CELSIUS)
                .arg(MAX_REFERENCE_CELSIUS);
    }
    if (hotCelsius < coldCelsius + MIN_REFERENCE_STEP)
        return QStringLiteral(
            "the hot reference (%1 \u00b0C) must be at least %2 \u00b0C above the cold (%3 \u00b0C)")
            .arg(hotCelsius)
            .arg(MIN_REFERENCE_STEP)
            .arg(coldCelsius);
    return QString();
}

bool Calibrate(
    const UniformReference &cold, const UniformReference &hot, Calibration &calibration, QString &error)
{
    error = WrongTemperatures(cold.celsius, hot.celsius);
    if (!error.isEmpty())
        return false;
    const std::vector<double> response = Responses(cold, hot);
    if (Median(response) < 1.0) {
        error = QStringLiteral("the hot reference reads no higher than the cold one");
        return false;
    }
    Calibration made;
    made.coldCelsius = cold.celsius;
    made.hotCelsius = hot.celsius;
    MarkBad(response, Noises(cold, hot), made);
    FitLines(cold, hot, response, made);
    made.made = NowToTheSecond();
    calibration = made;
    return true;
}

void Reanchor(Calibration &calibration, const UniformReference &surface)
{
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        if (!calibration.bad[i])
            calibration.intercept[i]
                = static_cast<float>(surface.celsius - double(calibration.slope[i]) * surface.mean[i]);
    }
    calibration.anchored = NowToTheSecond();
}

double SpreadOf(const CelsiusPlane &plane, const std::array<unsigned char, FRAME_PIXELS> &bad)
{
    double sum = 0;
    double squares = 0;
    int count = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        if (bad[i])
            continue;
        sum += plane[i];
        squares += double(plane[i]) * plane[i];
        ++count;
    }
    if (count == 0)
        return 0;
    const double mean = sum / count;
    return std::sqrt(std::max(0.0, squares / count - mean * mean));
}

CalibrationFigures FiguresOf(
    const Calibration &calibration, const UniformReference &cold, const UniformReference &hot)
{
    std::vector<double> goodSlopes;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        if (!calibration.bad[i])
            goodSlopes.push_back(calibration.slope[i]);
    }
    const double oneSlope = Median(goodSlopes);
    CelsiusPlane twoPoint {};
    CelsiusPlane onePoint {};
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        twoPoint[i] = static_cast<float>(calibration.slope[i] * hot.mean[i] + calibration.intercept[i]);
        onePoint[i] = static_cast<float>(cold.celsius + oneSlope * (hot.mean[i] - cold.mean[i]));
    }
    CalibrationFigures figures;
    figures.badPixels = calibration.BadPixels();
    figures.twoPointSpread = SpreadOf(twoPoint, calibration.bad);
    figures.onePointSpread = SpreadOf(onePoint, calibration.bad);
    return figures;
}
