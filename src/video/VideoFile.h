// One recording's Matroska file, written with FFmpeg's libavformat and
// libavcodec: track 1 the picture as shown (Motion JPEG, the bytes given),
// track 2 the raw samples (FFV1, 16-bit grey, 84 x 80, the sensor's
// orientation), both stamped with the frame's arrival since the first
// frame's. Used by one thread at a time; needs no window.
#ifndef VIDEO_VIDEOFILE_H
#define VIDEO_VIDEOFILE_H

#include "frame/ShownFrame.h"

#include <QMap>
#include <QSize>
#include <QString>
#include <memory>

// Matroska tags of the whole file, by name.
using VideoTags = QMap<QString, QString>;

class VideoFile
{
public:
    VideoFile();
    ~VideoFile(); // closes the file as Close does
    VideoFile(const VideoFile &) = delete;
    VideoFile &operator=(const VideoFile &) = delete;

    // Each returns false with the reason on failure; the file stays as far
    // as it was written, readable up to its last cluster written out.
    bool Open(const QString &path, const VideoTags &tags, const QSize &picture, QString &reason);
    // One frame: the picture as shown (a JPEG; empty: none for this frame)
    // and the frame's samples.
    bool Add(const ShownFrame &frame, const QByteArray &jpeg, QString &reason);
    // Writes what is buffered out to the file: a cut-off file keeps it.
    bool Flush(QString &reason);
    // The index and the duration; the file is complete.
    bool Close(QString &reason);
    // Lets the file go as it is, without trying to write more (after a failure).
    void Abandon();
    bool IsOpen() const;
    quint64 Frames() const { return frames; }

private:
    struct Streams;
    bool EncodeSamples(const ShownFrame &frame, qint64 pts, QString &reason);
    bool WritePacket(void *packet, int stream, qint64 pts, QString &reason);
    static bool Failed(int error, QString &reason);

    std::unique_ptr<Streams> streams;
    qint64 firstMicros = 0;
    quint64 frames = 0;
};

#endif
