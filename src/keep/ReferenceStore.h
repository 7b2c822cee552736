// The reference of the fixed-pattern-noise correction, beyond the single
// frame that "Take FPN Ref" captures: the average of several good frames,
// and, with a file, a reference that survives Stop, unplug, reconnect and a
// restart. Without a file and with one frame it changes nothing.
#ifndef KEEP_REFERENCESTORE_H
#define KEEP_REFERENCESTORE_H

#include "keep/PictureFiles.h"
#include "keep/RawPicture.h"

#include <QString>

enum { MAX_REFERENCE_FRAMES = 256 };

class ReferenceStore
{
public:
    // 1 (the designed capture) to MAX_REFERENCE_FRAMES.
    void SetFramesToAverage(int frames);

    // Keeps references in the raw picture file at path from now on: loads
    // the one it holds (true), or logs one line naming the file and why it
    // holds none (false). Either way every reference taken later is written
    // there.
    bool UseFile(const QString &path);
    // A reference is kept: it survives Stop, unplug and reconnect.
    bool IsKept() const { return bKept; }

    // On the reference worker, while a capture is pending and the newest
    // frame is good; bNew: it arrived in this cycle. With one frame to take
    // it is copied into ref at once. Otherwise each new frame is added to the
    // average (a frame not shown yet stays the newest for several cycles and
    // counts once), and once enough are in, the average goes into ref. True
    // when ref holds the new reference.
    bool Take(const unsigned char *frame, bool bNew, unsigned char *ref);
    // On the GUI thread, after the worker that completed a reference: keeps
    // it and writes it to the file, away from the loop.
    void Taken(const unsigned char *ref, RawFacts facts);
    // After the frame buffers were cleared: the kept reference goes back into
    // ref, and an average in progress starts again from its first frame.
    void Restore(unsigned char *ref);

private:
    int framesToAverage = 1;
    int framesIn = 0;
    int sums[FRAME_PIXELS] = {};  // of the samples averaged so far
    QString file;                 // empty: references are not kept
    bool bKept = false;
    unsigned char kept[RAW_FRAME_SIZE] = {};
    // Destroyed first: it waits for a reference still being written.
    BackgroundWriter writer;
};

#endif
