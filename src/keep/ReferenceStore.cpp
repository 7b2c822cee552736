#include "keep/ReferenceStore.h"

#include <QDebug>
#include <QFileInfo>
#include <cstring>

void ReferenceStore::SetFramesToAverage(int frames)
{
    framesToAverage = qBound(1, frames, static_cast<int>(MAX_REFERENCE_FRAMES));
    framesIn = 0;
}

bool ReferenceStore::UseFile(const QString &path)
{
    file = path;
    QString reason;
    bKept = ReadRawPicture(path, kept, reason);
    if (bKept)
        qDebug().noquote() << "Reference" << path << "loaded";
    else
        qDebug().noquote() << "Reference" << path << "not loaded:" << reason;
    return bKept;
}

bool ReferenceStore::Take(const unsigned char *frame, bool bNew, unsigned char *ref)
{
    if (framesToAverage == 1) {
        memcpy(ref, frame, RAW_FRAME_SIZE);
        return true;
    }
    if (!bNew)
        return false;
    for (int i = 0; i < FRAME_PIXELS; ++i)
        sums[i] = (framesIn == 0 ? 0 : sums[i]) + DecodeSample(frame, i);
    if (++framesIn < framesToAverage)
        return false;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int average = (sums[i] + framesToAverage / 2) / framesToAverage; // to the nearest
        EncodeSample(ref, i, average);
    }
    framesIn = 0;
    return true;
}

void ReferenceStore::Taken(const unsigned char *ref, RawFacts facts)
{
    if (file.isEmpty())
        return;
    memcpy(kept, ref, RAW_FRAME_SIZE);
    bKept = true;
    facts.frames = framesToAverage;
    facts.bChecksum = framesToAverage == 1; // no frame the sensor sent is the average
    const QImage picture = RawPicture(kept, facts);
    const QString path = file;
    writer.Run([path, picture] {
        QString reason;
        QString failed;
        if (!MakeDirectory(QFileInfo(path).path(), reason) || !SavePictures({{path, picture}}, failed, reason))
            qDebug().noquote() << "Reference" << path << "not written:" << reason;
    });
}

void ReferenceStore::Restore(unsigned char *ref)
{
    framesIn = 0;
    if (bKept)
        memcpy(ref, kept, RAW_FRAME_SIZE);
}
