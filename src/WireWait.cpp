#include "WireWait.h"

#include "Serial.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>

WireWait::WireWait(const int *port, QObject *parent) : QObject(parent), pPort(port)
{
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.setInterval(BOUND_MS);
    // The dispatcher says so after it has sent the posted events and just
    // before it polls: the port goes into that poll as it stands then.
    connect(QAbstractEventDispatcher::instance(), SIGNAL(aboutToBlock()), this, SLOT(WatchPort()));
}

void WireWait::AfterCycle()
{
    const int bytes = LastReceiveStepBytes();
    // Readable, yet the read right after found nothing: the adapter was
    // pulled out and the line hung up. Watching it would end every rest at
    // once until the tick notices; the bound paces the loop instead, until
    // bytes come again or the loop moves to another descriptor.
    bPortHungUp = bytes == 0 && (bPortHungUp || bPortWoke);
    const bool bBacklog = bytes >= BACKLOG_BYTES;
    if (!bBacklog)
        Rest(bytes == 0 || bAfterBacklog);
    bAfterBacklog = bBacklog;
}

void WireWait::Rest(bool bUntilPortReadable)
{
    bUntilReadable = bUntilPortReadable;
    bPortWoke = false;
    if (*pPort > 0)
        bound.start();
    bResting = true;
    // Any slot of the window may run in here, as in the cycle's own event
    // processing: on the GUI thread, between two cycles, with no worker
    // running.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    bResting = false;
    bound.stop();
    if (pNotifier != nullptr)
        pNotifier->setEnabled(false);
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
        connect(pNotifier, SIGNAL(activated(QSocketDescriptor, QSocketNotifier::Type)), this,
                SLOT(PortReadable()));
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
