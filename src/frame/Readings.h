// What a pixel of a shown frame reads: its 14-bit sample in counts or, when
// a calibration is loaded, degrees Celsius. Everything that shows or sends a
// value (the spot meter, regions, alarms, the web page, MQTT) asks the frame
// through these, so that a value is in one unit wherever it appears.
#ifndef FRAME_READINGS_H
#define FRAME_READINGS_H

#include "frame/Frame.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <array>

enum class ReadingUnit { Counts, Celsius };

// The frame in degrees, per pixel in the sensor's order (bad pixels already
// replaced, the emissivity applied): made once a frame by the calibration.
using CelsiusPlane = std::array<float, FRAME_PIXELS>;

struct Reading {
    double value = 0;
    ReadingUnit unit = ReadingUnit::Counts;

    // "41.3 °C" (one decimal) or "9286" (counts are whole numbers).
    QString Text() const;
};

// Minimum, maximum and mean over an area of the frame.
struct ReadingSummary {
    Reading min;
    Reading max;
    Reading mean;
};

// What the degrees of a frame were made with, for files that keep the frame
// (a raw snapshot's text entries), so that a tool can convert it again.
struct ReadingBasis {
    QByteArray calibration; // the calibration file's document
    double emissivity = 1.0;
    double reflectedCelsius = 20.0;
    bool bReplaceBad = true;
};

// "°C" or "counts", as /status.json, MQTT and the page name the unit.
QString UnitName(ReadingUnit unit);

#endif
