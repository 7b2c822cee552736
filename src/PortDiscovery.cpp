// Port discovery and unplug detection: once a tick, find the first device
// made from the port pattern (or the one device the operator named), connect
// to it, and notice when it has gone.
#include "mainwindow.h"

#include "Process_Serial.h"
#include "Serial.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QFile>
#include <QPushButton>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const int LAST_PORT_NUMBER = 254;

const char *pPortPattern = "/dev/ttyUSB%d";

// One device named by the operator instead of the numbered ones; empty: none.
char szFixedPort[PORT_NAME_SIZE] = {};

// Counts the conversions in pattern; only "%d" once (and "%%") is safe.
bool HoldsOneNumber(const char *pattern)
{
    int numbers = 0;
    for (const char *p = pattern; *p; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == 'd')
            ++numbers;
        else if (*p != '%')
            return false;
    }
    return numbers == 1;
}

// Forms the device path for number n; false when it does not fit.
bool FormPortPath(char *path, size_t size, int n)
{
    const int length = snprintf(path, size, pPortPattern, n);
    return length >= 0 && static_cast<size_t>(length) < size;
}

// The device to try this tick: the fixed device if one is set, otherwise the
// lowest-numbered one of the pattern. False when it is not present.
bool FindPort(char *path, size_t size)
{
    if (szFixedPort[0] != '\0') {
        snprintf(path, size, "%s", szFixedPort);
        return QFile::exists(QString::fromLocal8Bit(path));
    }
    for (int n = 0; n <= LAST_PORT_NUMBER; ++n) {
        if (FormPortPath(path, size, n) && QFile::exists(QString::fromLocal8Bit(path)))
            return true;
    }
    return false;
}

// The reason the device could not be used, as last reported; 0: none. The
// outcome's line repeats every tick, its reason only when it changes: after
// a connection, or once no device is present, it is told again.
int iReportedReason = 0;

bool InGroup(gid_t group)
{
    if (group == getegid())
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<size_t>(i)] == group)
            return true;
    }
    return false;
}

// Joining the device's group is the remedy only for a process outside it. At
// a replug the node exists before udev has handed it to its group: it is
// still root's (as the kernel makes every node), and the kiosk, in dialout
// all along, opens it at the next tick. A node that is gone has no group to
// join either.
bool GroupWouldHelp(const char *path)
{
    struct stat node;
    if (stat(path, &node) != 0)
        return false;
    return node.st_gid != 0 && !InGroup(node.st_gid);
}

void ReportReason(const char *path, int reason)
{
    if (reason == 0 || reason == iReportedReason)
        return;
    iReportedReason = reason;
    QDebug line = qDebug().nospace();
    line << path << ": " << strerror(reason);
    if (reason == EACCES && GroupWouldHelp(path))
        line << " - add the user to the group dialout and log in again";
}

} // namespace

bool SetFixedPort(const char *path)
{
    if (path == nullptr || strlen(path) >= sizeof szFixedPort)
        return false;
    snprintf(szFixedPort, sizeof szFixedPort, "%s", path);
    return true;
}

bool SetPortPattern(const char *pattern)
{
    char longest[PORT_NAME_SIZE];
    const char *previous = pPortPattern;
    if (pattern == nullptr || !HoldsOneNumber(pattern))
        return false;
    pPortPattern = pattern;
    if (!FormPortPath(longest, sizeof longest, LAST_PORT_NUMBER)) {
        pPortPattern = previous;
        return false;
    }
    return true;
}

const char *PortPattern()
{
    return pPortPattern;
}

void MainWindow::CheckSerialAvailable()
{
    if (fdSerial == 0)
        DiscoverPort();
    else if (!PortStillPresent())
        HandleUnplug();
}

// The device path still exists and still names the device the descriptor
// was opened on. An adapter pulled out and plugged in again between two
// ticks can come back under the same path (a /dev/serial/by-id link follows
// it to its new node): the descriptor then holds a device that is gone, reads
// fail for ever, and only treating it as an unplug lets the next tick connect
// to the new one. When the descriptor cannot be examined, existence decides.
bool MainWindow::PortStillPresent() const
{
    if (!QFile::exists(QString::fromLocal8Bit(pPortName)))
        return false;
    struct stat node;
    struct stat open;
    if (stat(pPortName, &node) != 0 || fstat(fdSerial, &open) != 0)
        return true;
    return node.st_dev == open.st_dev && node.st_ino == open.st_ino;
}

// Connects to the device found, if there is one.
void MainWindow::DiscoverPort()
{
    char path[PORT_NAME_SIZE];
    pPortName[0] = '\0';
    if (!FindPort(path, sizeof path)) {
        iReportedReason = 0;
        return;
    }
    qDebug() << path << "detected";
    memcpy(pPortName, path, sizeof path);
    const int result = ConnectToSerial_0(&fdSerial, pPortName);
    ManageErrorWhenConnecting(&fdSerial, result, pPortName);
    if (result == SERIAL_CONNECTED)
        f_Acknowledge = true; // a fresh port has no command in flight
    ui->pushButton_TakeFPN->setEnabled(true);
    ClearFrameBuffers();
}

void MainWindow::HandleUnplug()
{
    qDebug() << "Serial Port" << pPortName << "disconnected";
    CloseSerial(&fdSerial);
    fdSerial = 0;
    // Loaded afresh: the file may have changed while the device was in use.
    ShowIdleLook(QPixmap(QString::fromLatin1(LOGO_FILE)));
    ui->pushButton_TakeFPN->setEnabled(false);
    iErrorFrame = -1;
}

void MainWindow::ManageErrorWhenConnecting(int *fd, int result, char *path)
{
    switch (result) {
    case SERIAL_CONNECTED:
        qDebug() << "Connection to" << path << "established";
        iReportedReason = 0;
        return;
    case SERIAL_ALREADY_OPEN:
        qDebug() << path << "already use";
        return;
    case SERIAL_OPEN_FAILED:
        qDebug() << path << "not available";
        ReportReason(path, LastConnectError());
        break;
    case SERIAL_CONFIG_FAILED:
        qDebug() << path << "can't be configurable";
        ReportReason(path, LastConnectError());
        break;
    default:
        break;
    }
    *fd = 0;
    path[0] = '\0';
}
