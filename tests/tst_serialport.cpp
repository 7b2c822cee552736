// Serial port access: ConnectToSerial_0, set_interface_attribs and CloseSerial
// on a real pseudo-terminal standing in for the USB serial adapter, on a
// regular file, /dev/null and missing paths. The line is preset the way a
// terminal program may leave it (translation, parity, flow control, echo) to
// show that opening the port makes it a raw 921600 8N1 line whatever it was.

#include "Process_Serial.h"
#include "Serial.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Input processing that would alter the binary frame stream.
const tcflag_t kInputTranslation = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR
                                   | IGNCR | ICRNL | IUCLC;
const tcflag_t kSoftwareFlow = IXON | IXOFF | IXANY;
// Input bits that have nothing to do with the bytes' values: left as read.
const tcflag_t kHarmlessInput = IMAXBEL | IUTF8;

// Number of descriptors the process holds right now.
int OpenDescriptorCount()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

bool IsOpenDescriptor(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// The settings a terminal program may leave behind on the line.
struct LinePreset
{
    tcflag_t iflag;
    tcflag_t oflag;
    tcflag_t lflag;
    tcflag_t cflagSet;   // ORed in after CSIZE is cleared
    tcflag_t cflagClear; // cleared
    speed_t speed;
};

bool ApplyPreset(int fd, const LinePreset &preset)
{
    struct termios tty;
    if (tcgetattr(fd, &tty) != 0)
        return false;
    tty.c_iflag = preset.iflag;
    tty.c_oflag = preset.oflag;
    tty.c_lflag = preset.lflag;
    tty.c_cflag &= ~(CSIZE | preset.cflagClear);
    tty.c_cflag |= preset.cflagSet;
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = 0;
    tty.c_cc[VINTR] = 0x1A; // unusual control characters: they must stay as read
    tty.c_cc[VEOF] = 0x05;
    tty.c_cc[VSTART] = 0x15;
    if (cfsetospeed(&tty, preset.speed) != 0 || cfsetispeed(&tty, preset.speed) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &tty) == 0;
}

// Everything a terminal program could have switched on.
const LinePreset kDirtyLine = {kInputTranslation | kSoftwareFlow | kHarmlessInput,
                               OPOST | ONLCR | OCRNL,
                               ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN,
                               CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL,
                               CLOCAL | CREAD,
                               B9600};

// Reads from a non-blocking descriptor until `want` bytes came or 5 s passed.
QByteArray ReadBytes(int fd, int want)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < want && clock.elapsed() < 5000) {
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 50);
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, static_cast<int>(n));
    }
    return got;
}

// Bytes that a line with any input or output processing left on alters:
// CR and NL translation, bit 7 stripping, parity marking doubles 0xFF,
// XON/XOFF are swallowed, NUL may be taken for a break.
QByteArray SensitiveBytes()
{
    static const unsigned char bytes[] = {0x0D, 0x8D, 0x0A, 0xFF, 0x11, 0x13, 0x00};
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

QString ConnectingLine(const QByteArray &path)
{
    return QStringLiteral("Connecting to ") + QString::fromLocal8Bit(path);
}

// Owns a descriptor number that a test got from ConnectToSerial_0.
struct PortCloser
{
    int fd = 0;
    ~PortCloser()
    {
        if (fd > 0 && IsOpenDescriptor(fd))
            close(fd);
    }
};

// Moves standard input away for the life of the object, so that descriptor 0
// is free and open() hands it out; puts it back afterwards.
class StdinAway
{
public:
    StdinAway() : saved(fcntl(0, F_DUPFD_CLOEXEC, 3))
    {
        if (saved >= 0)
            close(0);
    }
    ~StdinAway()
    {
        if (IsOpenDescriptor(0))
            close(0);
        if (saved >= 0) {
            dup2(saved, 0);
            close(saved);
        }
    }
    StdinAway(const StdinAway &) = delete;
    StdinAway &operator=(const StdinAway &) = delete;

private:
    int saved;
};

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void connectMakesTheLineRaw_data();
    void connectMakesTheLineRaw();
    void connectedLinePassesEveryByteUnchanged();
    void connectWhenAlreadyOpen();
    void connectAfterFailedOpenTriesAgain();
    void connectToMissingPath_data();
    void connectToMissingPath();
    void connectToNonTerminal_data();
    void connectToNonTerminal();
    void connectWithEmptyPath_data();
    void connectWithEmptyPath();
    void connectWithStandardInputClosed();
    void configureFailsOnNonTerminal();
    void configureRejectsPlainBaudNumber();
    void configureAppliesSpeedAndParityArguments_data();
    void configureAppliesSpeedAndParityArguments();
    void closeSerialClosesAndKeepsTheNumber();
    void repeatedConnectAndCloseLeaksNothing();
};

void TestSerialPort::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
}

void TestSerialPort::connectMakesTheLineRaw_data()
{
    QTest::addColumn<uint>("iflag");
    QTest::addColumn<uint>("cflagSet");
    QTest::addColumn<uint>("cflagClear");
    QTest::addColumn<uint>("speed");

    QTest::newRow("everything a terminal program sets")
        << uint(kDirtyLine.iflag) << uint(kDirtyLine.cflagSet) << uint(kDirtyLine.cflagClear)
        << uint(B9600);
    QTest::newRow("input translation only") << uint(kInputTranslation) << uint(CS8 | CREAD | CLOCAL)
                                            << uint(HUPCL) << uint(B115200);
    QTest::newRow("harmless input bits only") << uint(kHarmlessInput) << uint(CS5 | HUPCL)
                                              << uint(CREAD | CLOCAL) << uint(B38400);
    QTest::newRow("no input bits") << 0u << uint(CS6 | CRTSCTS) << 0u << uint(B921600);
}

void TestSerialPort::connectMakesTheLineRaw()
{
    QFETCH(uint, iflag);
    QFETCH(uint, cflagSet);
    QFETCH(uint, cflagClear);
    QFETCH(uint, speed);

    Pty pty;
    QVERIFY(pty.isOpen());
    LinePreset preset = kDirtyLine;
    preset.iflag = iflag;
    preset.cflagSet = cflagSet;
    preset.cflagClear = cflagClear;
    preset.speed = speed;
    QVERIFY(ApplyPreset(pty.slaveFd(), preset));
    struct termios before;
    QCOMPARE(tcgetattr(pty.slaveFd(), &before), 0);
    // The line really holds the preset. (A pseudo-terminal always keeps CS8
    // and CREAD and drops PARENB; the other control bits stick.)
    QCOMPARE(before.c_iflag, tcflag_t(iflag));
    const tcflag_t sticky = CSTOPB | CRTSCTS | PARODD;
    QCOMPARE(before.c_cflag & sticky, tcflag_t(cflagSet) & sticky);
    if (cflagClear & CLOCAL)
        QVERIFY(!(before.c_cflag & CLOCAL));

    QByteArray path = pty.slavePath();
    LogCapture log;
    PortCloser port;
    QCOMPARE(ConnectToSerial_0(&port.fd, path.data()), int(SERIAL_CONNECTED));
    QCOMPARE(log.lines(), QStringList() << ConnectingLine(path));
    QVERIFY(port.fd > 0);
    QVERIFY(port.fd != pty.slaveFd() && port.fd != pty.masterFd());

    const int status = fcntl(port.fd, F_GETFL);
    QVERIFY(status != -1);
    QVERIFY(status & O_NONBLOCK);
    QCOMPARE(status & O_ACCMODE, O_RDWR);

    struct termios tty;
    QCOMPARE(tcgetattr(port.fd, &tty), 0);
    QCOMPARE(cfgetospeed(&tty), speed_t(B921600));
    QCOMPARE(cfgetispeed(&tty), speed_t(B921600));
    QCOMPARE(tty.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tty.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tty.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    QCOMPARE(tty.c_cflag & HUPCL, before.c_cflag & HUPCL);
    QCOMPARE(tty.c_lflag, tcflag_t(0));
    QCOMPARE(tty.c_oflag, tcflag_t(0));
    QCOMPARE(int(tty.c_cc[VMIN]), 0);
    QCOMPARE(int(tty.c_cc[VTIME]), 10);
    QCOMPARE(tty.c_iflag & (kInputTranslation | kSoftwareFlow), tcflag_t(0));
    QCOMPARE(tty.c_iflag, tcflag_t(iflag) & ~(kInputTranslation | kSoftwareFlow));
    QCOMPARE(int(tty.c_cc[VINTR]), 0x1A);
    QCOMPARE(int(tty.c_cc[VEOF]), 0x05);
    QCOMPARE(int(tty.c_cc[VSTART]), 0x15);

    CloseSerial(&port.fd);
}

void TestSerialPort::connectedLinePassesEveryByteUnchanged()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    const QByteArray bytes = SensitiveBytes();

    // The preset alters these bytes while it is in force (canonical input is
    // left off here so that whatever arrives can be read at once).
    LinePreset translating = kDirtyLine;
    translating.lflag = 0;
    QVERIFY(ApplyPreset(pty.slaveFd(), translating));
    fcntl(pty.slaveFd(), F_SETFL, fcntl(pty.slaveFd(), F_GETFL) | O_NONBLOCK);
    QVERIFY(pty.send(bytes));
    QTest::qWait(200);
    QByteArray altered;
    char buffer[64];
    ssize_t n;
    while ((n = read(pty.slaveFd(), buffer, sizeof buffer)) > 0)
        altered.append(buffer, static_cast<int>(n));
    QVERIFY2(altered != bytes, altered.toHex().constData());

    QVERIFY(ApplyPreset(pty.slaveFd(), kDirtyLine));
    QByteArray path = pty.slavePath();
    PortCloser port;
    QCOMPARE(ConnectToSerial_0(&port.fd, path.data()), int(SERIAL_CONNECTED));

    // Nothing waiting: the non-blocking port answers at once.
    errno = 0;
    QCOMPARE(read(port.fd, buffer, sizeof buffer), ssize_t(-1));
    QCOMPARE(errno, EAGAIN);

    // Device to host: every byte as sent, nothing echoed back to the device.
    QVERIFY(pty.send(bytes));
    QCOMPARE(ReadBytes(port.fd, bytes.size()).toHex(), bytes.toHex());
    QTest::qWait(100);
    QCOMPARE(read(port.fd, buffer, sizeof buffer), ssize_t(-1));
    QCOMPARE(pty.received().toHex(), QByteArray());

    // Host to device: no output processing (no CR/NL translation).
    QCOMPARE(write(port.fd, bytes.constData(), bytes.size()), ssize_t(bytes.size()));
    QCOMPARE(ReadBytes(pty.masterFd(), bytes.size()).toHex(), bytes.toHex());

    CloseSerial(&port.fd);
}

void TestSerialPort::connectWhenAlreadyOpen()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QVERIFY(ApplyPreset(pty.slaveFd(), kDirtyLine));
    struct termios before;
    QCOMPARE(tcgetattr(pty.slaveFd(), &before), 0);

    QByteArray path = pty.slavePath();
    int fd = pty.slaveFd();
    const int descriptors = OpenDescriptorCount();
    LogCapture log;
    QCOMPARE(ConnectToSerial_0(&fd, path.data()), int(SERIAL_ALREADY_OPEN));
    QCOMPARE(fd, pty.slaveFd());
    QCOMPARE(OpenDescriptorCount(), descriptors);
    QCOMPARE(log.lines(), QStringList() << ConnectingLine(path));

    // The open port was not touched.
    struct termios after;
    QCOMPARE(tcgetattr(pty.slaveFd(), &after), 0);
    QCOMPARE(after.c_iflag, before.c_iflag);
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(after.c_oflag, before.c_oflag);
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
}

void TestSerialPort::connectAfterFailedOpenTriesAgain()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QByteArray path = pty.slavePath();
    PortCloser port;
    port.fd = -1; // what a failed open leaves behind
    LogCapture log;
    QCOMPARE(ConnectToSerial_0(&port.fd, path.data()), int(SERIAL_CONNECTED));
    QVERIFY(port.fd > 0);
    QVERIFY(IsOpenDescriptor(port.fd));
    struct termios tty;
    QCOMPARE(tcgetattr(port.fd, &tty), 0);
    QCOMPARE(cfgetispeed(&tty), speed_t(B921600));
    QCOMPARE(log.lines(), QStringList() << ConnectingLine(path));
}

void TestSerialPort::connectToMissingPath_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing device") << "missing";
    QTest::newRow("missing directory") << "missing-dir";
    QTest::newRow("directory") << "directory";
}

void TestSerialPort::connectToMissingPath()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray path;
    if (kind == "missing")
        path = QFile::encodeName(dir.filePath("ttyUSB0"));
    else if (kind == "missing-dir")
        path = QFile::encodeName(dir.filePath("gone/ttyUSB0"));
    else
        path = QFile::encodeName(dir.path());

    const int descriptors = OpenDescriptorCount();
    LogCapture log;
    int fd = 0;
    QCOMPARE(ConnectToSerial_0(&fd, path.data()), int(SERIAL_OPEN_FAILED));
    QCOMPARE(fd, -1);
    QCOMPARE(OpenDescriptorCount(), descriptors);
    QCOMPARE(log.lines(), QStringList() << ConnectingLine(path));
}

void TestSerialPort::connectToNonTerminal_data()
{
    QTest::addColumn<bool>("regularFile");
    QTest::newRow("regular file") << true;
    QTest::newRow("/dev/null") << false;
}

void TestSerialPort::connectToNonTerminal()
{
    QFETCH(bool, regularFile);
    QTemporaryFile file;
    QByteArray path("/dev/null");
    if (regularFile) {
        QVERIFY(file.open());
        file.write("not a terminal");
        file.close();
        path = QFile::encodeName(file.fileName());
    }

    const int descriptors = OpenDescriptorCount();
    LogCapture log;
    int fd = 0;
    QCOMPARE(ConnectToSerial_0(&fd, path.data()), int(SERIAL_CONFIG_FAILED));
    QCOMPARE(log.lines(), QStringList() << ConnectingLine(path)
                                        << QStringLiteral("Error %1 from tcgetattr").arg(ENOTTY));
    // The descriptor was closed again: its number is left, but nothing leaked.
    QVERIFY(fd > 0);
    QVERIFY(!IsOpenDescriptor(fd));
    QCOMPARE(OpenDescriptorCount(), descriptors);
    if (regularFile)
        QCOMPARE(QFileInfo(file.fileName()).size(), qint64(14)); // left as it was
}

void TestSerialPort::connectWithEmptyPath_data()
{
    QTest::addColumn<int>("fdBefore");
    QTest::newRow("no port") << 0;
    QTest::newRow("failed open") << -1;
    QTest::newRow("port open") << 42;
}

void TestSerialPort::connectWithEmptyPath()
{
    QFETCH(int, fdBefore);
    char path[] = "";
    int fd = fdBefore;
    const int descriptors = OpenDescriptorCount();
    LogCapture log;
    QCOMPARE(ConnectToSerial_0(&fd, path), int(SERIAL_EMPTY_PATH));
    QCOMPARE(fd, fdBefore);
    QCOMPARE(OpenDescriptorCount(), descriptors);
    QCOMPARE(log.lines(), QStringList());
}

void TestSerialPort::connectWithStandardInputClosed()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QVERIFY(ApplyPreset(pty.slaveFd(), kDirtyLine));
    QByteArray path = pty.slavePath();
    QTemporaryFile file;
    QVERIFY(file.open());
    file.close();
    QByteArray filePath = QFile::encodeName(file.fileName());

    StdinAway away;
    QVERIFY(!IsOpenDescriptor(0));
    const int descriptors = OpenDescriptorCount();

    // 0 means "no device": the port must get another number.
    PortCloser port;
    QCOMPARE(ConnectToSerial_0(&port.fd, path.data()), int(SERIAL_CONNECTED));
    QVERIFY(port.fd > 0);
    QVERIFY(!IsOpenDescriptor(0));
    QCOMPARE(OpenDescriptorCount(), descriptors + 1);
    QVERIFY(fcntl(port.fd, F_GETFL) & O_NONBLOCK);
    struct termios tty;
    QCOMPARE(tcgetattr(port.fd, &tty), 0);
    QCOMPARE(cfgetospeed(&tty), speed_t(B921600));
    QCOMPARE(tty.c_lflag, tcflag_t(0));
    QCOMPARE(tty.c_iflag & (kInputTranslation | kSoftwareFlow), tcflag_t(0));
    // And it is the device: bytes from the far end arrive on it.
    QVERIFY(pty.send(SensitiveBytes()));
    QCOMPARE(ReadBytes(port.fd, SensitiveBytes().size()).toHex(), SensitiveBytes().toHex());
    CloseSerial(&port.fd);
    QCOMPARE(OpenDescriptorCount(), descriptors);

    // The failure paths leave descriptor 0 free and leak nothing either.
    int fd = 0;
    QCOMPARE(ConnectToSerial_0(&fd, filePath.data()), int(SERIAL_CONFIG_FAILED));
    QVERIFY(fd != 0);
    QVERIFY(!IsOpenDescriptor(0));
    QCOMPARE(OpenDescriptorCount(), descriptors);
}

void TestSerialPort::configureFailsOnNonTerminal()
{
    Pipe pipe;
    int fd = pipe.readFd();
    {
        LogCapture log;
        QCOMPARE(set_interface_attribs(&fd, B921600, 0), -1);
        QCOMPARE(log.lines(), QStringList() << QStringLiteral("Error %1 from tcgetattr").arg(ENOTTY));
    }
    // A descriptor that is not open at all.
    int closed = dup(pipe.readFd());
    QVERIFY(closed > 0);
    close(closed);
    LogCapture log;
    QCOMPARE(set_interface_attribs(&closed, B921600, 0), -1);
    QCOMPARE(log.lines(), QStringList() << QStringLiteral("Error %1 from tcgetattr").arg(EBADF));
}

void TestSerialPort::configureRejectsPlainBaudNumber()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QVERIFY(ApplyPreset(pty.slaveFd(), kDirtyLine));
    struct termios before;
    QCOMPARE(tcgetattr(pty.slaveFd(), &before), 0);

    int fd = pty.slaveFd();
    LogCapture log;
    QCOMPARE(set_interface_attribs(&fd, 921600, 0), -1);
    QCOMPARE(log.lines(), QStringList() << QStringLiteral("Output speed invalid"));
    QCOMPARE(fd, pty.slaveFd());

    // Nothing was applied.
    struct termios after;
    QCOMPARE(tcgetattr(pty.slaveFd(), &after), 0);
    QCOMPARE(after.c_iflag, before.c_iflag);
    QCOMPARE(after.c_oflag, before.c_oflag);
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(cfgetispeed(&after), speed_t(B9600));
}

void TestSerialPort::configureAppliesSpeedAndParityArguments_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("parity");
    QTest::addColumn<uint>("parityBits");

    // The line is preset with PARODD. A pseudo-terminal drops PARENB whatever
    // is asked, so only PARODD shows what the parity argument did.
    QTest::newRow("921600 none") << int(B921600) << 0 << 0u;
    QTest::newRow("115200 none") << int(B115200) << 0 << 0u;
    QTest::newRow("9600 odd") << int(B9600) << int(PARODD) << uint(PARODD);
    QTest::newRow("921600 odd") << int(B921600) << int(PARENB | PARODD) << uint(PARODD);
}

void TestSerialPort::configureAppliesSpeedAndParityArguments()
{
    QFETCH(int, speed);
    QFETCH(int, parity);
    QFETCH(uint, parityBits);

    Pty pty;
    QVERIFY(pty.isOpen());
    QVERIFY(ApplyPreset(pty.slaveFd(), kDirtyLine));
    int fd = pty.slaveFd();
    LogCapture log;
    QCOMPARE(set_interface_attribs(&fd, speed, parity), 0);
    QCOMPARE(log.lines(), QStringList());

    struct termios tty;
    QCOMPARE(tcgetattr(pty.slaveFd(), &tty), 0);
    QCOMPARE(cfgetospeed(&tty), speed_t(speed));
    QCOMPARE(cfgetispeed(&tty), speed_t(speed));
    QCOMPARE(tty.c_cflag & PARODD, tcflag_t(parityBits));
    QCOMPARE(tty.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tty.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tty.c_lflag, tcflag_t(0));
    QCOMPARE(tty.c_oflag, tcflag_t(0));
    QCOMPARE(tty.c_iflag, kHarmlessInput);
}

void TestSerialPort::closeSerialClosesAndKeepsTheNumber()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QByteArray path = pty.slavePath();
    const int descriptors = OpenDescriptorCount();
    int fd = 0;
    QCOMPARE(ConnectToSerial_0(&fd, path.data()), int(SERIAL_CONNECTED));
    QCOMPARE(OpenDescriptorCount(), descriptors + 1);
    const int number = fd;

    CloseSerial(&fd);
    QCOMPARE(fd, number);
    errno = 0;
    QCOMPARE(fcntl(fd, F_GETFD), -1);
    QCOMPARE(errno, EBADF);
    QCOMPARE(OpenDescriptorCount(), descriptors);
    // Only the port was closed: the far end and the other descriptor still work.
    QVERIFY(IsOpenDescriptor(pty.masterFd()));
    QVERIFY(IsOpenDescriptor(pty.slaveFd()));
}

void TestSerialPort::repeatedConnectAndCloseLeaksNothing()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    QByteArray path = pty.slavePath();
    QTemporaryFile file;
    QVERIFY(file.open());
    file.close();
    QByteArray filePath = QFile::encodeName(file.fileName());

    LogCapture log;
    const int descriptors = OpenDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        int fd = 0;
        QCOMPARE(ConnectToSerial_0(&fd, path.data()), int(SERIAL_CONNECTED));
        CloseSerial(&fd);
        fd = 0;
        QCOMPARE(ConnectToSerial_0(&fd, filePath.data()), int(SERIAL_CONFIG_FAILED));
        fd = 0;
        QByteArray missing = filePath + ".gone";
        QCOMPARE(ConnectToSerial_0(&fd, missing.data()), int(SERIAL_OPEN_FAILED));
    }
    QCOMPARE(OpenDescriptorCount(), descriptors);
    QCOMPARE(log.count(ConnectingLine(path)), 50);
}

QTEST_MAIN(TestSerialPort)
#include "tst_serialport.moc"
