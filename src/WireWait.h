// The acquisition loop's rest while the wire is quiet (--wait-for-data).
// By itself the loop never sleeps: a cycle is one non-blocking read and three
// short workers, so a sensor sending 6.85 frames a second keeps a whole core
// busy, and a rest that ended at every byte would not do much better: the
// link delivers its 92 kB/s in hundreds of small pieces a second. So between
// two cycles:
// - after a read of a backlog, none: bytes come faster than the loop takes
//   them (a sender not paced by the line, or a stall just over);
// - after any other read that found bytes, a rest of the bound: the bytes of
//   the frame under way gather meanwhile, and a frame's last byte waits at
//   most that long for the cycle that completes and shows it;
// - but right after a backlog, a rest only until the port has bytes again:
//   the kernel moves a fast sender's bytes into the tty's buffer a few
//   kilobytes at a time, so the read after a full one often finds only a few
//   bytes, and a whole bound's rest there would halve the pace of a fast
//   stream;
// - after a read that found nothing (or with no port), a rest until the port
//   has bytes, or the bound passes; with no port open, until the tick.
// Every rest also ends as soon as an event for the window arrives (input, a
// posted call, the one-second tick, the recording's flush), so nothing the
// operator does waits for it. The next cycle then runs as always.
#ifndef WIREWAIT_H
#define WIREWAIT_H

#include <QObject>
#include <QTimer>

class QSocketNotifier;

class WireWait : public QObject
{
    Q_OBJECT

public:
    // At most this long between two cycles while a port is open: 200 cycles
    // a second at most, where a frame's work is well under a millisecond.
    // It is half the 10 ms a frame may take from its last byte to the screen,
    // and a small part of the 44 ms in which the link fills the tty's 4 KiB
    // input buffer.
    static const int BOUND_MS = 5;
    // A read this large is a backlog: half the tty's input buffer, what the
    // link carries in 22 ms, four times what it carries in a rest.
    static const int BACKLOG_BYTES = 2048;

    // port: the descriptor the loop reads, 0 for none. It is looked at afresh
    // each time the dispatcher is about to block, so the watch follows a
    // reconnect and never covers a number that was closed meanwhile.
    explicit WireWait(const int *port, QObject *parent = nullptr);

    // Between two cycles, after the receive step of the first.
    void AfterCycle();

private slots:
    void WatchPort();
    void PortReadable();

private:
    void Rest(bool bUntilPortReadable);
    void ForgetPort();

    const int *pPort;
    QSocketNotifier *pNotifier = nullptr;
    int iWatched = 0;            // the number pNotifier was made for
    QTimer bound;
    bool bResting = false;
    bool bUntilReadable = false; // the port's bytes end this rest
    bool bPortWoke = false;      // the port ended the last rest
    bool bPortHungUp = false;    // readable, yet its read found nothing
    bool bAfterBacklog = false;  // the cycle before read a backlog
};

#endif
