// The latest frame shown and the viewer's counters, handed from the
// acquisition loop to the web server's threads. The loop builds what it hands
// over on its own and holds the lock only to swap a pointer in; it never
// waits for a client. Clients take the newest one there is: a slow client
// misses frames, nothing queues up for it. Needs no window.
#ifndef HTTP_FRAMEHANDOVER_H
#define HTTP_FRAMEHANDOVER_H

#include "frame/ShownFrame.h"
#include "keep/PictureArea.h"

#include <QImage>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// One frame as it was shown, with the picture area grabbed for it.
struct HandedFrame {
    ShownFramePtr frame;      // never null
    AreaPicturePtr picture;   // the picture area as shown; null when nobody wanted it
    quint64 Number() const { return frame->number; }
};

// What /status.json and the page tell about the viewer.
// An alarm as /status.json and the page tell it.
struct AlarmSummary {
    QString name;
    QString state;     // "raised", "cleared" or "unavailable"
    QString value;     // the last reading, in its unit; empty while unavailable
    QString condition; // "max > 8000"
};

struct ViewerStatus {
    bool bConnected = false;
    QString port;             // the device in use, empty when none
    quint64 framesShown = 0;  // since the viewer started
    int framesLastSecond = 0;
    int rejectedFrames = 0;   // since frames were last shown
    int acknowledgementsPending = 0;
    QString palette;
    QString range;
    int rotation = 0;
    bool bMirror = false;
    // The last frame shown over the whole sensor, in its unit.
    bool bReadings = false;   // a frame has been shown
    ReadingSummary readings;
    bool bReadingsMayBeOff = false;
    std::vector<AlarmSummary> alarms; // --alarm: each alarm's state
};

class FrameHandover
{
public:
    // The loop's side.
    void Publish(HandedFrame frame);
    void Publish(const ViewerStatus &status);
    // Whether a client waits for pictures: only then is it worth the loop's
    // while to grab the picture area.
    bool PicturesWanted() const { return picturesWanted.load(std::memory_order_relaxed) > 0; }

    // The server's side.
    std::shared_ptr<const HandedFrame> Latest() const;
    std::shared_ptr<const ViewerStatus> Status() const;
    // The newest frame with a picture newer than `after`; null when none came
    // within timeoutMs or the hand-over is closing.
    std::shared_ptr<const HandedFrame> NextPicture(quint64 after, int timeoutMs);
    // While a client holds one of these, the loop hands pictures over.
    class Want
    {
    public:
        explicit Want(FrameHandover &handover);
        ~Want();
        Want(const Want &) = delete;
        Want &operator=(const Want &) = delete;

    private:
        FrameHandover &handover;
    };
    // Wakes every waiting client for good: the server is stopping.
    void Close();
    bool Closing() const;

private:
    mutable std::mutex lock;
    std::condition_variable arrived;
    std::shared_ptr<const HandedFrame> latest;
    std::shared_ptr<const HandedFrame> latestPicture;
    std::shared_ptr<const ViewerStatus> status = std::make_shared<ViewerStatus>();
    bool bClosing = false;
    std::atomic<int> picturesWanted{0};
};

#endif
