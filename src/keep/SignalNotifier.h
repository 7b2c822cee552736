// A Unix signal as a Qt signal: the handler only writes a byte into a socket
// pair, and a QSocketNotifier on the other end turns it into Raised() on the
// thread that made the notifier, in its event processing, where any code may
// run. One notifier per process and signal.
#ifndef KEEP_SIGNALNOTIFIER_H
#define KEEP_SIGNALNOTIFIER_H

#include <QObject>
#include <signal.h>

class QSocketNotifier;

class SignalNotifier : public QObject
{
    Q_OBJECT

public:
    // Takes signalNumber over from now on; the destructor gives it back to
    // the handling it had before.
    SignalNotifier(int signalNumber, QObject *parent);
    ~SignalNotifier() override;

signals:
    void Raised(); // once for every signal that arrived

private slots:
    void Drain();

private:
    static void Handler(int signalNumber);

    int signalNumber;
    int sockets[2] = {-1, -1}; // [0] read here, [1] written by the handler
    int previousSocket = -1;   // of a notifier made before this one for the same signal
    struct sigaction previous = {};
    QSocketNotifier *notifier = nullptr;
};

// Signals sent to the process belong to the thread that made the notifiers.
// A thread started while one of these lives inherits a mask without them and
// so never takes one: a short worker that ends right after a signal arrived
// could otherwise take it with it (ThreadSanitizer, for one, runs a handler
// only at the thread's next library call), and a stop would be lost. Faults a
// thread causes itself (SIGSEGV and its kind) stay unblocked.
class SignalsKeptFromNewThreads
{
public:
    SignalsKeptFromNewThreads();
    ~SignalsKeptFromNewThreads();
    SignalsKeptFromNewThreads(const SignalsKeptFromNewThreads &) = delete;
    SignalsKeptFromNewThreads &operator=(const SignalsKeptFromNewThreads &) = delete;

private:
    sigset_t callerMask;
};

#endif
