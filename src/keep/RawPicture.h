// A frame's samples as a picture file: a 16-bit greyscale PNG of 84 x 80 in
// the sensor's own orientation, each pixel the 14-bit sample exactly as it
// arrived (0..16383, not scaled), with what is known about the frame in the
// PNG's text entries. Snapshots keep frames this way, and the reference is
// kept across restarts in it. Needs no window.
#ifndef KEEP_RAWPICTURE_H
#define KEEP_RAWPICTURE_H

#include "frame/ShownFrame.h"

#include <QDateTime>
#include <QImage>
#include <QString>

// What the text entries say about the frame.
struct RawFacts {
    QDateTime taken;         // local time
    bool bChecksum = false;  // the frame is one the sensor sent (not an average)
    unsigned int checksum = 0; // as the sensor sent it
    bool bCorrected = false; // Apply NUC was on
    int gain = 1;
    int offset = 0;
    int frames = 1;          // averaged into it (a reference of several frames)
    // With a calibration: what converts its samples to degrees.
    std::shared_ptr<const ReadingBasis> basis;
    bool bReadingsMayBeOff = false;
};

// What is known of a shown frame; taken is when it was shown.
RawFacts FactsOf(const ShownFrame &frame);

// The picture of a raw frame (13440 bytes, two 7-bit groups a sample, the
// upper first): each pixel 128 x upper + lower.
QImage RawPicture(const unsigned char *raw, const RawFacts &facts);

// Reads a raw picture file back into a raw frame. A file that is not a
// 16-bit greyscale picture of 84 x 80 whose samples all fit 14 bits is
// refused: false, raw untouched, the reason in reason.
bool ReadRawPicture(const QString &path, unsigned char *raw, QString &reason);

#endif
