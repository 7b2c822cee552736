// The reading at one sensor pixel of the frame last shown, so that a tap can
// be answered at once.
#ifndef VIEW_SPOTMETER_H
#define VIEW_SPOTMETER_H

#include "view/Range.h"

#include <QPoint>
#include <QStringList>

struct SpotReading {
    QPoint pixel;           // column, row on the sensor
    int sample = 0;         // 14-bit sample
    bool corrected = false; // Apply NUC was on: value is the corrected one
    int value = 0;
    QuantityStats frame;    // of the quantity the picture shows
    // With a calibration: the pixel and the frame in degrees.
    bool bCelsius = false;
    Reading reading;
    ReadingSummary summary;
    bool bMayBeOff = false; // the sensor's response may have changed since

    // The lines of the reading box.
    QStringList Lines() const;
};

SpotReading ReadSpot(const ShownFrame &frame, QPoint pixel, FrameValues &scratch);

#endif
