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

    // The lines of the reading box.
    QStringList Lines() const;
};

SpotReading ReadSpot(const FrameSamples &frame, QPoint pixel, FrameValues &scratch);

#endif
