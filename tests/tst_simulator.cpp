// Tests of framescope-sim, the sensor simulator, as a program: it is started
// with QProcess and its frames are read from its real pseudo-terminal and
// decoded here by a decoder of our own.

#include <QtTest/QtTest>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int kDataBytes = 13440;
constexpr int kPixels = kDataBytes / 2;
constexpr int kColumns = 84;
constexpr int kRows = 80;
constexpr int kStart = 0x02;
constexpr int kEnd = 0x03;
constexpr int kAck = 0x06;
constexpr int kTimeoutMs = 30000;
constexpr double kLinkBytesPerSecond = 92160.0;

// The slave side of the simulator's pty, read byte by byte. Bytes already
// read stay buffered across close() and open().
class PtyReader {
public:
    explicit PtyReader(const QString& path) : path_(path.toLocal8Bit()) { open(); }
    ~PtyReader() { close(); }
    PtyReader(const PtyReader&) = delete;
    PtyReader& operator=(const PtyReader&) = delete;

    bool open()
    {
        fd_ = ::open(path_.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }

    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    bool isOpen() const { return fd_ >= 0; }

    // The next byte, or -1 when none comes in time or the pty is gone.
    int next() { return fill() ? static_cast<unsigned char>(buf_[pos_++]) : -1; }
    int peek() { return fill() ? static_cast<unsigned char>(buf_[pos_]) : -1; }

    bool write(const QByteArray& bytes)
    {
        return ::write(fd_, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }

    // Reads and throws away everything that arrives within `ms`.
    qint64 drainFor(int ms)
    {
        qint64 count = buf_.size() - pos_;
        buf_.clear();
        pos_ = 0;
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired())
            count += readChunk(static_cast<int>(deadline.remainingTime()));
        return count;
    }

private:
    bool fill()
    {
        if (pos_ < buf_.size())
            return true;
        buf_.clear();
        pos_ = 0;
        QDeadlineTimer deadline(kTimeoutMs);
        while (buf_.isEmpty() && !deadline.hasExpired())
            if (readChunk(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 100))) < 0)
                return false;
        return !buf_.isEmpty();
    }

    // Bytes appended to the buffer, 0 if none came, -1 if the pty is gone.
    qint64 readChunk(int waitMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, qMax(waitMs, 0)) <= 0)
            return 0;
        char chunk[4096];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0)
            buf_.append(chunk, static_cast<int>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return -1;
        return n > 0 ? n : 0;
    }

    QByteArray path_;
    int fd_ = -1;
    QByteArray buf_;
    int pos_ = 0;
};

// The simulator as a child process.
class Sim {
public:
    explicit Sim(const QStringList& args)
    {
        proc_.setProgram(qEnvironmentVariable("FRAMESCOPE_SIM"));
        proc_.setArguments(args);
        proc_.start();
    }

    ~Sim()
    {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.kill();
            proc_.waitForFinished(kTimeoutMs);
        }
    }

    // The next line on stdout, empty if none comes.
    QString line()
    {
        while (!proc_.canReadLine() && proc_.waitForReadyRead(kTimeoutMs)) {
        }
        return proc_.canReadLine() ? QString::fromLatin1(proc_.readLine()).chopped(1) : QString();
    }

    // The pty path from the first line, empty if the line is not as expected.
    QString ptyPath()
    {
        const auto m = QRegularExpression("^pty: (/dev/pts/\\d+)$").match(line());
        return m.hasMatch() ? m.captured(1) : QString();
    }

    bool finish() { return proc_.waitForFinished(kTimeoutMs); }
    void sendSignal(int sig) { ::kill(static_cast<pid_t>(proc_.processId()), sig); }
    bool running() const { return proc_.state() == QProcess::Running; }
    bool exitedWith(int code) const
    {
        return proc_.exitStatus() == QProcess::NormalExit && proc_.exitCode() == code;
    }

    // Everything still unread on stdout, as lines (call after finish()).
    QStringList restLines() { return QString::fromLatin1(proc_.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts); }
    QString errors() { return QString::fromLatin1(proc_.readAllStandardError()); }

private:
    QProcess proc_;
};

// What a frame is expected to look like on the wire.
struct Shape {
    bool start = true;
    bool end = true;
    bool badChecksum = false;
    bool ackInData = false;     // one 0x06 exactly between the two data halves
    bool acksAnywhere = false;  // 0x06 allowed anywhere outside the checksum
    bool stray = false;
    int dataBytes = kDataBytes;
};

struct Frame {
    QVector<int> samples;
    quint32 sum = 0;
    int acks = 0;
    QByteArray strays;
};

QString hex(int b)
{
    return QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0'));
}

// Next byte; acknowledgements are counted and skipped where the shape allows
// them anywhere.
int nextByte(PtyReader& r, const Shape& s, Frame& f)
{
    int b = r.next();
    while (s.acksAnywhere && b == kAck) {
        ++f.acks;
        b = r.next();
    }
    return b;
}

QString readMarker(PtyReader& r, const Shape& s, Frame& f, int marker)
{
    const int b = nextByte(r, s, f);
    return b == marker ? QString() : QStringLiteral("expected %1, got %2").arg(hex(marker), hex(b));
}

bool isMiddleAck(int b, const Shape& s, const Frame& f, int have)
{
    return b == kAck && s.ackInData && have == kDataBytes / 2 && f.acks == 0;
}

void decodeData(const QByteArray& data, Frame& f)
{
    for (char c : data)
        f.sum += static_cast<unsigned char>(c) & 0x7F;
    f.samples.resize(kPixels);
    for (int k = 0; k < kPixels; ++k)
        f.samples[k] = ((data[2 * k] & 0x7F) << 7) | (data[2 * k + 1] & 0x7F);
}

QString readData(PtyReader& r, const Shape& s, Frame& f)
{
    QByteArray data;
    while (data.size() < s.dataBytes) {
        const int b = nextByte(r, s, f);
        if (b >= 0 && (b & 0x80))
            data.append(static_cast<char>(b));
        else if (isMiddleAck(b, s, f, data.size()))
            ++f.acks;
        else
            return QStringLiteral("byte %1 after %2 data bytes").arg(hex(b)).arg(data.size());
    }
    if (s.ackInData && f.acks != 1)
        return QStringLiteral("no 0x06 in the middle of the data");
    decodeData(data, f);
    return {};
}

QString readChecksum(PtyReader& r, const Shape& s, const Frame& f)
{
    quint32 sent = 0;
    for (int i = 0; i < 5; ++i) {
        const int b = r.next();
        if (b < 0 || (b & 0x80) || (i == 4 && (b & 0x70)))
            return QStringLiteral("bad checksum byte %1: %2").arg(i + 1).arg(hex(b));
        sent |= static_cast<quint32>(b) << (7 * i);
    }
    const quint32 expected = f.sum + (s.badChecksum ? 1u : 0u);
    return sent == expected ? QString()
                            : QStringLiteral("checksum %1, expected %2").arg(sent).arg(expected);
}

QString readStrays(PtyReader& r, Frame& f)
{
    for (int b = r.peek(); b >= 0 && !(b & 0x80) && b != kStart; b = r.peek()) {
        if (b == kEnd || b == kAck)
            return QStringLiteral("stray byte %1 is a marker").arg(hex(b));
        f.strays.append(static_cast<char>(r.next()));
    }
    return f.strays.isEmpty() ? QStringLiteral("no stray bytes") : QString();
}

// Reads one frame and checks it against `s`; returns what is wrong, or "".
QString readFrame(PtyReader& r, const Shape& s, Frame& f)
{
    QString error;
    if (s.start)
        error = readMarker(r, s, f, kStart);
    if (error.isEmpty())
        error = readData(r, s, f);
    if (error.isEmpty() && s.end)
        error = readMarker(r, s, f, kEnd);
    if (error.isEmpty())
        error = readChecksum(r, s, f);
    if (error.isEmpty() && s.stray)
        error = readStrays(r, f);
    return error;
}

// Reads frames `first` .. `last`, each in the shape `shapeOf` gives it.
QString readFrames(PtyReader& r, int first, int last, const std::function<Shape(int)>& shapeOf,
                   QVector<Frame>* frames = nullptr)
{
    for (int n = first; n <= last; ++n) {
        Frame f;
        const QString error = readFrame(r, shapeOf(n), f);
        if (!error.isEmpty())
            return QStringLiteral("frame %1: %2").arg(n).arg(error);
        if (frames)
            frames->append(f);
    }
    return {};
}

Shape plain(int)
{
    return Shape{};
}

QString summary(int frames, int good, int bad, int commands, int incomplete)
{
    return QStringLiteral("sent: %1 frames (%2 good, %3 bad), 0 bytes dropped, %4 commands, %5 incomplete")
        .arg(frames).arg(good).arg(bad).arg(commands).arg(incomplete);
}

const QRegularExpression kSummary(
    "^sent: (\\d+) frames \\((\\d+) good, (\\d+) bad\\), (\\d+) bytes dropped, (\\d+) commands, (\\d+) incomplete$");

// Mean difference between horizontal neighbours: high for a picture full of
// per-pixel offsets, low for a smooth one.
double roughness(const QVector<int>& p)
{
    double total = 0;
    for (int y = 0; y < kRows; ++y)
        for (int x = 0; x + 1 < kColumns; ++x)
            total += qAbs(p[y * kColumns + x + 1] - p[y * kColumns + x]);
    return total / (kRows * (kColumns - 1));
}

QVector<int> difference(const QVector<int>& a, const QVector<int>& b)
{
    QVector<int> d(a.size());
    for (int i = 0; i < a.size(); ++i)
        d[i] = a[i] - b[i];
    return d;
}

// Frames 1..count of a --fast run with the given seed (and options).
QVector<Frame> framesOfSeed(int seed, int count, const QStringList& options = {})
{
    Sim sim(QStringList{"--fast", "--seed", QString::number(seed), "--frames", QString::number(count)} +
            options);
    PtyReader reader(sim.ptyPath());
    QVector<Frame> frames;
    const QString error = readFrames(reader, 1, count, plain, &frames);
    if (!error.isEmpty())
        qWarning() << "seed" << seed << error;
    return frames;
}

// A frame whose 13440 data bytes are all 0xFF: the sum is 13440 * 127 =
// 1706880, sent as 0x00 0x17 0x68 0x00 0x00.
QByteArray fullScaleFrame()
{
    return QByteArray(1, kStart) + QByteArray(kDataBytes, '\xff') + QByteArray(1, kEnd) +
           QByteArray("\x00\x17\x68\x00\x00", 5);
}

QString writeCapture(const QTemporaryDir& dir, const QByteArray& bytes)
{
    QFile file(dir.filePath("capture.bin"));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return file.fileName();
}

QByteArray readExactly(PtyReader& r, int n)
{
    QByteArray bytes;
    for (int b = 0; bytes.size() < n && (b = r.next()) >= 0;)
        bytes.append(static_cast<char>(b));
    return bytes;
}

Shape spoilt(const QString& option)
{
    Shape s;
    s.badChecksum = option == "--bad-checksum";
    s.start = option != "--lose-start";
    s.end = option != "--lose-end";
    s.dataBytes = option == "--extra-byte" ? kDataBytes + 1 : kDataBytes;
    s.ackInData = option == "--ack-in-data";
    s.stray = option == "--stray";
    return s;
}

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void streamsDecodableFrames();
    void survivesReaderReopening();
    void faults_data();
    void faults();
    void answersCommands();
    void scene();
    void patterns();
    void link();
    void linkRefused_data();
    void linkRefused();
    void commandLine_data();
    void commandLine();
    void stopSignals_data();
    void stopSignals();
    void replay();
    void replayLoop();
    void replayMissingFile();
    void linkRatePacing();
    void dropsWhatNobodyReads();
    void unplugsRenumbersAndTimesFrames();
};

void TestSimulator::initTestCase()
{
    const QString sim = qEnvironmentVariable("FRAMESCOPE_SIM");
    QVERIFY2(QFileInfo(sim).isExecutable(), qPrintable("FRAMESCOPE_SIM is not a program: " + sim));
}

void TestSimulator::streamsDecodableFrames()
{
    Sim sim({"--fast", "--frames", "5", "--verbose", "--seed", "3"});
    const QString pty = sim.ptyPath();
    QVERIFY2(!pty.isEmpty(), "first line is not 'pty: /dev/pts/N'");
    PtyReader reader(pty);
    QVERIFY2(reader.isOpen(), qPrintable("cannot open " + pty));

    QVector<Frame> frames;
    const QString error = readFrames(reader, 1, 5, plain, &frames);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const Frame& f : frames) {
        double top8 = 0;
        for (int v : f.samples)
            top8 += v >> 6;
        top8 /= kPixels;
        QVERIFY2(top8 > 100 && top8 < 250, qPrintable(QString::number(top8)));
    }

    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    const QStringList expected = {"frame 1 good", "frame 2 good", "frame 3 good", "frame 4 good",
                                  "frame 5 good", summary(5, 5, 0, 0, 0)};
    QCOMPARE(sim.restLines(), expected);
}

void TestSimulator::survivesReaderReopening()
{
    Sim sim({"--fast"});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    QString error = readFrames(reader, 1, 2, plain);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    reader.close();
    QTest::qWait(100);
    QVERIFY(sim.running());
    QVERIFY(reader.open());
    error = readFrames(reader, 3, 5, plain);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestSimulator::faults_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("verbose");  // the line of a spoilt frame, after "frame N "
    QTest::addColumn<int>("good");
    QTest::addColumn<int>("bad");
    QTest::addColumn<int>("incomplete");

    QTest::newRow("bad checksum") << "--bad-checksum" << "bad-checksum" << 5 << 2 << 0;
    QTest::newRow("lost start") << "--lose-start" << "lose-start" << 5 << 2 << 0;
    QTest::newRow("lost end") << "--lose-end" << "lose-end" << 5 << 0 << 2;
    QTest::newRow("extra byte") << "--extra-byte" << "extra-byte" << 5 << 2 << 0;
    QTest::newRow("ack in data") << "--ack-in-data" << "good ack-in-data" << 7 << 0 << 0;
    QTest::newRow("stray bytes") << "--stray" << "good stray" << 7 << 0 << 0;
}

// Frames 3 and 6 of 7 carry the fault; the others must be untouched.
void TestSimulator::faults()
{
    QFETCH(QString, option);
    QFETCH(QString, verbose);
    QFETCH(int, good);
    QFETCH(int, bad);
    QFETCH(int, incomplete);

    Sim sim({"--fast", "--frames", "7", "--verbose", option, "3"});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    const auto shapeOf = [&](int n) { return n % 3 == 0 ? spoilt(option) : Shape{}; };
    const QString error = readFrames(reader, 1, 7, shapeOf);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    QStringList expected;
    for (int n = 1; n <= 7; ++n)
        expected << QStringLiteral("frame %1 %2").arg(n).arg(n % 3 == 0 ? verbose : "good");
    expected << summary(7, good, bad, 0, incomplete);
    QCOMPARE(sim.restLines(), expected);
}

void TestSimulator::answersCommands()
{
    Sim sim({"--fast"});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    Shape s;
    s.acksAnywhere = true;
    int acks = 0;
    // The commands reach the simulator some time after the write; by then
    // any number of frames may have gone by.
    const auto readUntilAcks = [&](int wanted, int maxFrames) {
        for (int n = 0; n < maxFrames && acks < wanted; ++n) {
            Frame f;
            const QString error = readFrame(reader, s, f);
            if (!error.isEmpty())
                return error;
            acks += f.acks;
        }
        return QString();
    };

    QVERIFY(reader.write("!10000"));
    QVERIFY2(readUntilAcks(1, 100000).isEmpty(), "stream broken");
    QCOMPARE(acks, 1);
    QCOMPARE(sim.line(), QStringLiteral("command: !10000"));

    QVERIFY(reader.write("!E00"));  // a command may arrive in pieces
    QVERIFY(reader.write("05"));
    QVERIFY(reader.write(QByteArray("\x01" "AB\\C\xff", 6)));
    QVERIFY2(readUntilAcks(3, 100000).isEmpty(), "stream broken");
    QCOMPARE(acks, 3);
    QCOMPARE(sim.line(), QStringLiteral("command: !E0005"));
    QCOMPARE(sim.line(), QStringLiteral("command: \\x01AB\\x5CC\\xFF"));

    QVERIFY2(readUntilAcks(4, 200).isEmpty(), "stream broken");  // 200 more frames, no 0x06
    QCOMPARE(acks, 3);
    sim.sendSignal(SIGTERM);
    QVERIFY(sim.finish());
    const auto m = kSummary.match(sim.restLines().value(0));
    QVERIFY(m.hasMatch());
    QCOMPARE(m.captured(5), QStringLiteral("3"));
}

void TestSimulator::scene()
{
    const QVector<Frame> a = framesOfSeed(5, 12);
    const QVector<Frame> b = framesOfSeed(5, 12);
    const QVector<Frame> other = framesOfSeed(6, 1);
    QCOMPARE(a.size(), 12);
    QCOMPARE(b.size(), 12);
    QCOMPARE(other.size(), 1);

    QCOMPARE(a[0].samples, b[0].samples);
    QVERIFY(a[0].samples != other[0].samples);

    // The fixed pattern dominates the raw picture and goes away when one
    // frame is taken off another; the warm object has moved meanwhile.
    const QVector<int> corrected = difference(a[11].samples, a[0].samples);
    const double raw = roughness(a[0].samples), clean = roughness(corrected);
    qInfo("neighbour difference: raw %.1f, reference subtracted %.1f", raw, clean);
    QVERIFY(raw > 4 * clean);
    const auto [lo, hi] = std::minmax_element(corrected.cbegin(), corrected.cend());
    QVERIFY(*hi > 1000 && *lo < -1000);
}

// The gradient is the same exact ramp in every frame; the flat field is one
// level with the fixed pattern and the noise, nothing moving in it.
void TestSimulator::patterns()
{
    const QVector<Frame> ramp = framesOfSeed(5, 3, {"--pattern", "gradient"});
    QCOMPARE(ramp.size(), 3);
    for (int i = 0; i < kRows * kColumns; i += 97)
        QCOMPARE(ramp[2].samples[i], i * 16383 / 6719);
    QCOMPARE(ramp[0].samples, ramp[2].samples);

    const QVector<Frame> flat = framesOfSeed(5, 12, {"--pattern=flat"});
    QCOMPARE(flat.size(), 12);
    const QVector<int> change = difference(flat[11].samples, flat[0].samples);
    const auto [lo, hi] = std::minmax_element(change.cbegin(), change.cend());
    QVERIFY(*lo >= -12 && *hi <= 12); // two noises of +-6
    QVERIFY(roughness(flat[0].samples) > 4 * roughness(change)); // the fixed pattern is there
}

void TestSimulator::link()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("ttyUSB0");
    Sim sim({"--link", path, "--fast"});
    const QString pty = sim.ptyPath();
    QCOMPARE(sim.line(), QStringLiteral("link: %1 -> %2").arg(path, pty));
    QVERIFY(QFileInfo(path).isSymLink());
    QCOMPARE(QFile::symLinkTarget(path), pty);

    PtyReader reader(path);
    QVERIFY(reader.isOpen());
    const QString error = readFrames(reader, 1, 1, plain);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    sim.sendSignal(SIGTERM);
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(!QFileInfo::exists(path));
}

void TestSimulator::linkRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("occupied");
    QTest::newRow("path exists") << "ttyUSB0" << true;
    QTest::newRow("no such directory") << "missing/ttyUSB0" << false;
}

void TestSimulator::linkRefused()
{
    QFETCH(QString, name);
    QFETCH(bool, occupied);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile existing(path);
    if (occupied) {
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("keep");
        existing.close();
    }

    Sim sim({"--link", path});
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(1));
    QVERIFY(sim.errors().contains("cannot create link " + path));
    QVERIFY(sim.restLines().isEmpty());
    if (occupied) {
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("keep"));
    }
}

void TestSimulator::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");  // on stderr, or on stdout for status 0

    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: framescope-sim";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "unknown option '--bogus'";
    QTest::newRow("missing value") << QStringList{"--stray"} << 2 << "--stray needs a value";
    QTest::newRow("not a number") << QStringList{"--frames", "12x"} << 2 << "bad number '12x'";
    QTest::newRow("zero period") << QStringList{"--lose-end=0"} << 2 << "bad number '0' for --lose-end";
    QTest::newRow("negative seed") << QStringList{"--seed", "-1"} << 2 << "bad number '-1' for --seed";
    QTest::newRow("seed too big") << QStringList{"--seed", "4294967296"} << 2 << "for --seed";
    QTest::newRow("flag with value") << QStringList{"--fast=1"} << 2 << "unknown option '--fast=1'";
    QTest::newRow("loop alone") << QStringList{"--loop"} << 2 << "--loop needs --replay";
    QTest::newRow("replay and faults") << QStringList{"--replay", "x", "--stray", "2"} << 2
                                       << "cannot be combined";
    QTest::newRow("replay and pattern") << QStringList{"--replay", "x", "--pattern", "flat"} << 2
                                        << "cannot be combined";
    QTest::newRow("unknown pattern") << QStringList{"--pattern", "checkers"} << 2
                                     << "unknown pattern 'checkers' for --pattern (scene, flat or gradient)";
    QTest::newRow("temperature without flat") << QStringList{"--temperature", "30"} << 2
                                              << "--temperature needs --pattern flat";
    QTest::newRow("temperature out of range") << QStringList{"--pattern", "flat", "--temperature", "90"} << 2
                                              << "bad temperature '90' for --temperature (expected -40 to 85)";
    QTest::newRow("no bad pixels") << QStringList{"--bad-pixels", "0"} << 2 << "bad number '0' for --bad-pixels";
    QTest::newRow("unplug without interval") << QStringList{"--unplug-every", ":2"} << 2
                                             << "bad interval ':2' for --unplug-every";
    QTest::newRow("unplug zero pause") << QStringList{"--unplug-every", "10:0"} << 2
                                       << "bad interval '10:0'";
    QTest::newRow("unplug four decimals") << QStringList{"--unplug-every", "0.0001"} << 2
                                          << "bad interval '0.0001'";
    QTest::newRow("renumber alone") << QStringList{"--renumber"} << 2
                                    << "--renumber needs --unplug-every";
    QTest::newRow("renumber a name without number")
        << QStringList{"--unplug-every", "5", "--renumber", "--link", "/tmp/tty"} << 2
        << "a --link whose name ends in a number";
}

void TestSimulator::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    Sim sim(args);
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(status));
    const QString out = sim.restLines().join('\n');
    const QString err = sim.errors();
    if (status == 0) {
        QVERIFY(out.startsWith(message));
        for (const char* option : {"--link", "--fast", "--frames", "--seed", "--replay", "--loop",
                                   "--verbose", "--bad-checksum", "--lose-start", "--lose-end",
                                   "--extra-byte", "--ack-in-data", "--stray", "--timing",
                                   "--unplug-every", "--renumber", "--temperature", "--bad-pixels",
                                   "--drift"})
            QVERIFY2(out.contains(option), option);
        QVERIFY(err.isEmpty());
    } else {
        QVERIFY2(err.startsWith("framescope-sim: ") && err.contains(message), qPrintable(err));
        QVERIFY(out.isEmpty());
    }
}

void TestSimulator::stopSignals_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// At the link rate, with a reader: the run ends cleanly and its summary
// agrees with the frames it reported one by one.
void TestSimulator::stopSignals()
{
    QFETCH(int, sig);
    Sim sim({"--verbose"});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    QVERIFY(sim.line().startsWith("frame 1 "));

    sim.sendSignal(sig);
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    QStringList lines = sim.restLines();
    const auto m = kSummary.match(lines.value(lines.size() - 1));
    QVERIFY2(m.hasMatch(), qPrintable(lines.join('\n')));
    lines.removeLast();
    QCOMPARE(m.captured(1).toInt(), lines.size() + 1);
    QCOMPARE(m.captured(2).toInt(), lines.size() + 1);
}

void TestSimulator::replay()
{
    QTemporaryDir dir;
    const QByteArray capture = fullScaleFrame() + QByteArray("\x06\x11", 2) + fullScaleFrame();
    const QString file = writeCapture(dir, capture);
    QVERIFY(!file.isEmpty());
    Sim sim({"--replay", file, "--fast", "--verbose"});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    QCOMPARE(readExactly(reader, capture.size()), capture);

    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    const QStringList expected = {"replay pass 1",
                                  QStringLiteral("replayed: %1 bytes in 1 passes").arg(capture.size()),
                                  summary(0, 0, 0, 0, 0)};
    QCOMPARE(sim.restLines(), expected);
}

// The full-scale frame decodes with our decoder, pass after pass.
void TestSimulator::replayLoop()
{
    QTemporaryDir dir;
    const QString file = writeCapture(dir, fullScaleFrame());
    Sim sim({"--replay", file, "--loop", "--fast"});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    QVector<Frame> frames;
    const QString error = readFrames(reader, 1, 3, plain, &frames);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(frames[2].sum, 1706880u);
    QCOMPARE(frames[2].samples.value(kPixels - 1), 16383);

    sim.sendSignal(SIGTERM);
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    const auto m = QRegularExpression("^replayed: (\\d+) bytes in (\\d+) passes$").match(sim.restLines().value(0));
    QVERIFY(m.hasMatch());
    QVERIFY(m.captured(2).toInt() >= 3);
    QCOMPARE(m.captured(1).toLongLong(), m.captured(2).toLongLong() * (kDataBytes + 7));
}

void TestSimulator::replayMissingFile()
{
    QTemporaryDir dir;
    Sim sim({"--replay", dir.filePath("none.bin")});
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(1));
    QVERIFY(sim.errors().contains("none.bin"));
    QVERIFY(sim.restLines().isEmpty());
}

// Measured, not judged: only the bound the link itself sets is checked.
void TestSimulator::linkRatePacing()
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    Sim sim({});
    PtyReader reader(sim.ptyPath());
    QVERIFY(reader.isOpen());
    const qint64 bytes = reader.drainFor(2000);
    const double seconds = sinceStart.nsecsElapsed() / 1e9;
    qInfo("link rate: %lld bytes in %.2f s since start: %.0f bytes/s, %.2f frames/s", bytes,
          seconds, bytes / seconds, bytes / seconds / 13447.0);
    QVERIFY(bytes > 0);
    QVERIFY(bytes <= kLinkBytesPerSecond * seconds + 1024);
}

void TestSimulator::dropsWhatNobodyReads()
{
    Sim sim({});
    QVERIFY(!sim.ptyPath().isEmpty());
    QTest::qWait(1500);  // nobody reads meanwhile
    QVERIFY(sim.running());
    sim.sendSignal(SIGTERM);
    QVERIFY(sim.finish());
    const auto m = kSummary.match(sim.restLines().value(0));
    QVERIFY(m.hasMatch());
    QVERIFY(m.captured(4).toLongLong() > 0);
}

// The adapter goes away every 2 s for 0.4 s and comes back under the
// lowest free number but its own: ttyUSB1 is taken, so ttyUSB0 -> ttyUSB2 ->
// ttyUSB0. A reader of the old pty gets an error, not silence; every frame
// decoded on the wire has its timing line with the checksum it carried.
void TestSimulator::unplugsRenumbersAndTimesFrames()
{
    QTemporaryDir dir;
    QFile taken(dir.filePath("ttyUSB1"));
    QVERIFY(taken.open(QIODevice::WriteOnly));
    const QString first = dir.filePath("ttyUSB0"), second = dir.filePath("ttyUSB2");
    Sim sim({"--link", first, "--unplug-every", "2:0.4", "--renumber", "--timing",
             "--bad-checksum", "2"});
    const QString pty = sim.ptyPath();
    QCOMPARE(sim.line(), QStringLiteral("link: %1 -> %2").arg(first, pty));

    const QRegularExpression timing(
        "^timing: (\\d+) (frame (\\d+) ([0-9a-f]+) (\\w+)( [a-z-]+)*|unplug|replug)$");
    qint64 lastTime = 0;
    // The next timing line, which must come later than the one before.
    auto nextTiming = [&]() {
        const QRegularExpressionMatch m = timing.match(sim.line());
        if (m.hasMatch() && m.captured(1).toLongLong() >= lastTime)
            lastTime = m.captured(1).toLongLong();
        else
            lastTime = -1;
        return m;
    };
    // Reads frame n off the wire and checks its timing line against it.
    auto frameMatchesItsTiming = [&](PtyReader& reader, int n) {
        const Shape shape = n % 2 == 0 ? spoilt("--bad-checksum") : Shape{};
        Frame f;
        const QString error = readFrame(reader, shape, f);
        const QRegularExpressionMatch m = nextTiming();
        const quint32 carried = f.sum + (shape.badChecksum ? 1u : 0u);
        const QString verdict = shape.badChecksum ? "bad bad-checksum" : "good";
        return error.isEmpty() && m.captured(3).toInt() == n &&
               m.captured(4) == QString::number(carried, 16) &&
               m.captured(2).section(' ', 3) == verdict && lastTime > 0;
    };

    PtyReader reader(first);
    QVERIFY(reader.isOpen());
    for (int n = 1; n <= 3; ++n)
        QVERIFY2(frameMatchesItsTiming(reader, n), qPrintable(QString::number(n)));

    QRegularExpressionMatch m;
    while ((m = nextTiming()).hasMatch() && m.captured(2) != "unplug") {
    }
    QVERIFY(m.hasMatch());
    const qint64 unplugged = lastTime;
    QCOMPARE(sim.line(), "unplugged: " + first);
    QVERIFY(!QFileInfo::exists(first));
    QElapsedTimer untilError;
    untilError.start();
    while (reader.next() >= 0) {
    }
    QVERIFY(untilError.elapsed() < 5000);

    const QString newPty = sim.ptyPath();
    QVERIFY(!newPty.isEmpty());
    QCOMPARE(sim.line(), QStringLiteral("link: %1 -> %2").arg(second, newPty));
    m = nextTiming();
    QCOMPARE(m.captured(2), QStringLiteral("replug"));
    QVERIFY2(lastTime - unplugged >= 400000 && lastTime - unplugged < 1500000,
             qPrintable(QString::number(lastTime - unplugged)));

    // Back on the new pty, the stream starts with a whole frame.
    PtyReader again(second);
    QVERIFY(again.isOpen());
    const int next = sim.line().section(' ', 3, 3).toInt();  // peeked: "timing: T frame N ..."
    QVERIFY(next > 3);
    Frame f;
    const Shape shape = next % 2 == 0 ? spoilt("--bad-checksum") : Shape{};
    QVERIFY2(readFrame(again, shape, f).isEmpty(), "first frame after the replug");

    QString line;
    while (!(line = sim.line()).isEmpty() && !line.startsWith("unplugged: ")) {
    }
    QCOMPARE(line, "unplugged: " + second);
    const QString thirdPty = sim.ptyPath();
    QCOMPARE(sim.line(), QStringLiteral("link: %1 -> %2").arg(first, thirdPty));
    sim.sendSignal(SIGTERM);
    QVERIFY(sim.finish());
    QVERIFY(sim.exitedWith(0));
    QVERIFY(sim.restLines().last().endsWith(", 2 unplugs"));
    QVERIFY(!QFileInfo::exists(first) && !QFileInfo::exists(second));
    QVERIFY(QFileInfo::exists(dir.filePath("ttyUSB1")));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
