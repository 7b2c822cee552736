#include "WireWait.h"

#include "Serial.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <climits>

namespace {

qint64 LineMicrosFor(qint64 bytes)
{
    return bytes * 1000000 / WireWait::LINE_BYTES_PER_S;
}

qint64 LineBytesIn(qint64 micros)
{
    return micros * WireWait::LINE_BYTES_PER_S / 1000000;
}

// Qt 5 has a second, older activated(int) beside the one by descriptor;
// both carry a private tag, so only a deduction can pick the newer one.
template <typename... Tag>
auto DescriptorActivated(void (QSocketNotifier::*signal)(QSocketDescriptor, QSocketNotifier::Type, Tag...))
{
    return signal;
}

} // namespace

WireWait::WireWait(const int *port, QObject *parent) : QObject(parent), pPort(port)
{
    clock.start();
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    // The dispatcher says so after it has sent the posted events and just
    // before it polls: the port goes into that poll as it stands then.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &WireWait::WatchPort);
    QCoreApplication::instance()->installEventFilter(this);
}

// Any event for the GUI thread's objects during a rest ends it (a timer,
// the port, input, a posted call) but laying out and drawing the picture the
// cycle has just shown: that is the cycle's own work, and ending the rest
// for it would cost a cycle more every frame.
bool WireWait::eventFilter(QObject *, QEvent *event)
{
    const QEvent::Type type = event->type();
    const bool bDrawing = type == QEvent::LayoutRequest || type == QEvent::UpdateRequest || type == QEvent::Paint;
    if (bResting && !bDrawing)
        bEventInRest = true;
    return false;
}

void WireWait::AfterCycle()
{
    const int bytes = LastReceiveStepBytes();
    // The read came right after the last rest ended; the one before it,
    // a rest earlier. A first cycle has no read before it to compare with.
    const qint64 sinceReadUs = sinceRestEnded.isValid() ? sinceRestEnded.nsecsElapsed() / 1000 : 0;
    const qint64 sinceLastReadUs = sinceRestEnded.isValid() ? sinceReadUs + iLastRestUs : INT_MAX;
    // Readable, yet the read right after found nothing: the adapter was
    // pulled out and the line hung up. Watching it would end every rest at
    // once until the tick notices; the bound paces the loop instead, until
    // bytes come again or the loop moves to another descriptor.
    bPortHungUp = bytes == 0 && (bPortHungUp || bPortWoke);
    const qint64 lineCarried = LineBytesIn(sinceLastReadUs);
    const bool bAhead = bytes > lineCarried + PACE_SLACK_BYTES;
    const bool bFrameAhead = FrameAhead(clock.nsecsElapsed() / 1000 - sinceReadUs);
    if (bAhead)
        NoRest();
    else if (bytes == 0 || bAfterAhead || bFrameAhead || FrameBytesDue() == 0)
        Rest(true);
    else if (bytes + PACE_SLACK_BYTES < lineCarried)
        Rest(false);
    else
        RestByFrame(sinceReadUs);
    bAfterAhead = bAhead;
}

// Whether the frame under way came faster than the line carries, counted
// from its first read: an unpaced sender's frame always does, a line-paced
// one's only when a stall let its bytes pile up.
bool WireWait::FrameAhead(qint64 readUs)
{
    const int due = FrameBytesDue();
    if (due > iLastDue) { // a frame began in this read
        iFrameFirstReadUs = readUs;
        iFrameDueThen = due;
    }
    iLastDue = due;
    return iFrameDueThen - due > LineBytesIn(readUs - iFrameFirstReadUs) + PACE_SLACK_BYTES;
}

// Until the frame's remaining bytes are due, counted from the cycle's read;
// a frame nearly complete gets the bound.
void WireWait::RestByFrame(qint64 sinceReadUs)
{
    const qint64 dueUs = LineMicrosFor(FrameBytesDue()) - FRAME_REST_MARGIN_US;
    const qint64 restUs = qMin<qint64>(dueUs, FRAME_REST_MAX_US) - sinceReadUs;
    Rest(false, static_cast<int>(qMax<qint64>(restUs / 1000, BOUND_MS)));
}

void WireWait::Rest(bool bUntilPortReadable, int boundMs)
{
    bUntilReadable = bUntilPortReadable;
    bPortWoke = false;
    QElapsedTimer rest;
    rest.start();
    if (*pPort > 0)
        bound.start(boundMs);
    bResting = true;
    bEventInRest = false;
    // Any slot of the window may run in here, as in the cycle's own event
    // processing: on the GUI thread, between two cycles, with no worker
    // running.
    do
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    while (!bEventInRest && rest.elapsed() < boundMs);
    bResting = false;
    bound.stop();
    if (pNotifier != nullptr)
        pNotifier->setEnabled(false);
    iLastRestUs = rest.nsecsElapsed() / 1000;
    sinceRestEnded.start();
}

// The next read follows at once, with all the sender has written meanwhile.
void WireWait::NoRest()
{
    iLastRestUs = 0;
    sinceRestEnded.start();
}

// Before every poll of a rest (a message box opened meanwhile polls too).
void WireWait::WatchPort()
{
    if (!bResting)
        return;
    if (*pPort != iWatched)
        ForgetPort();
    if (!bUntilReadable || *pPort <= 0 || bPortHungUp || bPortWoke)
        return;
    if (pNotifier == nullptr) {
        iWatched = *pPort;
        pNotifier = new QSocketNotifier(iWatched, QSocketNotifier::Read, this);
        connect(pNotifier, DescriptorActivated(&QSocketNotifier::activated), this,
                &WireWait::PortReadable);
    }
    pNotifier->setEnabled(true);
}

// One wake-up is all a rest needs; a nested loop must not spin on the bytes.
void WireWait::PortReadable()
{
    bPortWoke = true;
    pNotifier->setEnabled(false);
}

// The number may be closed or belong to another file by now.
void WireWait::ForgetPort()
{
    delete pNotifier;
    pNotifier = nullptr;
    iWatched = 0;
    bPortHungUp = false;
}
