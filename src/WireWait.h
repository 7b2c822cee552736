// The acquisition loop's rest while the wire is quiet (--wait-for-data).
// By itself the loop never sleeps: a cycle is one non-blocking read and three
// short workers, so a sensor sending 6.85 frames a second keeps a whole core
// busy, and a rest that ended at every byte would not do much better: the
// link delivers its 92 kB/s in hundreds of small pieces a second. Each cycle
// starts three threads, so the fewer cycles a frame takes the better; yet a
// frame's last byte must reach the screen soon after it arrives. So between
// two cycles:
// - after a read of bytes the line cannot have carried at its own pace since
//   the read before, none: the sender is ahead of the line (a replay, an
//   unpaced sender, or a stall just over) and its bytes wait already;
// - right after such a read, or while the frame under way has come faster
//   than the line carries, a rest only until the port has bytes again: the
//   kernel moves a fast sender's bytes into the tty's buffer a few
//   kilobytes at a time, so the reads after a full one often find only a
//   few bytes, and a longer rest there would cut the pace of a fast stream;
// - after a read that found fewer bytes than the line carried meanwhile, a
//   rest of the bound: a sender behind its pace (a simulator on a loaded
//   machine) may catch up at any moment;
// - after a read that left a frame under way, a rest until its remaining
//   bytes are due at the line's pace, less a margin, but never longer than
//   the line takes to fill most of the tty's input buffer; from there on,
//   or when the frame is nearly complete, a rest of the bound: a frame's
//   last byte waits at most that long for the cycle that completes and
//   shows it;
// - after a read that completed a frame and found none under way, or that
//   found nothing (or with no port), a rest until the port has bytes, or the
//   bound passes; with no port open, until the tick.
// Every rest also ends as soon as an event for the window arrives (input, a
// posted call, the one-second tick, the recording's flush), so nothing the
// operator does waits for it. The next cycle then runs as always.
#ifndef WIREWAIT_H
#define WIREWAIT_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

class WireWait : public QObject
{
    Q_OBJECT

public:
    // At most this long between two cycles while a port is open and no frame
    // is under way: 200 cycles a second at most, where a frame's work is
    // well under a millisecond. It is half the 10 ms a frame may take from
    // its last byte to the screen.
    static const int BOUND_MS = 5;
    // The line's pace: 921600 baud, ten bits on the wire a byte.
    static const int LINE_BYTES_PER_S = 92160;
    // The longest rest a frame under way buys: the line carries 3 kB in it,
    // three quarters of the tty's 4 KiB input buffer, which a real adapter
    // overruns when it is full.
    static const int FRAME_REST_MAX_US = 33000;
    // A rest by the frame's pace ends this much before the frame's last byte
    // is due: senders and adapters deliver in packets, not byte by byte.
    static const int FRAME_REST_MARGIN_US = 1000;
    // A read that differs by more than this from what the line carried since
    // the read before finds a sender ahead of the line or behind it: an
    // adapter's packets and the timer's slack stay below it.
    static const int PACE_SLACK_BYTES = 1024;


    // port: the descriptor the loop reads, 0 for none. It is looked at afresh
    // each time the dispatcher is about to block, so the watch follows a
    // reconnect and never covers a number that was closed meanwhile.
    explicit WireWait(const int *port, QObject *parent = nullptr);

    // Between two cycles, after the receive step of the first.
    void AfterCycle();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void WatchPort();
    void PortReadable();
    bool FrameAhead(qint64 readUs);
    void RestByFrame(qint64 sinceReadUs);
    void NoRest();
    void Rest(bool bUntilPortReadable, int boundMs = BOUND_MS);
    void ForgetPort();

    const int *pPort;
    QSocketNotifier *pNotifier = nullptr;
    int iWatched = 0;            // the number pNotifier was made for
    QTimer bound;
    QElapsedTimer sinceRestEnded; // about as old as the cycle's read
    qint64 iLastRestUs = 0;
    bool bResting = false;
    bool bEventInRest = false;   // something for the window came in this rest
    bool bUntilReadable = false; // the port's bytes end this rest
    bool bPortWoke = false;      // the port ended the last rest
    bool bPortHungUp = false;    // readable, yet its read found nothing
    bool bAfterAhead = false;    // the cycle before read ahead of the line
    QElapsedTimer clock;
    qint64 iFrameFirstReadUs = 0; // on the clock, the first read of the frame under way
    int iFrameDueThen = 0;        // the bytes it still lacked after that read
    int iLastDue = 0;
};

#endif
