// The frame receiver (ReadDataOnSerialPort), the checksum verification
// (VerifyCheckSum_0) and the receive worker's entry (fn_thread_GetDataFromSerial),
// fed through real pipes and a real pseudo-terminal, one read per receive step
// as the acquisition loop does it.
//
// The receiver keeps its frame state for the life of the process, so every
// test starts from a start marker (init) and never assumes which buffer is
// being filled: it reads f_SwitchImage first.

#include "Process_Serial.h"
#include "Serial.h"
#include "Threads.h"
#include "testsupport.h"

#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <random>
#include <sys/ioctl.h>
#include <vector>

using namespace testsupport;

namespace {

MainWindow *gWindow = nullptr;

const unsigned int kSentinelSum = 0xDEADBEEFu;
const unsigned char kSentinelByte = 0xAA; // never stored by the receiver (bit 7 set)
const unsigned int kAllOnesSum = 13440u * 127u; // 1706880

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(static_cast<char>(v));
    return bytes;
}

QByteArray Contents(const unsigned char *buffer, int size = RAW_FRAME_SIZE)
{
    return QByteArray(reinterpret_cast<const char *>(buffer), size);
}

unsigned int SumOfBuffer(const unsigned char *buffer)
{
    unsigned int sum = 0;
    for (int i = 0; i < RAW_FRAME_SIZE; ++i)
        sum += buffer[i];
    return sum;
}

// The buffer the receiver fills now, and the one the consumers read.
unsigned char *FillBuffer(MainWindow &w)
{
    return f_SwitchImage ? w.pRawFrame2 : w.pRawFrame1;
}
unsigned char *ConsumerBuffer(MainWindow &w)
{
    return f_SwitchImage ? w.pRawFrame1 : w.pRawFrame2;
}

QByteArray RandomRaw(unsigned int seed)
{
    std::mt19937 gen(seed);
    return RawFrame([&](int) { return static_cast<int>(gen() & 0x3FFF); });
}

// A raw frame from pattern(i) (7-bit groups), with its last bytes adjusted so
// that the groups add up to target.
QByteArray RawWithSum(unsigned int target, const std::function<int(int)> &pattern)
{
    QByteArray raw(RAW_FRAME_SIZE, '\0');
    long long diff = target;
    for (int i = 0; i < RAW_FRAME_SIZE; ++i) {
        raw[i] = static_cast<char>(pattern(i) & 0x7F);
        diff -= raw[i];
    }
    for (int i = RAW_FRAME_SIZE - 1; i >= 0 && diff != 0; --i) {
        const long long now = raw[i];
        const long long want = std::min(127LL, std::max(0LL, now + diff));
        raw[i] = static_cast<char>(want);
        diff -= want - now;
    }
    return raw;
}

QByteArray RawWithSum(unsigned int target, unsigned int seed)
{
    std::mt19937 gen(seed);
    const unsigned int spread = 2 * target / RAW_FRAME_SIZE + 1;
    return RawWithSum(target, [&](int) { return static_cast<int>(gen() % spread); });
}

// The five 7-bit groups in which the sensor sends a checksum.
std::vector<int> Groups(unsigned int sum)
{
    return {int(sum & 0x7F), int((sum >> 7) & 0x7F), int((sum >> 14) & 0x7F),
            int((sum >> 21) & 0x7F), int(sum >> 28)};
}

bool GroupsAvoid(unsigned int sum, std::initializer_list<int> values, int from = 0)
{
    const std::vector<int> groups = Groups(sum);
    for (int k = from; k < 5; ++k) {
        if (std::find(values.begin(), values.end(), groups[k]) != values.end())
            return false;
    }
    return true;
}

QString MismatchLine(unsigned int calc, unsigned int buffer, unsigned int read)
{
    return QString::asprintf("Serial 0 : Calc : \"%x\"  - Dif: \"%x\"  - Read : \"%x\"", calc,
                             buffer, read);
}

int CountMismatchLines(const QStringList &lines)
{
    int count = 0;
    for (const QString &line : lines)
        count += line.startsWith(QLatin1String("Serial 0 : Calc :")) ? 1 : 0;
    return count;
}

// What the acquisition loop does after each receive step.
void EndOfCycle(MainWindow &w)
{
    VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
    f_FrameAcquired = false;
}

// The serial line as the receiver sees it: a non-blocking pipe, one read per step.
class Receiver
{
public:
    explicit Receiver(MainWindow &window)
        : w(window), fd(line.readFd()), frame1(window.pRawFrame1), frame2(window.pRawFrame2)
    {
    }
    void useBuffers(unsigned char *one, unsigned char *two)
    {
        frame1 = one;
        frame2 = two;
    }

    // One receive step that finds `bytes` waiting (at most 8192 of them).
    void step(const QByteArray &bytes)
    {
        if (!bytes.isEmpty()
            && write(line.writeFd(), bytes.constData(), bytes.size()) != bytes.size())
            qFatal("pipe write failed");
        ReadDataOnSerialPort(&fd, frame1, frame2, &w.uCksumRead, &w.uCksumCalc,
                             &w.uCksumBuffer);
    }
    void emptySteps(int count)
    {
        for (int i = 0; i < count; ++i)
            ReadDataOnSerialPort(&fd, frame1, frame2, &w.uCksumRead, &w.uCksumCalc,
                                 &w.uCksumBuffer);
    }

    // One step per piece; after each, the loop's verification and, if given, check.
    void feed(const QByteArray &bytes, int piece, const std::function<void(bool last)> &check = {})
    {
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            step(bytes.mid(at, piece));
            if (check)
                check(at + piece >= bytes.size());
            EndOfCycle(w);
        }
    }

private:
    MainWindow &w;
    Pipe line;
    int fd;
    unsigned char *frame1;
    unsigned char *frame2;
};

// Puts `fd` on descriptor 0 (standard input) for the object's life.
class OnStandardInput
{
public:
    explicit OnStandardInput(int fd) : saved(fcntl(0, F_DUPFD_CLOEXEC, 3)) { dup2(fd, 0); }
    ~OnStandardInput()
    {
        if (saved >= 0) {
            dup2(saved, 0);
            close(saved);
        } else {
            close(0);
        }
    }
    OnStandardInput(const OnStandardInput &) = delete;
    OnStandardInput &operator=(const OnStandardInput &) = delete;

private:
    int saved;
};

void RunWorkerOnce()
{
    pthread_t thread;
    int unused = 0;
    if (pthread_create(&thread, nullptr, fn_thread_GetDataFromSerial, &unused) != 0)
        qFatal("pthread_create failed");
    void *result = &unused;
    pthread_join(thread, &result);
    if (result != nullptr)
        qFatal("fn_thread_GetDataFromSerial returned a non-null pointer");
}

// The frame protocol as the sensor and the viewer agree on it, kept beside the
// receiver to compare every buffer byte, flag and checksum value after each step.
struct ReferenceReceiver
{
    bool inChecksum = false;
    int index = 0;
    unsigned int runningSum = 0;
    int checksumBytes = 0;
    unsigned int decoded = 0;

    bool switchImage = false;
    bool acquired = false, readFlag = false, calcFlag = false, ready = false;
    int errors = -1;
    unsigned int calc = 0, read = 0, buffer = 0;
    std::vector<unsigned char> frame1, frame2;
    int acknowledgements = 0;
    int mismatches = 0;
    int completions = 0;

    void take(unsigned char b)
    {
        const bool isControl = !(b & 0x80) && !inChecksum;
        if (!isControl) {
            if (index >= RAW_FRAME_SIZE)
                index = 0;
            if (inChecksum)
                takeChecksum(b);
            else {
                std::vector<unsigned char> &target = switchImage ? frame2 : frame1;
                target[index++] = b & 0x7F;
                runningSum += b & 0x7F;
            }
            return;
        }
        if (b == STX) {
            index = 0;
            runningSum = 0;
            checksumBytes = 0;
        } else if (b == ETX) {
            calc = runningSum;
            inChecksum = true;
        } else if (b == ACK) {
            ++acknowledgements;
        } else if (index >= RAW_FRAME_SIZE) {
            index = 0;
        }
    }
    void takeChecksum(unsigned char b)
    {
        if (checksumBytes < 4) {
            const unsigned int group = static_cast<unsigned int>(b & 0x7F) << (7 * checksumBytes);
            decoded = checksumBytes == 0 ? group : decoded + group;
            ++checksumBytes;
            return;
        }
        decoded += static_cast<unsigned int>(b & 0x0F) << 28;
        read = decoded;
        acquired = true;
        switchImage = !switchImage;
        inChecksum = false;
        readFlag = true;
        ++completions;
    }
    void endStep()
    {
        if (!acquired)
            return;
        const std::vector<unsigned char> &consumers = switchImage ? frame1 : frame2;
        buffer = 0;
        for (unsigned char c : consumers)
            buffer += c;
        calcFlag = true;
    }
    void endCycle()
    {
        if (acquired && calcFlag && readFlag) {
            if (calc == read && buffer == read) {
                ready = true;
            } else {
                ready = false;
                ++mismatches;
                if (errors < INT_MAX)
                    ++errors;
            }
            readFlag = false;
            calcFlag = false;
        }
        acquired = false;
    }
};

// A number below n from the random stream of a test.
int Below(std::mt19937 &gen, unsigned int n)
{
    return static_cast<int>(gen() % n);
}

// A frame spoilt in one of the ways a line spoils it, its checksum wrong in a
// third of them.
QByteArray DamagedFrame(std::mt19937 &gen)
{
    auto below = [&](unsigned int n) { return Below(gen, n); };
    QByteArray frame = WireFrame(RandomRaw(gen()), below(3) ? 0 : below(1000) - 500);
    switch (below(6)) {
    case 0: frame.remove(0, 1); break;                           // lost start
    case 1: frame.remove(1 + RAW_FRAME_SIZE, 1); break;          // lost end
    case 2: frame.insert(1 + below(RAW_FRAME_SIZE), '\xC1'); break; // extra byte
    case 3: frame.remove(1 + below(RAW_FRAME_SIZE), 1); break;   // missing byte
    case 4: frame.insert(1 + below(RAW_FRAME_SIZE), char(ACK)); break;
    default:
        for (int k = 1; k <= 5; ++k)
            frame[frame.size() - k] = static_cast<char>(frame[frame.size() - k] | 0x80);
    }
    return frame;
}

// Garbage of every kind, frames good and bad, and fragments: at least `size` bytes.
QByteArray MixedStream(std::mt19937 &gen, int size)
{
    auto below = [&](unsigned int n) { return Below(gen, n); };
    QByteArray stream;
    while (stream.size() < size) {
        const int kind = below(100);
        if (kind < 20) {
            QByteArray noise(1 + below(16384), '\0');
            for (char &c : noise)
                c = static_cast<char>(below(256));
            stream += noise;
        } else if (kind < 30) {
            static const int picks[] = {STX, ETX, ACK, 0x80, 0xFF, 0x00, 0x7F};
            for (int n = 1 + below(64); n > 0; --n)
                stream += static_cast<char>(below(3) ? picks[below(7)] : below(256));
        } else if (kind < 55) {
            stream += WireFrame(RandomRaw(gen()));
        } else if (kind < 65) {
            const QByteArray frame = WireFrame(RandomRaw(gen()));
            const int from = below(frame.size());
            stream += frame.mid(from, 1 + below(frame.size() - from));
        } else if (kind < 75) {
            stream += DamagedFrame(gen);
        } else if (kind < 90) {
            QByteArray data(below(200), '\0');
            for (char &c : data)
                c = static_cast<char>(below(128));
            stream += WireFrameWith(data, ChecksumBytes(SumOf(data), below(2) ? 0x80 : 0));
        } else if (kind < 95) {
            stream += WireFrame(QByteArray(RAW_FRAME_SIZE, 127));
        } else {
            QByteArray data(1 + below(30000), '\0');
            for (char &c : data)
                c = static_cast<char>(0x80 | below(128));
            stream += data;
        }
    }
    return stream;
}

// Feeds bytes to the receiver in pieces of random size, and to the reference
// beside it, and compares the two after every step and every cycle.
class LockstepFeed
{
public:
    LockstepFeed(MainWindow &window, std::mt19937 &random, unsigned char *one, unsigned char *two)
        : w(window), gen(random), frame1(one), frame2(two), rx(window)
    {
        rx.useBuffers(frame1, frame2);
        ref.switchImage = f_SwitchImage;
        ref.frame1.assign(frame1, frame1 + RAW_FRAME_SIZE);
        ref.frame2.assign(frame2, frame2 + RAW_FRAME_SIZE);
        ref.calc = w.uCksumCalc;
        ref.read = w.uCksumRead;
        ref.buffer = w.uCksumBuffer;
        ref.errors = iErrorFrame;
        ref.ready = f_FrameRdy;
    }

    // False at the first step where the two disagree.
    bool deliver(const QByteArray &bytes)
    {
        auto below = [&](unsigned int n) { return Below(gen, n); };
        for (qsizetype at = 0; at < bytes.size();) {
            const int roll = below(10);
            int piece = roll < 5 ? 1 + below(64) : roll < 8 ? 1 + below(8192) : 8192;
            piece = int(std::min<qsizetype>(piece, bytes.size() - at));
            const QByteArray chunk = bytes.mid(at, piece);
            at += piece;
            if (below(20) == 0)
                rx.emptySteps(1);
            rx.step(chunk);
            for (char c : chunk)
                ref.take(static_cast<unsigned char>(c));
            ref.endStep();
            ++steps;
            if (!sameAfterStep())
                return false;
            EndOfCycle(w);
            ref.endCycle();
            if (f_FrameRdy != ref.ready || iErrorFrame != ref.errors)
                return false;
        }
        return true;
    }

    ReferenceReceiver ref;
    int steps = 0;

private:
    bool sameAfterStep() const
    {
        return f_SwitchImage == ref.switchImage && f_FrameAcquired == ref.acquired
               && f_ReadCheckSum == ref.readFlag && f_CalcCheckSum == ref.calcFlag
               && w.uCksumCalc == ref.calc && w.uCksumRead == ref.read
               && w.uCksumBuffer == ref.buffer
               && memcmp(frame1, ref.frame1.data(), RAW_FRAME_SIZE) == 0
               && memcmp(frame2, ref.frame2.data(), RAW_FRAME_SIZE) == 0;
    }

    MainWindow &w;
    std::mt19937 &gen;
    unsigned char *frame1;
    unsigned char *frame2;
    Receiver rx;
};

} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void frameInPieces_data();
    void frameInPieces();
    void frameSplitAtEachField_data();
    void frameSplitAtEachField();
    void framesAlternateBetweenBuffers();
    void allOnesFrame_data();
    void allOnesFrame();
    void checksumBytes_data();
    void checksumBytes();
    void acknowledgeInsideAFrame_data();
    void acknowledgeInsideAFrame();
    void checksumOffByOne_data();
    void checksumOffByOne();
    void verifyComparesAllThreeSums_data();
    void verifyComparesAllThreeSums();
    void verifyWaitsForAFinishedFrame_data();
    void verifyWaitsForAFinishedFrame();
    void badFrameCountStopsAtIntMax();
    void lostStartMarker();
    void lostEndMarker_data();
    void lostEndMarker();
    void extraDataByteWraps_data();
    void extraDataByteWraps();
    void missingDataByte();
    void severalShortFramesInOneStep();
    void bufferSumFollowsFrameAcquired();
    void stopMidFrameAndResume_data();
    void stopMidFrameAndResume();
    void stopMidFrameSensorStartsAgain_data();
    void stopMidFrameSensorStartsAgain();
    void timeoutLoggedOncePerSilence();
    void notConnectedStepDoesNothing();
    void workerReadsThroughMainWindowPointer();
    void workerReceivesFrameOverConfiguredPort();
    void randomStream_data();
    void randomStream();
};

void TestReceiver::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
    gWindow = new MainWindow;
    QCOMPARE(pMainWindow, gWindow);
    QVERIFY(gWindow->pRawFrame1 != nullptr && gWindow->pRawFrame2 != nullptr);
}

void TestReceiver::cleanupTestCase()
{
    gWindow->fdSerial = 0;
    delete gWindow;
    gWindow = nullptr;
}

// Back to the start of a frame, with known values everywhere the receiver writes.
void TestReceiver::init()
{
    MainWindow &w = *gWindow;
    w.fdSerial = 0;
    ResetReceiver(w);
    memset(w.pRawFrame1, kSentinelByte, RAW_FRAME_SIZE);
    memset(w.pRawFrame2, kSentinelByte, RAW_FRAME_SIZE);
    w.uCksumCalc = w.uCksumRead = w.uCksumBuffer = kSentinelSum;
    f_FrameAcquired = false;
    f_ReadCheckSum = false;
    f_CalcCheckSum = false;
    f_FrameRdy = false;
    f_Acknowledge = false;
    iErrorFrame = -1;
}

void TestReceiver::frameInPieces_data()
{
    QTest::addColumn<int>("piece");
    for (int piece = 1; piece <= 16; ++piece)
        QTest::addRow("%d", piece) << piece;
    for (int piece : {17, 31, 64, 127, 128, 1000, 1024, 4095, 4096, 6723, 6724, 8191, 8192})
        QTest::addRow("%d", piece) << piece;
}

void TestReceiver::frameInPieces()
{
    QFETCH(int, piece);
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(1000 + piece);
    const QByteArray wire = WireFrame(raw);
    QCOMPARE(int(wire.size()), 13447);

    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);
    unsigned char *other = switchBefore ? w.pRawFrame1 : w.pRawFrame2;
    QCOMPARE(target, switchBefore ? w.pRawFrame2 : w.pRawFrame1);

    LogCapture log;
    Receiver rx(w);
    int early = 0;
    bool verified = false;
    rx.feed(wire, piece, [&](bool last) {
        if (!last) {
            early += (f_FrameAcquired || f_SwitchImage != switchBefore) ? 1 : 0;
            return;
        }
        QCOMPARE(f_SwitchImage, !switchBefore);
        QVERIFY(f_FrameAcquired);
        QVERIFY(f_ReadCheckSum);
        QVERIFY(f_CalcCheckSum);
        QVERIFY(!f_FrameRdy);
        QCOMPARE(w.uCksumCalc, SumOf(raw));
        QCOMPARE(w.uCksumRead, SumOf(raw));
        QCOMPARE(w.uCksumBuffer, SumOf(raw));
        VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
        QVERIFY(f_FrameRdy);
        QVERIFY(!f_ReadCheckSum);
        QVERIFY(!f_CalcCheckSum);
        QVERIFY(f_FrameAcquired); // left for the loop to clear
        verified = true;
    });
    QCOMPARE(early, 0);
    QVERIFY(verified);
    QCOMPARE(f_SwitchImage, !switchBefore);
    QCOMPARE(ConsumerBuffer(w), target);
    QCOMPARE(Contents(target), raw);
    QCOMPARE(Contents(other), QByteArray(RAW_FRAME_SIZE, static_cast<char>(kSentinelByte)));
    QCOMPARE(iErrorFrame, -1);
    QCOMPARE(log.lines(), QStringList());
}

void TestReceiver::frameSplitAtEachField_data()
{
    QTest::addColumn<int>("split");
    QTest::newRow("after start marker") << 1;
    QTest::newRow("after first data byte") << 2;
    QTest::newRow("inside a sample") << 6722;
    QTest::newRow("before last data byte") << 13440;
    QTest::newRow("before end marker") << 13441;
    QTest::newRow("after end marker") << 13442;
    for (int k = 1; k <= 4; ++k)
        QTest::addRow("after checksum byte %d", k) << 13442 + k;
}

void TestReceiver::frameSplitAtEachField()
{
    QFETCH(int, split);
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(2000 + split);
    const QByteArray wire = WireFrame(raw);
    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);

    Receiver rx(w);
    rx.feed(wire.left(split), 8192);
    QVERIFY(!f_FrameAcquired);
    QVERIFY(!f_ReadCheckSum);
    QCOMPARE(f_SwitchImage, switchBefore);
    // The running sum goes out with the end marker, not before.
    QCOMPARE(w.uCksumCalc, split >= 13442 ? SumOf(raw) : kSentinelSum);
    QCOMPARE(w.uCksumRead, kSentinelSum);
    bool completed = false;
    rx.feed(wire.mid(split), 8192, [&](bool last) {
        QCOMPARE(f_FrameAcquired, last);
        completed = completed || f_FrameAcquired;
    });
    QVERIFY(completed);
    QCOMPARE(f_SwitchImage, !switchBefore);
    QVERIFY(f_FrameRdy);
    QCOMPARE(w.uCksumRead, SumOf(raw));
    QCOMPARE(w.uCksumBuffer, SumOf(raw));
    QCOMPARE(Contents(target), raw);
}

void TestReceiver::framesAlternateBetweenBuffers()
{
    MainWindow &w = *gWindow;
    const QByteArray a = RandomRaw(31), b = RandomRaw(32), c = RandomRaw(33);
    unsigned char *first = FillBuffer(w);
    unsigned char *second = first == w.pRawFrame1 ? w.pRawFrame2 : w.pRawFrame1;

    // Stray bytes between frames are dropped; an acknowledgement is noted.
    const QByteArray between = Bytes({0x00, 0x01, 0x7F, ACK, 0x05, 0x1B, 0x0D, 0x0A});
    const QByteArray frames[] = {a, b, c};
    unsigned char *buffers[] = {first, second, first};

    LogCapture log;
    Receiver rx(w);
    int completed = 0;
    for (int k = 0; k < 3; ++k) {
        const QByteArray bytes = (k > 0 ? between : QByteArray()) + WireFrame(frames[k]);
        for (qsizetype at = 0; at < bytes.size(); at += 5000) {
            rx.step(bytes.mid(at, 5000));
            if (f_FrameAcquired) {
                ++completed;
                VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
                QVERIFY2(f_FrameRdy, qPrintable(QString("frame %1").arg(k)));
                QCOMPARE(ConsumerBuffer(w), buffers[k]);
                QCOMPARE(Contents(buffers[k]), frames[k]);
                if (k == 1)
                    QCOMPARE(Contents(first), a); // the previous frame stays until overwritten
            }
            f_FrameAcquired = false;
        }
        QCOMPARE(completed, k + 1);
    }
    QCOMPARE(completed, 3);
    QVERIFY(f_Acknowledge);
    QCOMPARE(log.lines(), QStringList() << "Acknowledge received"
                                        << "Acknowledge received");
}

void TestReceiver::allOnesFrame_data()
{
    QTest::addColumn<QByteArray>("checksum");
    QTest::newRow("bit 7 clear") << Bytes({0x00, 0x17, 0x68, 0x00, 0x00});
    QTest::newRow("bit 7 set") << Bytes({0x80, 0x97, 0xE8, 0x80, 0x80});
    QTest::newRow("bit 7 mixed") << Bytes({0x80, 0x17, 0xE8, 0x00, 0x80});
}

void TestReceiver::allOnesFrame()
{
    QFETCH(QByteArray, checksum);
    MainWindow &w = *gWindow;
    QByteArray wire;
    wire.append(static_cast<char>(0x02));
    wire.append(QByteArray(13440, static_cast<char>(0xFF)));
    wire.append(static_cast<char>(0x03));
    wire.append(checksum);
    unsigned char *target = FillBuffer(w);

    LogCapture log;
    Receiver rx(w);
    rx.step(wire.left(8192));
    rx.step(wire.mid(8192));
    QVERIFY(f_FrameAcquired);
    QCOMPARE(w.uCksumCalc, kAllOnesSum);
    QCOMPARE(w.uCksumRead, kAllOnesSum);
    QCOMPARE(w.uCksumBuffer, kAllOnesSum);
    VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(target), QByteArray(RAW_FRAME_SIZE, 127));
    QCOMPARE(log.lines(), QStringList());
}

void TestReceiver::checksumBytes_data()
{
    QTest::addColumn<uint>("dataSum");
    QTest::addColumn<QByteArray>("checksum");
    QTest::addColumn<uint>("decoded");

    auto sumOf = [](int g0, int g1, int g2) { return uint(g0 + (g1 << 7) + (g2 << 14)); };
    // Control values as checksum groups of a correct checksum.
    QTest::newRow("0x02 0x03 0x06") << sumOf(2, 3, 6) << Bytes({2, 3, 6, 0, 0}) << sumOf(2, 3, 6);
    QTest::newRow("0x06 0x02 0x03") << sumOf(6, 2, 3) << Bytes({6, 2, 3, 0, 0}) << sumOf(6, 2, 3);
    QTest::newRow("0x03 0x06 0x02") << sumOf(3, 6, 2) << Bytes({3, 6, 2, 0, 0}) << sumOf(3, 6, 2);
    QTest::newRow("0x06 everywhere, bit 7 set on some")
        << sumOf(6, 6, 6) << Bytes({0x86, 6, 0x86, 0x80, 0}) << sumOf(6, 6, 6);
    // And in the fourth and fifth place, where a frame's sum never reaches.
    const uint s = sumOf(5, 9, 17);
    QTest::newRow("fourth and fifth 0x02")
        << s << Bytes({5, 9, 17, 2, 2}) << s + (2u << 21) + (2u << 28);
    QTest::newRow("fourth and fifth 0x03")
        << s << Bytes({5, 9, 17, 3, 3}) << s + (3u << 21) + (3u << 28);
    QTest::newRow("fourth and fifth 0x06")
        << s << Bytes({5, 9, 17, 6, 6}) << s + (6u << 21) + (6u << 28);
    // Only bits 0-3 of the fifth byte count: 0x1F gives 0xF << 28.
    QTest::newRow("fifth 0x1F") << s << Bytes({5, 9, 17, 0, 0x1F}) << s + 0xF0000000u;
    QTest::newRow("fifth 0x9F") << s << Bytes({5, 9, 17, 0, 0x9F}) << s + 0xF0000000u;
    QTest::newRow("fifth 0xFF") << s << Bytes({5, 9, 17, 0, 0xFF}) << s + 0xF0000000u;
    QTest::newRow("fifth 0x01") << s << Bytes({5, 9, 17, 0, 0x01}) << s + 0x10000000u;
    QTest::newRow("fifth 0x70, bits 4-6 ignored") << s << Bytes({5, 9, 17, 0, 0x70}) << s;
    QTest::newRow("fifth 0xF0, bits 4-7 ignored") << s << Bytes({0x85, 0x89, 0x91, 0x80, 0xF0}) << s;
    QTest::newRow("fourth group") << s << Bytes({5, 9, 17, 0x7F, 0}) << s + (0x7Fu << 21);
    QTest::newRow("largest sum, bit 7 set")
        << kAllOnesSum << Bytes({0x80, 0x97, 0xE8, 0x80, 0x80}) << kAllOnesSum;
}

void TestReceiver::checksumBytes()
{
    QFETCH(uint, dataSum);
    QFETCH(QByteArray, checksum);
    QFETCH(uint, decoded);
    MainWindow &w = *gWindow;
    const QByteArray raw = RawWithSum(dataSum, dataSum);
    QCOMPARE(SumOf(raw), dataSum);
    const bool accepted = decoded == dataSum;
    const bool switchBefore = f_SwitchImage;

    LogCapture log;
    Receiver rx(w);
    rx.feed(WireFrameWith(raw, checksum), 4096, [&](bool last) {
        QCOMPARE(f_FrameAcquired, last);
    });
    QCOMPARE(f_SwitchImage, !switchBefore);
    QCOMPARE(w.uCksumRead, decoded);
    QCOMPARE(w.uCksumCalc, dataSum);
    QCOMPARE(w.uCksumBuffer, dataSum);
    QCOMPARE(f_FrameRdy, accepted);
    QVERIFY(!f_Acknowledge); // a checksum byte 0x06 is no acknowledgement
    QStringList expectedLog;
    if (!accepted)
        expectedLog << MismatchLine(dataSum, dataSum, decoded);
    QCOMPARE(log.lines(), expectedLog);
    QCOMPARE(iErrorFrame, accepted ? -1 : 0);

    // The receiver is back in step: the next frame verifies.
    const QByteArray next = RandomRaw(dataSum ^ 0x5A5A);
    rx.feed(WireFrame(next), 8192);
    QCOMPARE(f_SwitchImage, switchBefore);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(ConsumerBuffer(w)), next);
}

void TestReceiver::acknowledgeInsideAFrame_data()
{
    QTest::addColumn<QList<int>>("positions"); // data bytes before which the byte goes
    QTest::addColumn<int>("strayByte");
    QTest::newRow("before first data byte") << QList<int>{0} << int(ACK);
    QTest::newRow("between the groups of a sample") << QList<int>{6721} << int(ACK);
    QTest::newRow("between samples") << QList<int>{6722} << int(ACK);
    QTest::newRow("before end marker") << QList<int>{13440} << int(ACK);
    QTest::newRow("three times") << QList<int>{1, 8191, 13439} << int(ACK);
    QTest::newRow("stray 0x00") << QList<int>{5, 9000} << 0x00;
    QTest::newRow("stray 0x01") << QList<int>{7000} << 0x01;
    QTest::newRow("stray 0x7F") << QList<int>{100, 13440} << 0x7F;
    QTest::newRow("stray 0x0D") << QList<int>{2} << 0x0D;
}

void TestReceiver::acknowledgeInsideAFrame()
{
    QFETCH(QList<int>, positions);
    QFETCH(int, strayByte);
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(77);
    QByteArray wire = WireFrame(raw);
    std::sort(positions.begin(), positions.end());
    for (int k = positions.size() - 1; k >= 0; --k)
        wire.insert(1 + positions[k], static_cast<char>(strayByte));
    unsigned char *target = FillBuffer(w);

    LogCapture log;
    Receiver rx(w);
    rx.feed(wire, 3000);
    QCOMPARE(f_Acknowledge, strayByte == ACK);
    QCOMPARE(log.count("Acknowledge received"), strayByte == ACK ? int(positions.size()) : 0);
    QCOMPARE(CountMismatchLines(log.lines()), 0);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(target), raw);
    QCOMPARE(w.uCksumCalc, SumOf(raw));
    QCOMPARE(w.uCksumBuffer, SumOf(raw));
}

void TestReceiver::checksumOffByOne_data()
{
    QTest::addColumn<int>("error");
    QTest::newRow("one more") << 1;
    QTest::newRow("one less") << -1;
    QTest::newRow("second group") << 128;
    QTest::newRow("fifth group") << 0x10000000;
}

void TestReceiver::checksumOffByOne()
{
    QFETCH(int, error);
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(500 + error);
    const unsigned int sum = SumOf(raw);
    unsigned char *target = FillBuffer(w);
    f_FrameRdy = true; // a previous good frame not shown yet

    LogCapture log;
    Receiver rx(w);
    rx.step(WireFrame(raw, error).left(8192));
    rx.step(WireFrame(raw, error).mid(8192));
    QVERIFY(f_FrameAcquired);
    VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
    QCOMPARE(log.lines(), QStringList() << MismatchLine(sum, sum, sum + unsigned(error)));
    QVERIFY(!f_FrameRdy);
    QCOMPARE(iErrorFrame, 0);
    QVERIFY(!f_ReadCheckSum);
    QVERIFY(!f_CalcCheckSum);
    QVERIFY(f_FrameAcquired);
    QCOMPARE(Contents(target), raw); // kept, but not for use

    // Verification of the same frame once more changes nothing.
    VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
    QCOMPARE(iErrorFrame, 0);
    QCOMPARE(int(log.lines().size()), 1);
    f_FrameAcquired = false;

    // Each bad frame counts; a good one does not.
    rx.feed(WireFrame(raw, error), 8192);
    QCOMPARE(iErrorFrame, 1);
    rx.feed(WireFrame(raw), 8192);
    QCOMPARE(iErrorFrame, 1);
    QVERIFY(f_FrameRdy);
    QCOMPARE(CountMismatchLines(log.lines()), 2);
}

void TestReceiver::verifyComparesAllThreeSums_data()
{
    QTest::addColumn<uint>("calc");
    QTest::addColumn<uint>("received");
    QTest::addColumn<uint>("buffer");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("all agree") << 0x1a0b80u << 0x1a0b80u << 0x1a0b80u << true;
    QTest::newRow("all zero") << 0u << 0u << 0u << true;
    QTest::newRow("read differs") << 0x1a0b80u << 0x1a0b81u << 0x1a0b80u << false;
    QTest::newRow("running sum differs") << 0x12345u << 0x1a0b80u << 0x1a0b80u << false;
    QTest::newRow("buffer sum differs") << 0x1a0b80u << 0x1a0b80u << 0x1a0b00u << false;
    QTest::newRow("all differ") << 1u << 2u << 3u << false;
    QTest::newRow("high bits") << 0xF0000000u << 0xF0000000u << 0x0u << false;
}

void TestReceiver::verifyComparesAllThreeSums()
{
    QFETCH(uint, calc);
    QFETCH(uint, received);
    QFETCH(uint, buffer);
    QFETCH(bool, accepted);

    for (int errorsBefore : {-1, 0, 41}) {
        f_FrameAcquired = true;
        f_CalcCheckSum = true;
        f_ReadCheckSum = true;
        f_FrameRdy = !accepted;
        iErrorFrame = errorsBefore;
        LogCapture log;
        VerifyCheckSum_0(calc, received, buffer);
        QCOMPARE(f_FrameRdy, accepted);
        QCOMPARE(iErrorFrame, accepted ? errorsBefore : errorsBefore + 1);
        QStringList expected;
        if (!accepted)
            expected << MismatchLine(calc, buffer, received);
        QCOMPARE(log.lines(), expected);
        QVERIFY(!f_CalcCheckSum);
        QVERIFY(!f_ReadCheckSum);
        QVERIFY(f_FrameAcquired);
    }
    // The line exactly as the program writes it for a frame whose checksum is one too high.
    if (calc == 0x1a0b80u && received == 0x1a0b81u)
        QCOMPARE(MismatchLine(calc, buffer, received),
                 QStringLiteral("Serial 0 : Calc : \"1a0b80\"  - Dif: \"1a0b80\"  - Read : \"1a0b81\""));
}

void TestReceiver::verifyWaitsForAFinishedFrame_data()
{
    QTest::addColumn<bool>("acquired");
    QTest::addColumn<bool>("calcFlag");
    QTest::addColumn<bool>("readFlag");
    QTest::newRow("frame not acquired") << false << true << true;
    QTest::newRow("buffer sum missing") << true << false << true;
    QTest::newRow("sent checksum missing") << true << true << false;
    QTest::newRow("both missing") << true << false << false;
    QTest::newRow("nothing") << false << false << false;
    QTest::newRow("only buffer sum") << false << true << false;
}

void TestReceiver::verifyWaitsForAFinishedFrame()
{
    QFETCH(bool, acquired);
    QFETCH(bool, calcFlag);
    QFETCH(bool, readFlag);

    for (bool sumsAgree : {true, false}) {
        for (bool readyBefore : {true, false}) {
            f_FrameAcquired = acquired;
            f_CalcCheckSum = calcFlag;
            f_ReadCheckSum = readFlag;
            f_FrameRdy = readyBefore;
            iErrorFrame = 3;
            LogCapture log;
            VerifyCheckSum_0(100, sumsAgree ? 100 : 101, 100);
            QCOMPARE(f_FrameRdy, readyBefore);
            QCOMPARE(f_FrameAcquired, acquired);
            QCOMPARE(f_CalcCheckSum, calcFlag);
            QCOMPARE(f_ReadCheckSum, readFlag);
            QCOMPARE(iErrorFrame, 3);
            QCOMPARE(log.lines(), QStringList());
        }
    }
}

void TestReceiver::badFrameCountStopsAtIntMax()
{
    iErrorFrame = INT_MAX - 1;
    for (int round = 0; round < 3; ++round) {
        f_FrameAcquired = f_CalcCheckSum = f_ReadCheckSum = true;
        f_FrameRdy = true;
        LogCapture log;
        VerifyCheckSum_0(1, 2, 1);
        QCOMPARE(iErrorFrame, INT_MAX);
        QVERIFY(!f_FrameRdy);
        QVERIFY(!f_CalcCheckSum && !f_ReadCheckSum);
        QCOMPARE(log.lines(), QStringList() << MismatchLine(1, 1, 2));
    }
}

void TestReceiver::lostStartMarker()
{
    MainWindow &w = *gWindow;
    const QByteArray previous = RandomRaw(61);
    // The lost frame's checksum bytes after the first are read as control
    // bytes: keep them clear of the marker and acknowledgement values.
    unsigned int seed = 62;
    QByteArray lost = RandomRaw(seed);
    while (!GroupsAvoid(SumOf(lost), {STX, ETX, ACK}, 1))
        lost = RandomRaw(++seed);
    const QByteArray next = RandomRaw(63);

    LogCapture log;
    Receiver rx(w);
    rx.feed(WireFrame(previous), 8192);
    QVERIFY(f_FrameRdy);
    const bool switchAfterPrevious = f_SwitchImage;
    unsigned char *target = FillBuffer(w);

    // A full frame leaves the index at 0, so the lost frame is stored from
    // the start of the other buffer; its running sum still holds the
    // previous frame's, and the checksum count stayed at the last byte.
    rx.feed(WireFrame(lost).mid(1), 8192);
    QCOMPARE(f_SwitchImage, !switchAfterPrevious);
    QCOMPARE(Contents(target), lost);
    QCOMPARE(w.uCksumCalc, SumOf(previous) + SumOf(lost));
    QCOMPARE(w.uCksumBuffer, SumOf(lost));
    QCOMPARE(w.uCksumRead, SumOf(previous) + ((SumOf(lost) & 0x7Fu) << 28));
    QVERIFY(!f_FrameRdy);
    QCOMPARE(iErrorFrame, 0);
    QCOMPARE(log.lines(), QStringList() << MismatchLine(SumOf(previous) + SumOf(lost),
                                                        SumOf(lost), w.uCksumRead));

    // The next start marker brings the receiver back in step.
    rx.feed(WireFrame(next), 8192);
    QCOMPARE(f_SwitchImage, switchAfterPrevious);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(ConsumerBuffer(w)), next);
    QCOMPARE(iErrorFrame, 0);
    QVERIFY(!f_Acknowledge);
}

void TestReceiver::lostEndMarker_data()
{
    QTest::addColumn<int>("checksumHighBits");
    QTest::newRow("checksum bytes read as control bytes") << 0x00;
    QTest::newRow("checksum bytes read as data") << 0x80;
}

void TestReceiver::lostEndMarker()
{
    QFETCH(int, checksumHighBits);
    MainWindow &w = *gWindow;
    unsigned int seed = 71;
    QByteArray lost = RandomRaw(seed);
    while (!GroupsAvoid(SumOf(lost), {STX, ETX, ACK}))
        lost = RandomRaw(++seed);
    const QByteArray good = RandomRaw(72);
    QByteArray lostWire = WireFrame(lost);
    lostWire.remove(1 + RAW_FRAME_SIZE, 1);
    lostWire.replace(1 + RAW_FRAME_SIZE, 5,
                     ChecksumBytes(SumOf(lost), static_cast<unsigned char>(checksumHighBits)));
    QCOMPARE(int(lostWire.size()), 13446);

    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);
    LogCapture log;
    Receiver rx(w);
    rx.feed(lostWire, 8192);
    QCOMPARE(f_SwitchImage, switchBefore);
    QVERIFY(!f_FrameAcquired);
    QVERIFY(!f_ReadCheckSum);
    QVERIFY(!f_CalcCheckSum);
    QCOMPARE(w.uCksumCalc, kSentinelSum);
    QCOMPARE(w.uCksumRead, kSentinelSum);

    // The next frame restarts in the same buffer and is the only one completed.
    rx.feed(WireFrame(good), 8192);
    QCOMPARE(f_SwitchImage, !switchBefore);
    QCOMPARE(ConsumerBuffer(w), target);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(target), good);
    QCOMPARE(iErrorFrame, -1);
    QCOMPARE(log.lines(), QStringList());
}

void TestReceiver::extraDataByteWraps_data()
{
    QTest::addColumn<int>("firstByte");
    QTest::addColumn<bool>("sensorCountedIt");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("sensor counted it") << 0x21 << true << false;
    QTest::newRow("added on the way") << 0x21 << false << false;
    // The byte overwritten at index 0 was 0: the three sums agree after all.
    QTest::newRow("overwritten byte 0") << 0x00 << true << true;
}

void TestReceiver::extraDataByteWraps()
{
    QFETCH(int, firstByte);
    QFETCH(bool, sensorCountedIt);
    QFETCH(bool, accepted);
    MainWindow &w = *gWindow;
    QByteArray raw = RandomRaw(81);
    raw[0] = static_cast<char>(firstByte);
    const char extra = 0x55;
    QByteArray longer = raw + QByteArray(1, extra);
    const unsigned int sent = sensorCountedIt ? SumOf(longer) : SumOf(raw);
    unsigned char *target = FillBuffer(w);

    LogCapture log;
    Receiver rx(w);
    rx.feed(WireFrameWith(longer, ChecksumBytes(sent)), 8192);
    QCOMPARE(int(target[0]), int(extra));
    QCOMPARE(Contents(target).mid(1), raw.mid(1));
    QCOMPARE(w.uCksumCalc, SumOf(longer));
    QCOMPARE(w.uCksumRead, sent);
    QCOMPARE(w.uCksumBuffer, SumOf(longer) - unsigned(firstByte));
    QCOMPARE(f_FrameRdy, accepted);
    QCOMPARE(iErrorFrame, accepted ? -1 : 0);
    QCOMPARE(CountMismatchLines(log.lines()), accepted ? 0 : 1);

    const QByteArray next = RandomRaw(82);
    rx.feed(WireFrame(next), 8192);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(ConsumerBuffer(w)), next);
}

void TestReceiver::missingDataByte()
{
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(91).left(RAW_FRAME_SIZE - 1);
    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);
    LogCapture log;
    Receiver rx(w);
    rx.feed(WireFrameWith(raw, ChecksumBytes(SumOf(raw))), 8192);
    QCOMPARE(f_SwitchImage, !switchBefore);
    // The last byte is what the buffer held before: the buffer sum shows it.
    QCOMPARE(int(target[RAW_FRAME_SIZE - 1]), int(kSentinelByte));
    QCOMPARE(w.uCksumCalc, SumOf(raw));
    QCOMPARE(w.uCksumRead, SumOf(raw));
    QCOMPARE(w.uCksumBuffer, SumOf(raw) + kSentinelByte);
    QVERIFY(!f_FrameRdy);
    QCOMPARE(iErrorFrame, 0);
    QCOMPARE(log.lines(), QStringList() << MismatchLine(SumOf(raw), SumOf(raw) + kSentinelByte,
                                                        SumOf(raw)));
}

void TestReceiver::severalShortFramesInOneStep()
{
    MainWindow &w = *gWindow;
    const QByteArray one = RandomRaw(101).left(10), two = RandomRaw(102).left(10),
                     three = RandomRaw(103).left(10);
    const bool switchBefore = f_SwitchImage;
    unsigned char *first = FillBuffer(w);
    unsigned char *second = first == w.pRawFrame1 ? w.pRawFrame2 : w.pRawFrame1;

    Receiver rx(w);
    rx.step(WireFrameWith(one, ChecksumBytes(SumOf(one))) + WireFrameWith(two, ChecksumBytes(SumOf(two)))
            + WireFrameWith(three, ChecksumBytes(SumOf(three))));
    QVERIFY(f_FrameAcquired);
    QCOMPARE(f_SwitchImage, !switchBefore); // toggled three times
    QCOMPARE(Contents(first, 11), three + QByteArray(1, static_cast<char>(kSentinelByte)));
    QCOMPARE(Contents(second, 11), two + QByteArray(1, static_cast<char>(kSentinelByte)));
    QCOMPARE(w.uCksumCalc, SumOf(three));
    QCOMPARE(w.uCksumRead, SumOf(three));
    QCOMPARE(ConsumerBuffer(w), first);
    QCOMPARE(w.uCksumBuffer, SumOfBuffer(first));
    QVERIFY(f_CalcCheckSum);
}

// The buffer sum is taken after every step with data while f_FrameAcquired
// is set (the loop clears it each cycle), over the consumers' buffer.
void TestReceiver::bufferSumFollowsFrameAcquired()
{
    MainWindow &w = *gWindow;
    unsigned char *consumers = ConsumerBuffer(w);
    unsigned char *filling = FillBuffer(w);
    for (int i = 0; i < RAW_FRAME_SIZE; ++i) {
        consumers[i] = static_cast<unsigned char>(i % 97);
        filling[i] = static_cast<unsigned char>(i % 89);
    }
    unsigned int expected = 0;
    for (int i = 0; i < RAW_FRAME_SIZE; ++i)
        expected += static_cast<unsigned int>(i % 97);

    Receiver rx(w);
    rx.step(Bytes({0x01}));
    QCOMPARE(w.uCksumBuffer, kSentinelSum);
    QVERIFY(!f_CalcCheckSum);

    f_FrameAcquired = true; // completed earlier, not yet cleared by the loop
    rx.emptySteps(1);
    QCOMPARE(w.uCksumBuffer, kSentinelSum); // an empty step stops before the sum
    rx.step(Bytes({0x01}));
    QCOMPARE(w.uCksumBuffer, expected);
    QVERIFY(f_CalcCheckSum);
    QVERIFY(!f_ReadCheckSum);
}

void TestReceiver::stopMidFrameAndResume_data()
{
    QTest::addColumn<int>("stopAt");
    QTest::newRow("after start marker") << 1;
    QTest::newRow("in the data") << 6000;
    QTest::newRow("after the data") << 13441;
    QTest::newRow("after end marker") << 13442;
    QTest::newRow("after two checksum bytes") << 13444;
    QTest::newRow("after four checksum bytes") << 13446;
}

void TestReceiver::stopMidFrameAndResume()
{
    QFETCH(int, stopAt);
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(110 + stopAt);
    const QByteArray wire = WireFrame(raw);
    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);

    LogCapture log;
    Receiver rx(w);
    rx.feed(wire.left(stopAt), 4096);
    // Stopped: the loop is not turning, or turns with nothing to read.
    for (int i = 0; i < 1000; ++i) {
        rx.emptySteps(1);
        EndOfCycle(w);
    }
    QVERIFY(!f_FrameRdy);
    QCOMPARE(f_SwitchImage, switchBefore);
    rx.feed(wire.mid(stopAt), 4096);
    QCOMPARE(f_SwitchImage, !switchBefore);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(target), raw);
    QCOMPARE(log.lines(), QStringList());
}

void TestReceiver::stopMidFrameSensorStartsAgain_data()
{
    QTest::addColumn<int>("stopAt");
    QTest::newRow("after start marker") << 1;
    QTest::newRow("in the data") << 7001;
    QTest::newRow("after the data") << 13441;
}

void TestReceiver::stopMidFrameSensorStartsAgain()
{
    QFETCH(int, stopAt);
    MainWindow &w = *gWindow;
    const QByteArray cut = RandomRaw(120);
    const QByteArray fresh = RandomRaw(121);
    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);

    LogCapture log;
    Receiver rx(w);
    rx.feed(WireFrame(cut).left(stopAt), 4096);
    rx.emptySteps(100);
    rx.feed(WireFrame(fresh), 4096);
    QCOMPARE(f_SwitchImage, !switchBefore);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(target), fresh);
    QCOMPARE(iErrorFrame, -1);
    QCOMPARE(log.lines(), QStringList());
}

void TestReceiver::timeoutLoggedOncePerSilence()
{
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(130);
    const QByteArray wire = WireFrame(raw);
    const QString timeout = QStringLiteral("Timeout reading");

    LogCapture log;
    Receiver rx(w);
    rx.step(wire.left(6000));
    rx.emptySteps(999999);
    QCOMPARE(log.count(timeout), 0);
    rx.emptySteps(1);
    QCOMPARE(log.lines(), QStringList() << timeout);
    rx.emptySteps(1000000);
    QCOMPARE(log.lines(), QStringList() << timeout);

    // Data ends the silence. Failed reads and end of file count like empty ones.
    rx.step(wire.mid(6000, 6000));
    int ended[2];
    QCOMPARE(pipe(ended), 0);
    close(ended[1]);
    int invalid = -1;
    for (int i = 0; i < 999999; ++i) {
        switch (i % 3) {
        case 0:
            rx.emptySteps(1);
            break;
        case 1:
            ReadDataOnSerialPort(&invalid, w.pRawFrame1, w.pRawFrame2, &w.uCksumRead,
                                 &w.uCksumCalc, &w.uCksumBuffer);
            break;
        default:
            ReadDataOnSerialPort(&ended[0], w.pRawFrame1, w.pRawFrame2, &w.uCksumRead,
                                 &w.uCksumCalc, &w.uCksumBuffer);
            break;
        }
    }
    QCOMPARE(log.count(timeout), 1);
    ReadDataOnSerialPort(&ended[0], w.pRawFrame1, w.pRawFrame2, &w.uCksumRead, &w.uCksumCalc,
                         &w.uCksumBuffer);
    close(ended[0]);
    QCOMPARE(log.count(timeout), 2);

    // The frame in progress went through both silences untouched.
    QVERIFY(!f_FrameAcquired);
    rx.step(wire.mid(12000));
    QVERIFY(f_FrameAcquired);
    EndOfCycle(w);
    QVERIFY(f_FrameRdy);
    QCOMPARE(log.lines(), QStringList() << timeout << timeout);
}

void TestReceiver::notConnectedStepDoesNothing()
{
    MainWindow &w = *gWindow;
    const QByteArray raw = RandomRaw(140);
    const QByteArray wire = WireFrame(raw);

    LogCapture log;
    Receiver rx(w);
    rx.step(wire.left(5000));

    // Descriptor 0 holds bytes that would spoil the frame if they were read.
    // (Non-blocking, so that a receiver that did read it cannot hang the test.)
    Pipe stdinLine;
    const QByteArray spoiler = Bytes({STX, 0xFF, 0xFF, ETX, 0x81, 0x81, 0x81, 0x81, 0x81, ACK});
    QCOMPARE(write(stdinLine.writeFd(), spoiler.constData(), spoiler.size()),
             ssize_t(spoiler.size()));
    {
        OnStandardInput onZero(stdinLine.readFd());
        const QByteArray frame1 = Contents(w.pRawFrame1), frame2 = Contents(w.pRawFrame2);
        const bool switchBefore = f_SwitchImage;
        int fd = 0;
        for (int i = 0; i < 1000; ++i)
            ReadDataOnSerialPort(&fd, w.pRawFrame1, w.pRawFrame2, &w.uCksumRead, &w.uCksumCalc,
                                 &w.uCksumBuffer);
        QCOMPARE(fd, 0);
        int waiting = -1;
        QCOMPARE(ioctl(0, FIONREAD, &waiting), 0);
        QCOMPARE(waiting, int(spoiler.size()));
        QCOMPARE(Contents(w.pRawFrame1), frame1);
        QCOMPARE(Contents(w.pRawFrame2), frame2);
        QCOMPARE(f_SwitchImage, switchBefore);
        QVERIFY(!f_FrameAcquired && !f_ReadCheckSum && !f_CalcCheckSum && !f_Acknowledge);
        QCOMPARE(w.uCksumCalc, kSentinelSum);
        QCOMPARE(w.uCksumRead, kSentinelSum);
        QCOMPARE(w.uCksumBuffer, kSentinelSum);

        // Nor are such steps counted as silence.
        rx.emptySteps(999999);
        for (int i = 0; i < 1000; ++i)
            ReadDataOnSerialPort(&fd, w.pRawFrame1, w.pRawFrame2, &w.uCksumRead, &w.uCksumCalc,
                                 &w.uCksumBuffer);
        QCOMPARE(log.lines(), QStringList());
        rx.emptySteps(1);
        QCOMPARE(log.lines(), QStringList() << "Timeout reading");
    }

    rx.feed(wire.mid(5000), 8192);
    QVERIFY(f_FrameRdy);
    QCOMPARE(Contents(ConsumerBuffer(w)), raw);
}

void TestReceiver::workerReadsThroughMainWindowPointer()
{
    MainWindow &first = *gWindow;
    const QByteArray raw = RandomRaw(150);
    const QByteArray wire = WireFrame(raw);
    Pipe firstLine;
    QCOMPARE(write(firstLine.writeFd(), "\x02\x81\x82", 3), ssize_t(3));
    first.fdSerial = firstLine.readFd();

    {
        // The worker takes whatever window pMainWindow names.
        std::unique_ptr<MainWindow> second(new MainWindow);
        QCOMPARE(pMainWindow, second.get());
        MainWindow &w = *second;
        memset(w.pRawFrame1, kSentinelByte, RAW_FRAME_SIZE);
        memset(w.pRawFrame2, kSentinelByte, RAW_FRAME_SIZE);
        w.uCksumCalc = w.uCksumRead = w.uCksumBuffer = kSentinelSum;
        Pipe line;
        w.fdSerial = line.readFd();
        const bool switchBefore = f_SwitchImage;
        unsigned char *target = FillBuffer(w);

        for (qsizetype at = 0; at < wire.size(); at += 4000) {
            const QByteArray piece = wire.mid(at, 4000);
            QCOMPARE(write(line.writeFd(), piece.constData(), piece.size()),
                     ssize_t(piece.size()));
            RunWorkerOnce();
            QCOMPARE(f_FrameAcquired, at + 4000 >= wire.size());
        }
        QCOMPARE(f_SwitchImage, !switchBefore);
        QCOMPARE(w.uCksumCalc, SumOf(raw));
        QCOMPARE(w.uCksumRead, SumOf(raw));
        QCOMPARE(w.uCksumBuffer, SumOf(raw));
        QCOMPARE(Contents(target), raw);
        VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
        QVERIFY(f_FrameRdy);
        f_FrameAcquired = false;

        // With no port the worker does nothing: descriptor 0 is not read either.
        w.fdSerial = 0;
        const QByteArray unread = wire.left(4000);
        QCOMPARE(write(line.writeFd(), unread.constData(), unread.size()), ssize_t(unread.size()));
        OnStandardInput onZero(line.readFd());
        RunWorkerOnce();
        int waiting = 0;
        QCOMPARE(ioctl(line.readFd(), FIONREAD, &waiting), 0);
        QCOMPARE(waiting, int(unread.size()));
        QVERIFY(!f_FrameAcquired);
    }
    first.GetPointerToInstance();
    QCOMPARE(pMainWindow, &first);

    // The other window was not touched.
    int waiting = 0;
    QCOMPARE(ioctl(firstLine.readFd(), FIONREAD, &waiting), 0);
    QCOMPARE(waiting, 3);
    QCOMPARE(first.uCksumCalc, kSentinelSum);
    QCOMPARE(Contents(first.pRawFrame1), QByteArray(RAW_FRAME_SIZE, static_cast<char>(kSentinelByte)));
    QCOMPARE(Contents(first.pRawFrame2), QByteArray(RAW_FRAME_SIZE, static_cast<char>(kSentinelByte)));
    first.fdSerial = 0;
}

void TestReceiver::workerReceivesFrameOverConfiguredPort()
{
    MainWindow &w = *gWindow;
    Pty pty;
    QVERIFY(pty.isOpen());
    // Left behind by a terminal program: translation, stripping, flow control.
    struct termios tty;
    QCOMPARE(tcgetattr(pty.slaveFd(), &tty), 0);
    tty.c_iflag |= ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | BRKINT | IXON | IXOFF;
    tty.c_lflag |= ICANON | ECHO | ISIG;
    QCOMPARE(tcsetattr(pty.slaveFd(), TCSANOW, &tty), 0);

    // The data hold CR, LF, XON, XOFF and 0x7F groups; the checksum groups are
    // CR, XON and XOFF.
    const unsigned int sum = 0x0D + (0x11u << 7) + (0x13u << 14);
    static const int pattern[] = {0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x00, 0x03, 0x1C};
    const QByteArray raw = RawWithSum(sum, [](int i) { return pattern[i % 8]; });
    QCOMPARE(SumOf(raw), sum);
    const QByteArray wire = WireFrame(raw);
    QCOMPARE(wire.right(5), Bytes({0x0D, 0x11, 0x13, 0x00, 0x00}));

    QByteArray path = pty.slavePath();
    QCOMPARE(ConnectToSerial_0(&w.fdSerial, path.data()), int(SERIAL_CONNECTED));
    const int port = w.fdSerial;
    const bool switchBefore = f_SwitchImage;
    unsigned char *target = FillBuffer(w);

    LogCapture log;
    qsizetype sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (!f_FrameAcquired && clock.elapsed() < 20000) {
        if (sent < wire.size()) {
            const ssize_t n = write(pty.masterFd(), wire.constData() + sent,
                                    std::min<qsizetype>(1024, wire.size() - sent));
            if (n > 0)
                sent += n;
        }
        RunWorkerOnce();
        if (!f_FrameAcquired)
            usleep(1000);
    }
    QVERIFY(f_FrameAcquired);
    VerifyCheckSum_0(w.uCksumCalc, w.uCksumRead, w.uCksumBuffer);
    QVERIFY(f_FrameRdy);
    QCOMPARE(f_SwitchImage, !switchBefore);
    QCOMPARE(w.uCksumRead, sum);
    QCOMPARE(Contents(target), raw);
    QCOMPARE(log.lines(), QStringList());
    CloseSerial(&w.fdSerial);
    QCOMPARE(w.fdSerial, port);
    w.fdSerial = 0;
}

void TestReceiver::randomStream_data()
{
    QTest::addColumn<uint>("seed");
    QTest::addColumn<bool>("guarded");
    QTest::newRow("window buffers") << 20240601u << false;
    QTest::newRow("guarded buffers") << 777u << true;
}

void TestReceiver::randomStream()
{
    QFETCH(uint, seed);
    QFETCH(bool, guarded);
    MainWindow &w = *gWindow;
    std::mt19937 gen(seed);
    const QByteArray stream = MixedStream(gen, 4 * 1024 * 1024);

    // Buffers with guard zones either side, or the window's own.
    const int guard = 256;
    std::vector<unsigned char> block1(RAW_FRAME_SIZE + 2 * guard, 0x5A);
    std::vector<unsigned char> block2(RAW_FRAME_SIZE + 2 * guard, 0xA5);
    unsigned char *frame1 = guarded ? block1.data() + guard : w.pRawFrame1;
    unsigned char *frame2 = guarded ? block2.data() + guard : w.pRawFrame2;

    LogCapture log;
    LockstepFeed feed(w, gen, frame1, frame2);
    const ReferenceReceiver &ref = feed.ref;
    QVERIFY2(feed.deliver(stream),
             qPrintable(QString("receiver and reference disagree at step %1").arg(feed.steps)));
    QVERIFY(ref.completions > 50);
    QVERIFY(ref.mismatches > 10);

    // Good frames after the garbage: the first may be taken apart by a
    // checksum in progress, the ones after it verify.
    for (int k = 0; k < 3; ++k) {
        QByteArray raw = RandomRaw(gen());
        while (!GroupsAvoid(SumOf(raw), {STX, ETX, ACK}))
            raw = RandomRaw(gen());
        const int completionsBefore = ref.completions;
        const int mismatchesBefore = ref.mismatches;
        QVERIFY(feed.deliver(WireFrame(raw)));
        if (k == 0)
            continue;
        QCOMPARE(ref.completions, completionsBefore + 1);
        QCOMPARE(ref.mismatches, mismatchesBefore);
        QVERIFY(f_FrameRdy);
        QCOMPARE(Contents(f_SwitchImage ? frame1 : frame2), raw);
    }

    const QStringList lines = log.lines();
    QCOMPARE(CountMismatchLines(lines), ref.mismatches);
    QCOMPARE(int(lines.count("Acknowledge received")), ref.acknowledgements);
    if (guarded) {
        for (int i = 0; i < guard; ++i) {
            QCOMPARE(int(block1[i]), 0x5A);
            QCOMPARE(int(block1[guard + RAW_FRAME_SIZE + i]), 0x5A);
            QCOMPARE(int(block2[i]), 0xA5);
            QCOMPARE(int(block2[guard + RAW_FRAME_SIZE + i]), 0xA5);
        }
    }
}

QTEST_MAIN(TestReceiver)
#include "tst_receiver.moc"
