#include "view/SpotMeter.h"

namespace {

// Degrees: the reading with its sample beside it, the frame's extremes and mean.
QStringList CelsiusLines(const SpotReading &spot)
{
    QStringList lines;
    lines << QStringLiteral("col %1  row %2").arg(spot.pixel.x()).arg(spot.pixel.y())
          << QStringLiteral("%1  (%2)").arg(spot.reading.Text()).arg(spot.sample)
          << QStringLiteral("min %1  max %2").arg(spot.summary.min.Text(), spot.summary.max.Text())
          << QStringLiteral("mean %1").arg(spot.summary.mean.Text());
    if (spot.bMayBeOff)
        lines << QStringLiteral("may be off: re-anchor");
    return lines;
}

} // namespace

QStringList SpotReading::Lines() const
{
    if (bCelsius)
        return CelsiusLines(*this);
    QStringList lines;
    lines << QStringLiteral("col %1  row %2").arg(pixel.x()).arg(pixel.y())
          << QStringLiteral("sample %1").arg(sample);
    if (corrected)
        lines << QStringLiteral("corrected %1").arg(value);
    lines << QStringLiteral("min %1  max %2").arg(frame.min).arg(frame.max)
          << QStringLiteral("mean %1").arg(frame.Mean(), 0, 'f', 1);
    return lines;
}

SpotReading ReadSpot(const ShownFrame &shown, QPoint pixel, FrameValues &scratch)
{
    const FrameSamples frame = SamplesOf(shown);
    const int i = pixel.y() * FRAME_WIDTH + pixel.x();
    SpotReading reading;
    reading.pixel = pixel;
    reading.sample = DecodeSample(frame.raw, i);
    reading.corrected = frame.corrected;
    reading.bCelsius = shown.Unit() == ReadingUnit::Celsius;
    if (reading.bCelsius) {
        reading.reading = shown.ReadingAt(i);
        reading.summary = shown.Summarize();
        reading.bMayBeOff = shown.bReadingsMayBeOff;
        return reading;
    }
    reading.frame = scratch.Fill(frame);
    reading.value = scratch[i];
    return reading;
}
