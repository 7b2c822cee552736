#include "keep/SignalNotifier.h"

#include <QDebug>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler's end of each signal's notifier, by signal number, plus one:
// 0, as zero initialisation leaves it before any code runs, for none. A
// signal sent to the process may be handled on any of its threads, so these
// are atomics, which a handler may use as long as they take no lock.
std::atomic<int> handlerSockets[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may not wait for a lock");

} // namespace

SignalNotifier::SignalNotifier(int signalNumber, QObject *parent)
    : QObject(parent), signalNumber(signalNumber)
{
    if (signalNumber <= 0 || signalNumber >= NSIG) {
        qDebug() << "Signal" << signalNumber << "not taken: no such signal";
        return;
    }
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sockets) != 0) {
        qDebug() << "Signal" << strsignal(signalNumber) << "not taken:" << strerror(errno);
        return;
    }
    previousSocket = handlerSockets[signalNumber].exchange(sockets[1] + 1) - 1;
    notifier = new QSocketNotifier(sockets[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalNotifier::Drain);
    struct sigaction action = {};
    action.sa_handler = &SignalNotifier::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // the loop's reads and joins carry on
    sigaction(signalNumber, &action, &previous);
}

SignalNotifier::~SignalNotifier()
{
    if (sockets[0] < 0)
        return;
    sigaction(signalNumber, &previous, nullptr);
    handlerSockets[signalNumber] = previousSocket + 1;
    close(sockets[0]);
    close(sockets[1]);
}

// Async-signal-safe: a write and errno kept as it was. A full socket (a
// flood of signals nobody reads yet) drops the byte; signals of one kind
// merge in the kernel anyway.
void SignalNotifier::Handler(int signalNumber)
{
    const int saved = errno;
    const char byte = 1;
    const int socket = handlerSockets[signalNumber] - 1;
    if (socket >= 0 && write(socket, &byte, 1) < 0) {
        // nothing to be done inside a handler
    }
    errno = saved;
}

void SignalNotifier::Drain()
{
    char bytes[64];
    ssize_t n;
    while ((n = read(sockets[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit Raised();
    }
}

SignalsKeptFromNewThreads::SignalsKeptFromNewThreads()
{
    sigset_t blocked;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
        sigdelset(&blocked, fault);
    pthread_sigmask(SIG_BLOCK, &blocked, &callerMask);
}

SignalsKeptFromNewThreads::~SignalsKeptFromNewThreads()
{
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
}
