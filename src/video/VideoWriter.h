// The recording's own thread: the GUI thread hands it frames and the
// pictures grabbed for them and never waits for the encoder or the disk;
// here the JPEG is taken (or made, once, for the web stream too), the
// samples encoded and the file written, and what is buffered goes out at
// least once a second. A failure ends the recording with one line naming
// the file and the reason. Needs no window.
#ifndef VIDEO_VIDEOWRITER_H
#define VIDEO_VIDEOWRITER_H

#include "keep/PictureArea.h"
#include "video/VideoFile.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// How a recording's file ended; told from the writer's thread.
struct VideoOutcome {
    quint64 recording = 0; // the number Start returned
    QString path;
    bool bFailed = false;
    QString reason;      // when failed
    quint64 frames = 0;  // written to the file
    quint64 dropped = 0; // not written: the writer was behind
};

class VideoWriter
{
public:
    // `ended` runs on the writer's thread, once for every file ended.
    explicit VideoWriter(std::function<void(const VideoOutcome &)> ended);
    ~VideoWriter(); // ends the file open, after everything handed over

    // A new file (the one open ends first); its number, for its outcome.
    quint64 Start(const QString &path, const VideoTags &tags, const QSize &picture);
    // A frame for the file open; dropped (false) while too many wait.
    bool Add(ShownFramePtr frame, AreaPicturePtr picture);
    void Stop();

private:
    struct Job {
        enum Kind { Open, Frame, End } kind = Frame;
        quint64 recording = 0;
        QString path;
        VideoTags tags;
        QSize picture;
        ShownFramePtr frame;
        AreaPicturePtr shown;
    };
    void Queue(Job job);
    void Run();
    void Do(const Job &job);
    void OpenFile(const Job &job);
    void WriteFrame(const Job &job);
    void EndFile();
    void Fail(const QString &reason);
    void FlushIfDue();

    std::function<void(const VideoOutcome &)> ended;
    std::mutex lock; // guards the members up to the thread
    std::condition_variable wake;
    std::deque<Job> jobs;
    int framesQueued = 0;
    quint64 recordings = 0;
    quint64 dropped = 0; // of the recording last started, not yet told
    bool bQuit = false;
    std::thread thread;
    // The writer's thread alone.
    VideoFile file;
    VideoOutcome current;
    bool bUnflushed = false;
    std::chrono::steady_clock::time_point lastFlush;
};

#endif
