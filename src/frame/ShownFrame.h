// A frame as it was shown: made once by the display step and handed, as the
// same immutable value, to everything that watches the picture (the view's
// spot meter, snapshots, the web server), on whatever thread each runs.
// Nothing copies its samples again: one allocation a frame, whatever the
// number of watchers.
#ifndef FRAME_SHOWNFRAME_H
#define FRAME_SHOWNFRAME_H

#include "frame/Frame.h"
#include "frame/Readings.h"

#include <QDateTime>
#include <QObject>
#include <array>
#include <memory>

using RawFrameBytes = std::array<unsigned char, RAW_FRAME_SIZE>;

struct ShownFrame {
    quint64 number = 0;        // frames shown since the viewer started, this one included
    RawFrameBytes raw {};      // the samples as they arrived, two 7-bit groups each
    unsigned int checksum = 0; // as the sensor sent it: the frame's name on both ends of the line
    qint64 arrivedMsecs = 0;   // when it was shown, since the epoch (QDateTime::currentMSecsSinceEpoch)
    qint64 arrivedMicros = 0;  // the same on CLOCK_MONOTONIC, the clock the simulator stamps frames with
    bool bCorrected = false;   // converted against the reference (Apply NUC)
    int gain = 1;
    int offset = 0;
    // The reference it was corrected against; shared by every frame shown
    // with the same one. Null when not corrected.
    std::shared_ptr<const RawFrameBytes> reference;
    // The picture's 256 levels (the converted frame, before its palette).
    std::array<unsigned char, FRAME_PIXELS> levels {};
    // The frame in degrees when a calibration is loaded; null otherwise, and
    // then every reading is in counts.
    std::shared_ptr<const CelsiusPlane> celsius;
    // A register write to the sensor since the calibration (or its last
    // re-anchor) may have changed its response: readings are marked.
    bool bReadingsMayBeOff = false;
    // What celsius was made with; null when uncalibrated.
    std::shared_ptr<const ReadingBasis> basis;

    int Sample(int i) const { return DecodeSample(raw.data(), i); }
    ReadingUnit Unit() const { return celsius ? ReadingUnit::Celsius : ReadingUnit::Counts; }
    // Pixel i (row * FRAME_WIDTH + column, the sensor's order).
    Reading ReadingAt(int i) const;
    // Over the sensor pixels in area (columns and rows, clipped to the sensor).
    ReadingSummary Summarize(const QRect &area) const;
    ReadingSummary Summarize() const { return Summarize(QRect(0, 0, FRAME_WIDTH, FRAME_HEIGHT)); }
    QDateTime Arrived() const { return QDateTime::fromMSecsSinceEpoch(arrivedMsecs); } // local time
};

using ShownFramePtr = std::shared_ptr<const ShownFrame>;
Q_DECLARE_METATYPE(ShownFramePtr)

// Where the display step hands each shown frame over to those that watch
// the picture: connect to Shown (queued across threads, as Qt does).
class FrameFeed : public QObject
{
    Q_OBJECT

public:
    explicit FrameFeed(QObject *parent = nullptr);
    void Publish(const ShownFramePtr &frame) { emit Shown(frame); }

signals:
    void Shown(const ShownFramePtr &frame);
};

#endif
