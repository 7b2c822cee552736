// Shared pieces of the tests: a real pseudo-terminal standing in for the USB
// serial adapter, the sensor's wire format, a capture of the debug output and
// a way to drive the acquisition loop from a test.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "Serial.h"
#include "ViewerOptions.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSet>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// A test may be started with standard input closed (CI runs without one).
// Descriptor 0 means "no device" to the program, so no pipe or terminal of a
// test may be handed that number: 0, 1 and 2 are kept taken, on /dev/null
// where they were closed. Returns whether all three are open.
inline bool TakeStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

namespace detail {
// Taken as the executable loads, before the application object opens
// descriptors of its own, and in child processes that never reach a set-up.
inline const bool standardDescriptorsTakenAtLoad = TakeStandardDescriptors();
} // namespace detail

// The first step of every suite's set-up: the standard descriptors were taken
// at load and are still taken.
inline bool StandardDescriptorsTaken()
{
    return detail::standardDescriptorsTakenAtLoad && TakeStandardDescriptors();
}

// A pseudo-terminal pair. The test plays the sensor on the master side; the
// program opens slavePath() like it opens /dev/ttyUSB<n>.
class Pty
{
public:
    Pty()
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = QByteArray(name);
            struct termios raw;
            tcgetattr(slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
            fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isOpen() const { return master >= 0; }
    const QByteArray &slavePath() const { return path; }
    int masterFd() const { return master; }
    int slaveFd() const { return slave; }

    // The far end goes away, as when the adapter is pulled: the program's end
    // reads nothing, yet polls readable.
    void hangUp()
    {
        close(master);
        master = -1;
    }

    // Plays the sensor: what the program will read.
    bool send(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        QElapsedTimer clock;
        clock.start();
        while (done < bytes.size() && clock.elapsed() < 5000) {
            const ssize_t n = write(master, bytes.constData() + done, bytes.size() - done);
            if (n > 0)
                done += n;
            else
                usleep(1000);
        }
        return done == bytes.size();
    }

    // What the program wrote to the device so far.
    QByteArray received() const
    {
        QByteArray all;
        char buffer[4096];
        ssize_t n;
        while ((n = read(master, buffer, sizeof buffer)) > 0)
            all.append(buffer, static_cast<int>(n));
        return all;
    }

private:
    int master = -1;
    int slave = -1;
    QByteArray path;
};

// The sensor's wire format.
enum : unsigned char { STX = 0x02, ETX = 0x03, ACK = 0x06 };

// A raw frame (13440 bytes of 7-bit groups) from 6720 14-bit samples given
// by sample(i).
inline QByteArray RawFrame(const std::function<int(int)> &sample)
{
    QByteArray raw(RAW_FRAME_SIZE, '\0');
    for (int i = 0; i < FRAME_PIXELS; ++i)
        EncodeSample(reinterpret_cast<unsigned char *>(raw.data()), i, sample(i) & SAMPLE_MAX);
    return raw;
}

inline unsigned int SumOf(const QByteArray &raw)
{
    unsigned int sum = 0;
    for (char c : raw)
        sum += static_cast<unsigned char>(c) & 0x7F;
    return sum;
}

// The five checksum bytes, least significant 7-bit group first.
inline QByteArray ChecksumBytes(unsigned int sum, unsigned char highBits = 0)
{
    QByteArray bytes;
    for (int k = 0; k < 4; ++k)
        bytes.append(static_cast<char>(((sum >> (7 * k)) & 0x7F) | highBits));
    bytes.append(static_cast<char>(((sum >> 28) & 0x0F) | highBits));
    return bytes;
}

// Start marker, the data bytes (bit 7 set), end marker and the given
// checksum bytes, whatever they say.
inline QByteArray WireFrameWith(const QByteArray &raw, const QByteArray &checksum)
{
    QByteArray wire;
    wire.append(static_cast<char>(STX));
    for (char c : raw)
        wire.append(static_cast<char>(static_cast<unsigned char>(c) | 0x80));
    wire.append(static_cast<char>(ETX));
    wire.append(checksum);
    return wire;
}

// Start marker, data with bit 7 set, end marker, checksum of the data.
inline QByteArray WireFrame(const QByteArray &raw, int checksumError = 0)
{
    return WireFrameWith(raw, ChecksumBytes(SumOf(raw) + checksumError));
}

// Collects the program's debug lines (from any thread) while it lives.
class LogCapture
{
public:
    LogCapture() { previous = qInstallMessageHandler(&LogCapture::handle); }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        std::lock_guard<std::mutex> lock(mutex());
        store().clear();
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(mutex());
        return store();
    }
    int count(const QString &line) const { return lines().count(line); }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex());
        store().clear();
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        std::lock_guard<std::mutex> lock(mutex());
        store().append(message);
    }
    static QStringList &store()
    {
        static QStringList lines;
        return lines;
    }
    // std::mutex, which ThreadSanitizer sees: lines come from the MQTT
    // client's thread too.
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    QtMessageHandler previous;
};

// Runs the acquisition loop as the operator does (Start released) until
// done() holds or timeoutMs has passed, then releases Stop. Returns whether
// done() held. check, if given, runs on every pass of the loop's event
// processing (every pollMs, for a loop that may rest in between), before
// done() is asked.
inline bool RunUntil(MainWindow &window, const std::function<bool()> &done, int timeoutMs = 10000,
                     const std::function<void()> &check = nullptr, int pollMs = 0)
{
    bool reached = false;
    QElapsedTimer clock;
    QTimer poll;
    poll.setInterval(pollMs);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (check)
            check();
        if (!reached)
            reached = done();
        if (reached || clock.elapsed() > timeoutMs) {
            poll.stop();
            QTest::mouseClick(window.ui->pushButton_Stop, Qt::LeftButton);
        }
    });
    clock.start();
    poll.start();
    QTest::mouseClick(window.ui->pushButton_Start, Qt::LeftButton);
    return reached;
}

// Reads `count` bytes from a non-blocking descriptor, waiting up to
// timeoutMs for them to arrive. (Not a QTRY_ expression: those evaluate the
// expression again after it held, and a read consumes what it reads.)
inline QByteArray ReadFrom(int fd, int count, int timeoutMs = 5000)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < count && clock.elapsed() < timeoutMs) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, qMin<qsizetype>(sizeof buffer, count - bytes.size()));
        if (n > 0)
            bytes.append(buffer, static_cast<int>(n));
        else
            QTest::qWait(5);
    }
    return bytes;
}

// What a label shows, the same way on Qt 5 and Qt 6.
inline QPixmap ShownPixmap(const QLabel *label)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return label->pixmap();
#else
    return label->pixmap(Qt::ReturnByValue);
#endif
}

// Whether every pixel of a picture outside rect is black, as around a
// turned picture.
inline bool BlackOutside(const QImage &picture, const QRect &rect)
{
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if (!rect.contains(x, y) && picture.pixel(x, y) != qRgb(0, 0, 0))
                return false;
        }
    }
    return true;
}

// Whether every byte of a block is 0.
inline bool AllZero(const unsigned char *block, int size)
{
    for (int i = 0; i < size; ++i) {
        if (block[i] != 0)
            return false;
    }
    return true;
}

// An empty directory of the test's own in which discovery looks for the
// adapter (<dir>/ttyUSB<n>) while the object lives: no device of the machine
// running the tests is ever opened.
class PortDirectory
{
public:
    PortDirectory()
        : pattern(QFile::encodeName(dir.path()) + "/ttyUSB%d"), previous(PortPattern())
    {
        active = dir.isValid() && SetPortPattern(pattern.constData());
    }
    ~PortDirectory() { SetPortPattern(previous); }
    PortDirectory(const PortDirectory &) = delete;
    PortDirectory &operator=(const PortDirectory &) = delete;

    bool isActive() const { return active; }
    QString path() const { return dir.path(); }
    QString node(int n) const { return dir.path() + QStringLiteral("/ttyUSB%1").arg(n); }
    const QByteArray &patternText() const { return pattern; } // discovery keeps the pointer
    // Plugs the adapter pty in as <dir>/ttyUSB<n>.
    bool link(const Pty &pty, int n) const
    {
        return QFile::link(QString::fromLocal8Bit(pty.slavePath()), node(n));
    }

private:
    QTemporaryDir dir;
    QByteArray pattern;
    const char *previous;
    bool active = false;
};

// Everything beneath dir, as paths relative to it in order: hidden and
// temporary files and empty directories too, all that a failed write could
// leave behind.
inline QStringList EntriesUnder(const QString &dir)
{
    QStringList entries;
    QDirIterator found(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (found.hasNext())
        entries << QDir(dir).relativeFilePath(found.next());
    entries.sort();
    return entries;
}

// The device node that port discovery finds: <dir>/ttyUSB0, a link to the
// slave side of a pseudo-terminal.
struct FakeAdapter
{
    Pty pty;
    PortDirectory ports;
    const bool ok = pty.isOpen() && ports.isActive() && ports.link(pty, 0);
};

// A run with frames sent through the adapter one at a time: next(k) is
// called once the port is open (k = 0) and after each new picture (k = 1,
// 2, ...); it looks at the picture and returns the frame to send next, or
// an empty one to end the run. Returns whether the run got to its end.
inline bool RunFrames(MainWindow &window, const Pty &pty, const std::function<QByteArray(int)> &next,
                      int timeoutMs = 20000)
{
    const auto shownKey = [&] { return ShownPixmap(window.ui->DisplayImage).cacheKey(); };
    int k = 0;
    qint64 lastKey = 0;
    bool finished = false;
    RunUntil(window, [&] { return finished; }, timeoutMs, [&] {
        if (finished || window.fdSerial == 0 || (k > 0 && shownKey() == lastKey))
            return;
        const QByteArray frame = next(k++);
        lastKey = shownKey(); // after next(), which may have tapped the picture
        finished = frame.isEmpty() || !pty.send(WireFrame(frame));
    });
    return finished;
}

// Ends a window a test made. A port it opened itself is closed as the
// operator would; a stand-in descriptor belongs to the test.
inline void EndWindow(std::unique_ptr<MainWindow> &window, int standInFd)
{
    if (window->fdSerial == standInFd)
        window->fdSerial = 0;
    else if (window->fdSerial > 0)
        window->close();
    window.reset();
}

// Converts and shows one frame as a cycle with a verified frame does; fd
// stands in for the open port.
inline void ShowFrame(MainWindow &window, const QByteArray &raw, int fd)
{
    f_SwitchImage = true;
    memcpy(window.pRawFrame1, raw.constData(), RAW_FRAME_SIZE);
    f_FrameRdy = true;
    window.fdSerial = fd;
    window.bTakeReference = false;
    window.ProcessImage();
    window.DisplayImage();
}

// Parses, prepares and applies the viewer's options as the program's entry
// does; false with the reason in error when they are refused.
inline bool ApplyCommandLine(MainWindow &window, const QStringList &arguments, QString &error)
{
    ViewerOptions options;
    if (!ParseViewerOptions(QStringList() << "framescope" << arguments, options, error)
        || !PrepareViewerOptions(options, error))
        return false;
    ApplyViewerOptions(options, window);
    return true;
}

// The same, for a command line the test means to be accepted.
inline void ApplyOrFail(MainWindow &window, const QStringList &arguments)
{
    QString error;
    QVERIFY2(ApplyCommandLine(window, arguments, error), qPrintable(error));
}

// A non-blocking pipe: the plainest descriptor the receiver can read from.
class Pipe
{
public:
    Pipe()
    {
        if (pipe(fds) == 0) {
            fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
            fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        }
    }
    ~Pipe()
    {
        close(fds[0]);
        close(fds[1]);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    int readFd() const { return fds[0]; }
    int writeFd() const { return fds[1]; }

private:
    int fds[2] = {-1, -1};
};

// One receive step per piece of at most `piece` bytes (at most 8192, one read).
inline void FeedSteps(MainWindow &window, const QByteArray &bytes, int piece)
{
    Pipe line;
    int fd = line.readFd();
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        const qsizetype size = qMin<qsizetype>(piece, bytes.size() - at);
        if (write(line.writeFd(), bytes.constData() + at, size) != size)
            qFatal("pipe write failed");
        ReadDataOnSerialPort(&fd, window.pRawFrame1, window.pRawFrame2, &window.uCksumRead,
                             &window.uCksumCalc, &window.uCksumBuffer);
    }
}

// The receiver keeps its frame state for the life of the process. Five bytes
// end any checksum in progress (in the data state they are harmless data) and
// a start marker then brings it back to the start of a frame; the flags of a
// frame that this may have completed are cleared.
inline void ResetReceiver(MainWindow &window)
{
    QByteArray bytes(5, static_cast<char>(0x80));
    bytes.append(static_cast<char>(STX));
    FeedSteps(window, bytes, 8192);
    f_FrameAcquired = false;
    f_ReadCheckSum = false;
    f_CalcCheckSum = false;
    f_FrameRdy = false;
}

// Starts a program of this build as a child. A cross build's tests run under
// an emulator (FRAMESCOPE_EMULATOR names it): its programs are not ones the
// build machine can run, so the child goes through the same emulator.
inline void StartBuiltProgram(QProcess &child, const QString &program, const QStringList &arguments)
{
    const QString emulator = qEnvironmentVariable("FRAMESCOPE_EMULATOR");
    if (emulator.isEmpty())
        child.start(program, arguments);
    else
        child.start(emulator, QStringList{program} + arguments);
}

// Starts this test program again as a child.
inline void StartThisProgram(QProcess &child, const QStringList &arguments)
{
    StartBuiltProgram(child, QCoreApplication::applicationFilePath(), arguments);
}

// The project's sensor simulator (FRAMESCOPE_SIM) as a child process,
// appearing at a link of the test's choice.
class Simulator
{
public:
    Simulator(const QString &link, const QStringList &options)
    {
        process.setProgram(qEnvironmentVariable("FRAMESCOPE_SIM"));
        process.setArguments(QStringList() << "--link" << link << options);
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { output += QString::fromLatin1(process.readAllStandardOutput()); });
        process.start();
    }
    ~Simulator()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }
    bool started() { return process.waitForStarted(5000); }
    bool finished() const { return process.state() == QProcess::NotRunning; }
    // The pseudo-terminal it plays the sensor on, once it has said so.
    QString pty() const
    {
        const QStringList said = lines("pty: ");
        return said.isEmpty() ? QString() : said.first().mid(5);
    }
    // Lines of stdout that start with prefix.
    QStringList lines(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : output.split('\n'))
            if (line.startsWith(prefix))
                found << line;
        return found;
    }

private:
    QProcess process;
    QString output;
};

// A TCP port of the loopback kept for the test while the object lives: a
// socket bound to it with SO_REUSEADDR that never listens. The kernel gives
// that port to no one else meanwhile (no bind to port 0, no outgoing
// connection), yet a program that binds with SO_REUSEADDR itself, as the
// viewer's web server does, may still take it and listen. A port closed
// again before the program starts could be taken in between; and the viewer
// refuses port 0, so it cannot choose one itself and say which.
class ReservedTcpPort
{
public:
    ReservedTcpPort() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const int on = 1;
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
            && bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0
            && getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port = ntohs(address.sin_port);
    }
    ~ReservedTcpPort()
    {
        if (fd >= 0)
            close(fd);
    }
    ReservedTcpPort(const ReservedTcpPort &) = delete;
    ReservedTcpPort &operator=(const ReservedTcpPort &) = delete;
    // 0 when none could be had.
    quint16 number() const { return port; }

private:
    int fd;
    quint16 port = 0;
};

// The TCP connections a process holds open, its listening sockets aside, as
// the kernel lists them: a server's clients that it has not let go of yet.
inline int ConnectionsOf(qint64 pid)
{
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    QSet<QByteArray> sockets; // the inodes of the process's sockets
    for (const QString &name : QDir(fds).entryList(QDir::Files | QDir::System)) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(fds + '/' + name);
        if (readlink(link.constData(), target, sizeof target - 1) > 0
            && QByteArray(target).startsWith("socket:["))
            sockets.insert(QByteArray(target).mid(8).chopped(1));
    }
    QFile table(QStringLiteral("/proc/%1/net/tcp").arg(pid));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    int connections = 0;
    table.readLine(); // the column names
    for (QByteArray line = table.readLine(); !line.isEmpty(); line = table.readLine()) {
        // sl local remote state queues timer retransmits uid timeout inode ...
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[3] != "0A" && sockets.contains(fields[9])) // 0A: listening
            ++connections;
    }
    return connections;
}

// A plain TCP client of the loopback: connected, or isOpen() false. It
// connects from 127.0.0.<fromHost>, so that a test can be several clients'
// addresses at once (all of 127/8 is the loopback's).
class TcpClient
{
public:
    explicit TcpClient(quint16 port, int fromHost = 1) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + fromHost);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            fd = -1;
            return;
        }
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~TcpClient()
    {
        if (fd >= 0)
            close(fd);
    }
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;
    bool isOpen() const { return fd >= 0; }
    // Sends all of bytes; false when the server stopped taking them.
    bool send(const QByteArray &bytes)
    {
        for (int sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<int>(n);
        }
        return true;
    }
    // What arrives until the server closes, `limit` bytes are in, or
    // timeoutMs have passed.
    QByteArray receive(int limit = 1 << 24, int timeoutMs = 5000)
    {
        QByteArray got;
        char block[65536];
        QElapsedTimer waited;
        waited.start();
        pollfd watched {fd, POLLIN, 0};
        while (got.size() < limit && waited.elapsed() < timeoutMs
               && poll(&watched, 1, static_cast<int>(timeoutMs - waited.elapsed())) > 0) {
            const ssize_t n = ::recv(fd, block, std::min<int>(sizeof block, limit - got.size()), 0);
            if (n <= 0)
                break;
            got.append(block, static_cast<int>(n));
        }
        return got;
    }
    // Closes the sending side only, as an HTTP/1.0 client may once its
    // request is out; the answer can still be read.
    void shutdownSending() { shutdown(fd, SHUT_WR); }
    // Whether the server closed the connection within timeoutMs; what it
    // sent before is read and dropped.
    bool closedByServer(int timeoutMs)
    {
        char block[4096];
        pollfd watched {fd, POLLIN, 0};
        while (poll(&watched, 1, timeoutMs) > 0) {
            if (::recv(fd, block, sizeof block, 0) <= 0)
                return true;
        }
        return false;
    }
    // Ends the connection with a reset, as a client that crashed or was
    // cut off: the server sees an error, not an orderly close.
    void reset()
    {
        const linger abort {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(fd);
        fd = -1;
    }

private:
    int fd;
};

// One request to the loopback's port and the whole answer (the server
// closes after it, or the timeout ends it).
inline QByteArray HttpExchange(quint16 port, const QByteArray &request, int timeoutMs = 5000, int fromHost = 1)
{
    TcpClient client(port, fromHost);
    if (!client.isOpen())
        return QByteArray();
    client.send(request); // a server that answers early may stop taking the rest
    return client.receive(1 << 24, timeoutMs);
}

} // namespace testsupport

#endif
