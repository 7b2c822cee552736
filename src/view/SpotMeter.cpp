#include "view/SpotMeter.h"

QStringList SpotReading::Lines() const
{
    QStringList lines;
    lines << QStringLiteral("col %1  row %2").arg(pixel.x()).arg(pixel.y())
          << QStringLiteral("sample %1").arg(sample);
    if (corrected)
        lines << QStringLiteral("corrected %1").arg(value);
    lines << QStringLiteral("min %1  max %2").arg(frame.min).arg(frame.max)
          << QStringLiteral("mean %1").arg(frame.Mean(), 0, 'f', 1);
    return lines;
}

SpotReading ReadSpot(const FrameSamples &frame, QPoint pixel, FrameValues &scratch)
{
    const int i = pixel.y() * FRAME_WIDTH + pixel.x();
    SpotReading reading;
    reading.pixel = pixel;
    reading.sample = DecodeSample(frame.raw, i);
    reading.corrected = frame.corrected;
    reading.frame = scratch.Fill(frame);
    reading.value = scratch[i];
    return reading;
}
