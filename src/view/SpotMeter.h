// The reading at one sensor pixel, and the frame it is read from, kept from
// one display step to the next so that a tap can be answered at once.
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

// A copy of the frame last shown: its samples, the reference and settings it
// was converted with, its 8-bit picture and the window of its range. The
// receiver reuses its buffers and a Stop clears them; this stays.
class KeptFrame
{
public:
    void Keep(const FrameSamples &frame, const unsigned char *image8, bool windowed, LevelWindow window);
    FrameSamples Samples() const;
    const unsigned char *Image8() const { return picture; }
    bool Windowed() const { return bWindowed; } // converted through a window, not plainly
    LevelWindow Window() const { return window; }

private:
    unsigned char raw[RAW_FRAME_SIZE] = {};
    unsigned char ref[RAW_FRAME_SIZE] = {};
    unsigned char picture[FRAME_PIXELS] = {};
    bool bCorrected = false;
    int gain = 1;
    int offset = 0;
    bool bWindowed = false;
    LevelWindow window;
};

#endif
