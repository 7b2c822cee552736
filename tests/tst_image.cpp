// The image pipeline: the frame buffers, the reference capture, the
// conversion of 14-bit samples to grey levels with and without the reference
// correction, the display of the picture enlarged six times, and whole runs of
// the acquisition loop against frames sent through a pseudo-terminal.

#include "GUI.h"
#include "Threads.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <pthread.h>
#include <vector>

using namespace testsupport;

namespace {

using Grey = std::function<int(int)>; // grey level of pixel i

void Store(unsigned char *buffer, const QByteArray &raw)
{
    memcpy(buffer, raw.constData(), RAW_FRAME_SIZE);
}

bool SameBytes(const unsigned char *buffer, const QByteArray &raw)
{
    return memcmp(buffer, raw.constData(), RAW_FRAME_SIZE) == 0;
}

// The picture (504 x 480) shows pixel i of the frame as a 6 x 6 block of the
// grey grey(i). Returns an empty string when it does, else the first mismatch.
QString PictureMismatch(const QImage &shown, const Grey &grey)
{
    if (shown.size() != QSize(504, 480))
        return QStringLiteral("picture is %1 x %2").arg(shown.width()).arg(shown.height());
    const QImage rgb = shown.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            const int i = (y / 6) * FRAME_WIDTH + x / 6;
            const int g = grey(i);
            if ((line[x] & 0xFFFFFF) != (qRgb(g, g, g) & 0xFFFFFF))
                return QStringLiteral("screen pixel (%1,%2), frame pixel %3: got (%4,%5,%6), expected grey %7")
                    .arg(x).arg(y).arg(i)
                    .arg(qRed(line[x])).arg(qGreen(line[x])).arg(qBlue(line[x])).arg(g);
        }
    }
    return QString();
}

// The first pixel of the 84 x 80 picture whose grey is not grey(i), or an
// empty string.
QString ImageMismatch(const unsigned char *image, const Grey &grey)
{
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        if (image[i] != grey(i))
            return QStringLiteral("pixel %1 (row %2, column %3): %4, expected %5")
                .arg(i).arg(i / FRAME_WIDTH).arg(i % FRAME_WIDTH).arg(image[i]).arg(grey(i));
    }
    return QString();
}

// The first byte of a block that is not `value`, or an empty string.
QString BlockMismatch(const unsigned char *block, int size, int value)
{
    for (int i = 0; i < size; ++i) {
        if (block[i] != value)
            return QStringLiteral("byte %1 is %2, expected %3").arg(i).arg(block[i]).arg(value);
    }
    return QString();
}

#define CHECK_IMAGE(image, grey)                                                                   \
    do {                                                                                           \
        const QString mismatch_ = ImageMismatch((image), (grey));                                  \
        QVERIFY2(mismatch_.isEmpty(), qPrintable(mismatch_));                                      \
    } while (false)

#define CHECK_BLOCK(block, size, value)                                                            \
    do {                                                                                           \
        const QString mismatch_ = BlockMismatch((block), (size), (value));                         \
        QVERIFY2(mismatch_.isEmpty(), qPrintable(mismatch_));                                      \
    } while (false)

// What the operator sees in the picture area: the label as drawn.
QImage Drawn(QLabel *label)
{
    return label->grab().toImage();
}

// The top 8 of the 14 bits: a sample of 64 x g to 64 x g + 63 shows grey g.
Grey PlainOf(const QByteArray &raw)
{
    return [raw](int i) { return DecodeSample(reinterpret_cast<const unsigned char *>(raw.constData()), i) / 64; };
}

Grey Uniform(int g)
{
    return [g](int) { return g; };
}

// A descriptor that is open and not 0, for the steps that need a port.
class OpenPort
{
public:
    int fd() const { return line.readFd(); }

private:
    Pipe line;
};

// A frame with a horizontal ramp, a vertical ramp and a per-frame shift.
QByteArray MovingFrame(int k)
{
    return RawFrame([k](int i) {
        return ((i % FRAME_WIDTH) * 190 + (i / FRAME_WIDTH) * 3 + k * 1531) % 16384;
    });
}

// A fixed per-pixel pattern, as the sensor's fixed-pattern noise, plus a
// flat scene of `scene`.
QByteArray PatternFrame(int scene)
{
    return RawFrame([scene](int i) { return 2000 + (i * 7919) % 3001 + scene; });
}

} // namespace

class TestImage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Buffers
    void constructionAllocatesZeroedBuffersAndLogs();

    // Conversion
    void plainConversion_data();
    void plainConversion();
    void plainConversionOfEveryPixel();
    void correctedConversion_data();
    void correctedConversion();
    void correctedConversionOfEveryPixel();
    void newestFrameSelection_data();
    void newestFrameSelection();
    void conversionNeedsAllConditions_data();
    void conversionNeedsAllConditions();
    void referenceCapture_data();
    void referenceCapture();
    void workerEntriesActOnTheWindow();
    void applyNucCheckBox_data();
    void applyNucCheckBox();
    void applyNucSlot_data();
    void applyNucSlot();
    void takeReferenceButton();

    // Display
    void displaySize();
    void displayShowsEveryGreyAsBlocks();
    void displayUniform_data();
    void displayUniform();
    void displayPixel85Block();
    void logoAfterPictureLeavesNoTrace();
    void displayOncePerFrame();
    void displayNeedsAllConditions_data();
    void displayNeedsAllConditions();

    // Runs of the acquisition loop
    void runReferenceWaitsForVerifiedFrame();
    void runReferenceRequestedAsFrameCompletes();
    void runPictureFollowsFramesAndRate();
    void runCorrectionFlattensFixedPattern();

private:
    // Puts a frame where the conversion reads it and makes it convertible.
    void Ready(const QByteArray &raw, bool switchImage = false);

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<OpenPort> port;
};

void TestImage::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
}

void TestImage::init()
{
    window.reset(new MainWindow);
    port.reset(new OpenPort);
    ResetReceiver(*window);
    f_FrameRdy = false;
    f_SwitchImage = false;
    f_FrameAcquired = false;
}

void TestImage::cleanup()
{
    EndWindow(window, port->fd());
    port.reset();
    f_FrameRdy = false;
    f_SwitchImage = false;
}

void TestImage::Ready(const QByteArray &raw, bool switchImage)
{
    f_SwitchImage = switchImage;
    Store(switchImage ? window->pRawFrame1 : window->pRawFrame2, raw);
    // The other buffer holds a different frame.
    Store(switchImage ? window->pRawFrame2 : window->pRawFrame1, RawFrame([](int i) { return 16383 - i; }));
    f_FrameRdy = true;
    window->fdSerial = port->fd();
    window->bTakeReference = false;
}

// ---------------------------------------------------------------- buffers

namespace {
struct TypedLog
{
    static QList<QPair<QtMsgType, QString>> &lines()
    {
        static QList<QPair<QtMsgType, QString>> all;
        return all;
    }
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        lines().append(qMakePair(type, text));
    }
};
} // namespace

void TestImage::constructionAllocatesZeroedBuffersAndLogs()
{
    // Leave dirty blocks of the buffers' sizes behind, so that buffers that
    // were not zeroed would likely show it.
    for (int round = 0; round < 4; ++round) {
        std::unique_ptr<unsigned char[]> a(new unsigned char[RAW_FRAME_SIZE]);
        std::unique_ptr<unsigned char[]> b(new unsigned char[RAW_FRAME_SIZE]);
        std::unique_ptr<unsigned char[]> c(new unsigned char[FRAME_PIXELS]);
        std::unique_ptr<unsigned char[]> d(new unsigned char[RAW_FRAME_SIZE]);
        memset(a.get(), 0x55, RAW_FRAME_SIZE);
        memset(b.get(), 0x66, RAW_FRAME_SIZE);
        memset(c.get(), 0x77, FRAME_PIXELS);
        memset(d.get(), 0x11, RAW_FRAME_SIZE);
    }

    TypedLog::lines().clear();
    const QtMessageHandler previous = qInstallMessageHandler(&TypedLog::handle);
    std::unique_ptr<MainWindow> w(new MainWindow);
    qInstallMessageHandler(previous);

    int debugLines = 0;
    for (const auto &line : TypedLog::lines()) {
        if (line.second == QLatin1String("Initalisation pointeurs done")) {
            QCOMPARE(line.first, QtDebugMsg);
            ++debugLines;
        }
    }
    QCOMPARE(debugLines, 1);

    struct Block { unsigned char *p; int size; unsigned char fill; };
    const Block blocks[] = {{w->pRawFrame1, RAW_FRAME_SIZE, 0xA1}, {w->pRawFrame2, RAW_FRAME_SIZE, 0xA2},
                            {w->pRefFrame, RAW_FRAME_SIZE, 0xA3}, {w->pImage8, FRAME_PIXELS, 0xA4}};
    for (const Block &b : blocks) {
        QVERIFY(b.p != nullptr);
        CHECK_BLOCK(b.p, b.size, 0);
    }
    // Four separate blocks of full size: filling each leaves the others alone.
    for (const Block &b : blocks)
        memset(b.p, b.fill, b.size);
    for (const Block &b : blocks)
        CHECK_BLOCK(b.p, b.size, b.fill);

    QVERIFY(!w->bApplyNUC);
    QVERIFY(!w->bTakeReference);
    QVERIFY(!w->bImageProcessed);
    QVERIFY(!w->ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(!w->ui->checkBox_ApplyNUC->isChecked());
    QVERIFY(!w->ui->pushButton_TakeFPN->isEnabled());
    QCOMPARE(w->iGain, 1);
    QCOMPARE(w->iOffset, 0);
}

// ---------------------------------------------------------------- conversion

void TestImage::plainConversion_data()
{
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("lower");
    QTest::addColumn<int>("grey");
    QTest::newRow("7F 7F") << 0x7F << 0x7F << 255;
    QTest::newRow("40 00") << 0x40 << 0x00 << 128;
    QTest::newRow("00 40") << 0x00 << 0x40 << 1;
    QTest::newRow("00 3F") << 0x00 << 0x3F << 0;
    QTest::newRow("00 00") << 0x00 << 0x00 << 0;
    QTest::newRow("01 00") << 0x01 << 0x00 << 2;
    QTest::newRow("01 7F") << 0x01 << 0x7F << 3;
    QTest::newRow("7F 3F") << 0x7F << 0x3F << 254;
    QTest::newRow("55 2A") << 0x55 << 0x2A << 170;
}

// Without the correction the reference, the gain and the offset take no part.
void TestImage::plainConversion()
{
    QFETCH(int, upper);
    QFETCH(int, lower);
    QFETCH(int, grey);
    QByteArray raw(RAW_FRAME_SIZE, '\0');
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        raw[2 * i] = static_cast<char>(upper);
        raw[2 * i + 1] = static_cast<char>(lower);
    }
    const int settings[][2] = {{1, 0}, {99, 32767}, {50, -32768}, {7, 12345}};
    for (const auto &gainOffset : settings) {
        for (bool switchImage : {false, true}) {
            Ready(raw, switchImage);
            memset(window->pRefFrame, 0x7F, RAW_FRAME_SIZE);
            memset(window->pImage8, 0x5A, FRAME_PIXELS);
            window->bApplyNUC = false;
            window->iGain = gainOffset[0];
            window->iOffset = gainOffset[1];
            window->bImageProcessed = false;
            window->ProcessImage();
            QVERIFY(window->bImageProcessed);
            QVERIFY(f_FrameRdy); // left for the display to clear
            const QString why = ImageMismatch(window->pImage8, Uniform(grey));
            QVERIFY2(why.isEmpty(), qPrintable(why + QStringLiteral(" with gain %1 offset %2")
                                                         .arg(gainOffset[0]).arg(gainOffset[1])));
        }
    }
}

void TestImage::plainConversionOfEveryPixel()
{
    const QByteArray raw = RawFrame([](int i) { return (i * 2473 + 11) % 16384; });
    Ready(raw);
    window->ProcessImage();
    QVERIFY(window->bImageProcessed);
    CHECK_IMAGE(window->pImage8, [](int i) { return (i * 2473 + 11) % 16384 / 64; });
}

void TestImage::correctedConversion_data()
{
    QTest::addColumn<int>("gain");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("above"); // sample minus reference, every pixel
    QTest::addColumn<int>("grey");

    QTest::newRow("equal, gain 1 offset 0") << 1 << 0 << 0 << 0;
    QTest::newRow("equal, gain 1 offset 256") << 1 << 256 << 0 << 1;
    QTest::newRow("equal, gain 1 offset 255") << 1 << 255 << 0 << 0;
    QTest::newRow("equal, gain 1 offset 767") << 1 << 767 << 0 << 2;
    QTest::newRow("equal, gain 99 offset 32767") << 99 << 32767 << 0 << 255;
    QTest::newRow("equal, gain 2 offset 32767") << 2 << 32767 << 0 << 255;
    QTest::newRow("equal, gain 1 offset 32767") << 1 << 32767 << 0 << 127;
    QTest::newRow("equal, gain 99 offset -32768") << 99 << -32768 << 0 << 0;
    QTest::newRow("equal, gain 2 offset -1") << 2 << -1 << 0 << 0;
    QTest::newRow("64 above") << 1 << 0 << 64 << 1;
    QTest::newRow("16 above") << 1 << 0 << 16 << 0;
    QTest::newRow("63 above") << 1 << 0 << 63 << 0;
    QTest::newRow("1 below") << 1 << 0 << -1 << 0;
    QTest::newRow("1 below, offset 260") << 1 << 260 << -1 << 1;
    QTest::newRow("8000 below") << 1 << 0 << -8000 << 0;
    QTest::newRow("16383 below, gain 99") << 99 << 0 << -16383 << 0;
    QTest::newRow("gain 16, 100 above") << 16 << 0 << 100 << 25;
    QTest::newRow("gain 3, 21 above") << 3 << 0 << 21 << 0;
    QTest::newRow("gain 3, 22 above") << 3 << 0 << 22 << 1;
    QTest::newRow("gain 16, 100 above, offset -400") << 16 << -400 << 100 << 0;
    QTest::newRow("gain 16, 100 above, offset -384") << 16 << -384 << 100 << 1;
    QTest::newRow("16320 above") << 1 << 0 << 16320 << 255;
    QTest::newRow("16319 above") << 1 << 0 << 16319 << 254;
    QTest::newRow("16383 above") << 1 << 0 << 16383 << 255;
    QTest::newRow("gain 2, 8192 above") << 2 << 0 << 8192 << 255;
    QTest::newRow("gain 99, 1000 above, offset -4000") << 99 << -4000 << 1000 << 0;
    QTest::newRow("gain 99, 1000 above, offset -3998") << 99 << -3998 << 1000 << 0;
    QTest::newRow("gain 99, 1000 above, offset -3990") << 99 << -3990 << 1000 << 3;
}

// Every pixel of the frame lies `above` above its own reference sample; the
// reference samples differ from pixel to pixel.
void TestImage::correctedConversion()
{
    QFETCH(int, gain);
    QFETCH(int, offset);
    QFETCH(int, above);
    QFETCH(int, grey);
    const int low = qMax(0, -above);
    const int high = qMin(16383, 16383 - above);
    const auto reference = [low, high](int i) { return low + (i * 7919) % (high - low + 1); };
    const QByteArray ref = RawFrame(reference);
    const QByteArray raw = RawFrame([&](int i) { return reference(i) + above; });

    for (bool switchImage : {false, true}) {
        Ready(raw, switchImage);
        Store(window->pRefFrame, ref);
        memset(window->pImage8, 0x5A, FRAME_PIXELS);
        window->bApplyNUC = true;
        window->iGain = gain;
        window->iOffset = offset;
        window->bImageProcessed = false;
        window->ProcessImage();
        QVERIFY(window->bImageProcessed);
        QVERIFY(f_FrameRdy);
        CHECK_IMAGE(window->pImage8, Uniform(grey));
        QVERIFY(SameBytes(window->pRefFrame, ref)); // the reference is only read
    }
}

// Differences that vary from pixel to pixel, against the same rule written
// as a floor division: grey = clamp(floor(gain x (4 x difference + offset) / 256)).
void TestImage::correctedConversionOfEveryPixel()
{
    const auto reference = [](int i) { return 3000 + (i * 131) % 9000; };
    const auto sample = [](int i) { return (i * 2473 + 11) % 16384; };
    const int settings[][2] = {{1, 0}, {7, -1000}, {99, 32767}, {3, -32768}, {40, 513}};
    Store(window->pRefFrame, RawFrame(reference));
    for (const auto &gainOffset : settings) {
        Ready(RawFrame(sample));
        window->bApplyNUC = true;
        window->iGain = gainOffset[0];
        window->iOffset = gainOffset[1];
        window->ProcessImage();
        const int gain = gainOffset[0];
        const int offset = gainOffset[1];
        const QString why = ImageMismatch(window->pImage8, [&](int i) {
            const double exact = gain * (4.0 * (sample(i) - reference(i)) + offset) / 256.0;
            return static_cast<int>(qBound(0.0, std::floor(exact), 255.0));
        });
        QVERIFY2(why.isEmpty(), qPrintable(why + QStringLiteral(" with gain %1 offset %2").arg(gain).arg(offset)));
    }
}

void TestImage::newestFrameSelection_data()
{
    QTest::addColumn<bool>("switchImage");
    QTest::newRow("f_SwitchImage set: pRawFrame1") << true;
    QTest::newRow("f_SwitchImage clear: pRawFrame2") << false;
}

// The reference copy and the conversion both take the newest frame.
void TestImage::newestFrameSelection()
{
    QFETCH(bool, switchImage);
    const QByteArray one = RawFrame([](int i) { return 64 * 10 + i % 64; });  // shows 10
    const QByteArray two = RawFrame([](int i) { return 64 * 200 + i % 64; }); // shows 200
    Store(window->pRawFrame1, one);
    Store(window->pRawFrame2, two);
    const QByteArray &newest = switchImage ? one : two;
    f_SwitchImage = switchImage;
    f_FrameRdy = true;
    window->fdSerial = port->fd();

    window->bTakeReference = true;
    window->TakeReferenceImage();
    QVERIFY(!window->bTakeReference);
    QVERIFY(SameBytes(window->pRefFrame, newest));

    window->ProcessImage();
    QVERIFY(window->bImageProcessed);
    CHECK_IMAGE(window->pImage8, Uniform(switchImage ? 10 : 200));

    // Against itself the newest frame is flat black; the other one is not.
    window->bApplyNUC = true;
    window->ProcessImage();
    CHECK_IMAGE(window->pImage8, Uniform(0));
    Store(window->pRefFrame, switchImage ? two : one);
    window->ProcessImage();
    CHECK_IMAGE(window->pImage8, Uniform(switchImage ? 0 : 190)); // 4 x 12160 / 256
}

void TestImage::conversionNeedsAllConditions_data()
{
    QTest::addColumn<bool>("frameReady");
    QTest::addColumn<bool>("referencePending");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("converts");
    QTest::newRow("all there") << true << false << true << true;
    QTest::newRow("no verified frame") << false << false << true << false;
    QTest::newRow("reference pending") << true << true << true << false;
    QTest::newRow("no port") << true << false << false << false;
    QTest::newRow("nothing") << false << true << false << false;
}

void TestImage::conversionNeedsAllConditions()
{
    QFETCH(bool, frameReady);
    QFETCH(bool, referencePending);
    QFETCH(bool, portOpen);
    QFETCH(bool, converts);
    for (bool correct : {false, true}) {
        Ready(RawFrame([](int) { return 64 * 77; }));
        Store(window->pRefFrame, RawFrame([](int) { return 64 * 27; }));
        f_FrameRdy = frameReady;
        window->bTakeReference = referencePending;
        window->fdSerial = portOpen ? port->fd() : 0;
        window->bApplyNUC = correct;
        window->bImageProcessed = false;
        memset(window->pImage8, 0x5A, FRAME_PIXELS);
        window->ProcessImage();
        QCOMPARE(window->bImageProcessed, converts);
        QCOMPARE(f_FrameRdy, frameReady);
        QCOMPARE(window->bTakeReference, referencePending);
        const int expected = !converts ? 0x5A : correct ? 50 : 77; // 4 x 64 x 50 / 256
        CHECK_IMAGE(window->pImage8, Uniform(expected));
    }
}

void TestImage::referenceCapture_data()
{
    QTest::addColumn<bool>("requested");
    QTest::addColumn<bool>("frameReady");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("copies");
    QTest::newRow("requested, verified frame") << true << true << true << true;
    QTest::newRow("requested, verified frame, no port") << true << true << false << true;
    QTest::newRow("requested, no verified frame") << true << false << true << false;
    QTest::newRow("not requested") << false << true << true << false;
}

void TestImage::referenceCapture()
{
    QFETCH(bool, requested);
    QFETCH(bool, frameReady);
    QFETCH(bool, portOpen);
    QFETCH(bool, copies);
    const QByteArray frame = RawFrame([](int i) { return (i * 613) % 16384; });
    const QByteArray old = RawFrame([](int i) { return 16383 - (i * 11) % 16384; });
    Ready(frame, true);
    Store(window->pRefFrame, old);
    f_FrameRdy = frameReady;
    window->fdSerial = portOpen ? port->fd() : 0;
    window->bTakeReference = requested;
    window->TakeReferenceImage();
    QVERIFY(SameBytes(window->pRefFrame, copies ? frame : old));
    QCOMPARE(window->bTakeReference, requested && !copies);
    QCOMPARE(f_FrameRdy, frameReady); // the frame is still to be shown
    QVERIFY(SameBytes(window->pRawFrame1, frame));
    QVERIFY(!window->bImageProcessed);
}

// The worker entries reach the window through pMainWindow and return null.
void TestImage::workerEntriesActOnTheWindow()
{
    QCOMPARE(pMainWindow, window.get());
    const QByteArray frame = RawFrame([](int i) { return (i * 97) % 16384; });
    Ready(frame);
    window->bTakeReference = true;

    void *result = reinterpret_cast<void *>(1);
    pthread_t worker;
    QCOMPARE(pthread_create(&worker, nullptr, fn_thread_TakeReferenceImage, nullptr), 0);
    QCOMPARE(pthread_join(worker, &result), 0);
    QCOMPARE(result, static_cast<void *>(nullptr));
    QVERIFY(SameBytes(window->pRefFrame, frame));
    QVERIFY(!window->bTakeReference);

    result = reinterpret_cast<void *>(1);
    QCOMPARE(pthread_create(&worker, nullptr, fn_thread_ProcessImage, nullptr), 0);
    QCOMPARE(pthread_join(worker, &result), 0);
    QCOMPARE(result, static_cast<void *>(nullptr));
    QVERIFY(window->bImageProcessed);
    const Grey plain = PlainOf(frame);
    CHECK_IMAGE(window->pImage8, plain);
}

void TestImage::applyNucCheckBox_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<bool>("applied");
    QTest::newRow("unchecked to checked") << int(Qt::Unchecked) << int(Qt::Checked) << true;
    QTest::newRow("unchecked to partially checked") << int(Qt::Unchecked) << int(Qt::PartiallyChecked) << true;
    QTest::newRow("checked to unchecked") << int(Qt::Checked) << int(Qt::Unchecked) << false;
    QTest::newRow("partially checked to unchecked") << int(Qt::PartiallyChecked) << int(Qt::Unchecked) << false;
    QTest::newRow("checked to partially checked") << int(Qt::Checked) << int(Qt::PartiallyChecked) << true;
}

// The box decides which conversion the next frame gets: a frame equal to its
// reference shows its own grey (77) without the correction and black with it.
void TestImage::applyNucCheckBox()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(bool, applied);
    QCheckBox *box = window->ui->checkBox_ApplyNUC;
    box->setEnabled(true);
    box->setTristate(true);
    box->setCheckState(static_cast<Qt::CheckState>(from));
    QCOMPARE(window->bApplyNUC, from != Qt::Unchecked);
    box->setCheckState(static_cast<Qt::CheckState>(to));
    QCOMPARE(window->bApplyNUC, applied);

    const QByteArray frame = RawFrame([](int) { return 64 * 77; });
    Ready(frame);
    Store(window->pRefFrame, frame);
    window->ProcessImage();
    CHECK_IMAGE(window->pImage8, Uniform(applied ? 0 : 77));
}

void TestImage::applyNucSlot_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("applied");
    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("2") << 2 << true;
}

void TestImage::applyNucSlot()
{
    QFETCH(int, state);
    QFETCH(bool, applied);
    for (bool before : {false, true}) {
        window->bApplyNUC = before;
        QVERIFY(QMetaObject::invokeMethod(window.get(), "CheckBox_ApplyNUC", Qt::DirectConnection,
                                          Q_ARG(int, state)));
        QCOMPARE(window->bApplyNUC, applied);
    }
}

// The request is raised when the button is released, not when it is pressed.
void TestImage::takeReferenceButton()
{
    QPushButton *button = window->ui->pushButton_TakeFPN;
    button->setEnabled(true);
    QTest::mousePress(button, Qt::LeftButton);
    QVERIFY(!window->bTakeReference);
    QTest::mouseRelease(button, Qt::LeftButton);
    QVERIFY(window->bTakeReference);
    // A release alone raises nothing else.
    QVERIFY(!window->bApplyNUC);
    QVERIFY(!window->bImageProcessed);
}

// ---------------------------------------------------------------- display

void TestImage::displaySize()
{
    QCOMPARE(imgSize, QSize(504, 480));
    QCOMPARE(window->ui->DisplayImage->size(), imgSize);
}

// Every grey level 0..255 appears; each frame pixel is a 6 x 6 block of its
// own grey, whatever its neighbours.
void TestImage::displayShowsEveryGreyAsBlocks()
{
    const Grey grey = [](int i) { return (i * 37 + i / FRAME_WIDTH) % 256; };
    for (int i = 0; i < FRAME_PIXELS; ++i)
        window->pImage8[i] = static_cast<unsigned char>(grey(i));
    f_FrameRdy = true;
    window->fdSerial = port->fd();
    window->bImageProcessed = true;
    window->DisplayImage();

    const QPixmap shown = ShownPixmap(window->ui->DisplayImage);
    QCOMPARE(shown.size(), QSize(504, 480));
    const QString why = PictureMismatch(shown.toImage(), grey);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QString drawn = PictureMismatch(Drawn(window->ui->DisplayImage), grey);
    QVERIFY2(drawn.isEmpty(), qPrintable(drawn));
}

void TestImage::displayUniform_data()
{
    QTest::addColumn<int>("grey");
    QTest::newRow("black") << 0;
    QTest::newRow("white") << 255;
    QTest::newRow("grey 1") << 1;
    QTest::newRow("grey 128") << 128;
    QTest::newRow("grey 254") << 254;
}

void TestImage::displayUniform()
{
    QFETCH(int, grey);
    memset(window->pImage8, grey, FRAME_PIXELS);
    f_FrameRdy = true;
    window->fdSerial = port->fd();
    window->bImageProcessed = true;
    window->DisplayImage();
    const QPixmap shown = ShownPixmap(window->ui->DisplayImage);
    QCOMPARE(shown.size(), QSize(504, 480));
    const QString why = PictureMismatch(shown.toImage(), Uniform(grey));
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// A picture covers the whole area, box included, and is drawn without the
// background under it; the logo after it covers less, and around it the
// background is drawn again, as before the first picture.
void TestImage::logoAfterPictureLeavesNoTrace()
{
    QLabel *area = window->ui->DisplayImage;
    const QImage idle = Drawn(area);
    memset(window->pImage8, 255, FRAME_PIXELS);
    f_FrameRdy = true;
    window->fdSerial = port->fd();
    window->bImageProcessed = true;
    window->DisplayImage();
    const QString why = PictureMismatch(Drawn(area), Uniform(255));
    QVERIFY2(why.isEmpty(), qPrintable(why));
    window->bStop = true; // one cycle, then the idle look
    QTest::mouseClick(window->ui->pushButton_Start, Qt::LeftButton);
    QCOMPARE(ShownPixmap(area).cacheKey(), window->pixLogo.cacheKey());
    QCOMPARE(Drawn(area), idle);
}

// Pixel 85 is row 1, column 1: screen pixels 6..11 in both directions.
void TestImage::displayPixel85Block()
{
    memset(window->pImage8, 0, FRAME_PIXELS);
    window->pImage8[85] = 255;
    f_FrameRdy = true;
    window->fdSerial = port->fd();
    window->bImageProcessed = true;
    window->DisplayImage();
    const QImage shown = ShownPixmap(window->ui->DisplayImage).toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), QSize(504, 480));
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= 6 && x <= 11 && y >= 6 && y <= 11;
            QVERIFY2((shown.pixel(x, y) & 0xFFFFFF) == (inside ? 0xFFFFFFu : 0u),
                     qPrintable(QStringLiteral("screen pixel (%1,%2)").arg(x).arg(y)));
        }
    }
}

void TestImage::displayOncePerFrame()
{
    const QPixmap logo = ShownPixmap(window->ui->DisplayImage);
    QVERIFY(!logo.isNull());
    QVERIFY(logo.size() != QSize(504, 480));
    memset(window->pImage8, 40, FRAME_PIXELS);
    f_FrameRdy = true;
    window->fdSerial = port->fd();
    window->bImageProcessed = true;
    window->iFramesShown = 5;
    window->DisplayImage();
    QCOMPARE(window->iFramesShown, 6);
    QVERIFY(!window->bImageProcessed);
    QVERIFY(!f_FrameRdy);
    const QPixmap first = ShownPixmap(window->ui->DisplayImage);
    QVERIFY(PictureMismatch(first.toImage(), Uniform(40)).isEmpty());

    // A second call in the same cycle changes nothing, even with a new picture
    // in the buffer.
    memset(window->pImage8, 200, FRAME_PIXELS);
    window->DisplayImage();
    QCOMPARE(window->iFramesShown, 6);
    QCOMPARE(ShownPixmap(window->ui->DisplayImage).cacheKey(), first.cacheKey());
    QVERIFY(PictureMismatch(Drawn(window->ui->DisplayImage), Uniform(40)).isEmpty());

    // The next verified and converted frame is shown and counted.
    f_FrameRdy = true;
    window->bImageProcessed = true;
    window->DisplayImage();
    QCOMPARE(window->iFramesShown, 7);
    const QString why = PictureMismatch(Drawn(window->ui->DisplayImage), Uniform(200));
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TestImage::displayNeedsAllConditions_data()
{
    QTest::addColumn<bool>("frameReady");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("processed");
    QTest::newRow("no verified frame") << false << true << true;
    QTest::newRow("no port") << true << false << true;
    QTest::newRow("not converted") << true << true << false;
    QTest::newRow("nothing") << false << false << false;
}

void TestImage::displayNeedsAllConditions()
{
    QFETCH(bool, frameReady);
    QFETCH(bool, portOpen);
    QFETCH(bool, processed);
    const qint64 logoKey = ShownPixmap(window->ui->DisplayImage).cacheKey();
    QCOMPARE(logoKey, window->pixLogo.cacheKey());
    memset(window->pImage8, 99, FRAME_PIXELS);
    f_FrameRdy = frameReady;
    window->fdSerial = portOpen ? port->fd() : 0;
    window->bImageProcessed = processed;
    window->iFramesShown = 3;
    window->DisplayImage();
    QCOMPARE(ShownPixmap(window->ui->DisplayImage).cacheKey(), logoKey);
    QCOMPARE(window->iFramesShown, 3);
    QCOMPARE(f_FrameRdy, frameReady);
    QCOMPARE(window->bImageProcessed, processed);
}

// ---------------------------------------------------------------- runs

namespace {

// A run of the acquisition loop with the device plugged in as ttyUSB0, told
// as stages: pass() runs on every turn of the loop's event processing and
// moves the stage on, or notes the first thing that went wrong. The run ends
// at the last stage or at the first problem.
class StagedRun
{
public:
    explicit StagedRun(MainWindow &window) : w(window) {}
    virtual ~StagedRun() = default;
    StagedRun(const StagedRun &) = delete;
    StagedRun &operator=(const StagedRun &) = delete;

    bool plugged() const { return adapter.ok; }
    // Whether the last stage was reached within timeoutMs.
    bool run(int timeoutMs)
    {
        return RunUntil(
            w, [this] { return done() || !problem.isEmpty(); }, timeoutMs, [this] { pass(); });
    }

    QString problem; // the first thing that went wrong, or empty

protected:
    virtual bool done() const = 0;
    virtual void pass() = 0;
    void fail(const QString &what)
    {
        if (problem.isEmpty())
            problem = what;
    }
    qint64 shownKey() const { return ShownPixmap(w.ui->DisplayImage).cacheKey(); }

    MainWindow &w;
    FakeAdapter adapter;
};

// Take FPN Ref at connection, 50 passes without a frame, a frame with a
// wrong checksum, then the same frame good.
class ReferenceWaitRun : public StagedRun
{
public:
    ReferenceWaitRun(MainWindow &window, const QByteArray &sent)
        : StagedRun(window), frame(sent), logoKey(window.pixLogo.cacheKey())
    {
    }
    enum { Connecting, Idle, BadFrame, GoodFrame, Done } stage = Connecting;

private:
    bool done() const override { return stage == Done; }
    void pass() override
    {
        switch (stage) {
        case Connecting:
            if (w.fdSerial == 0)
                return;
            if (!w.ui->pushButton_TakeFPN->isEnabled())
                return fail(QStringLiteral("Take FPN Ref not enabled by the connection"));
            QTest::mouseClick(w.ui->pushButton_TakeFPN, Qt::LeftButton);
            if (!w.bTakeReference)
                return fail(QStringLiteral("no request after Take FPN Ref"));
            stage = Idle;
            return;
        case Idle:
            waiting("with no frame");
            if (++idlePasses < 50)
                return;
            errorsBefore = iErrorFrame;
            if (!adapter.pty.send(WireFrame(frame, 1)))
                return fail(QStringLiteral("could not send"));
            stage = BadFrame;
            return;
        case BadFrame:
            waiting("after a bad frame");
            if (iErrorFrame == errorsBefore)
                return;
            if (!adapter.pty.send(WireFrame(frame)))
                return fail(QStringLiteral("could not send"));
            stage = GoodFrame;
            return;
        case GoodFrame:
            return goodFrame();
        case Done:
            return;
        }
    }
    void goodFrame()
    {
        if (!w.ui->checkBox_ApplyNUC->isEnabled()) {
            if (!w.bTakeReference)
                return fail(QStringLiteral("reference taken but Apply NUC not enabled in that cycle"));
            return waiting("before the good frame was taken");
        }
        if (w.bTakeReference)
            fail(QStringLiteral("request still pending with the box enabled"));
        if (!SameBytes(w.pRefFrame, frame))
            fail(QStringLiteral("reference is not the frame sent"));
        if (w.ui->checkBox_ApplyNUC->isChecked() || w.bApplyNUC)
            fail(QStringLiteral("correction switched on by itself"));
        const QString why = PictureMismatch(Drawn(w.ui->DisplayImage), PlainOf(frame));
        if (!why.isEmpty())
            fail(QStringLiteral("reference frame not shown in its cycle: ") + why);
        stage = Done;
    }
    void waiting(const char *when)
    {
        if (w.ui->checkBox_ApplyNUC->isEnabled())
            fail(QStringLiteral("Apply NUC enabled %1").arg(QLatin1String(when)));
        if (!w.bTakeReference)
            fail(QStringLiteral("request gone %1").arg(QLatin1String(when)));
        if (shownKey() != logoKey)
            fail(QStringLiteral("picture changed %1").arg(QLatin1String(when)));
    }

    const QByteArray frame;
    const qint64 logoKey;
    int idlePasses = 0;
    int errorsBefore = 0;
};

// All of a frame but its checksum; after 100 passes Take FPN Ref is released
// and the checksum sent.
class ReferenceAsFrameCompletesRun : public StagedRun
{
public:
    ReferenceAsFrameCompletesRun(MainWindow &window, const QByteArray &sent)
        : StagedRun(window), frame(sent), wire(WireFrame(sent)), logoKey(window.pixLogo.cacheKey())
    {
    }
    enum { Connecting, Head, Tail, Done } stage = Connecting;

private:
    bool done() const override { return stage == Done; }
    void pass() override
    {
        switch (stage) {
        case Connecting:
            if (w.fdSerial == 0)
                return;
            if (!adapter.pty.send(wire.left(wire.size() - 5))) // all but the checksum
                return fail(QStringLiteral("could not send"));
            stage = Head;
            return;
        case Head:
            // Enough cycles to read the head whole; the frame is not complete.
            if (w.ui->checkBox_ApplyNUC->isEnabled() || shownKey() != logoKey)
                return fail(QStringLiteral("something happened before the frame was complete"));
            if (++passes < 100)
                return;
            QTest::mouseClick(w.ui->pushButton_TakeFPN, Qt::LeftButton);
            if (!adapter.pty.send(wire.right(5)))
                return fail(QStringLiteral("could not send"));
            stage = Tail;
            return;
        case Tail:
            return tail();
        case Done:
            return;
        }
    }
    void tail()
    {
        if (w.bTakeReference) {
            // The last bytes have not been read yet.
            if (w.ui->checkBox_ApplyNUC->isEnabled())
                fail(QStringLiteral("Apply NUC enabled while the request is pending"));
            return;
        }
        if (!w.ui->checkBox_ApplyNUC->isEnabled())
            return fail(QStringLiteral("reference taken but Apply NUC not enabled in that cycle"));
        if (!SameBytes(w.pRefFrame, frame))
            return fail(QStringLiteral("reference is not the frame sent"));
        const QString why = PictureMismatch(Drawn(w.ui->DisplayImage), PlainOf(frame));
        if (!why.isEmpty())
            return fail(QStringLiteral("reference frame not shown in its cycle: ") + why);
        stage = Done;
    }

    const QByteArray frame;
    const QByteArray wire;
    const qint64 logoKey;
    int passes = 0;
};

// Bursts of moving frames, each begun right after a tick; then the rate
// after the burst's second and after a silent one.
class PictureRateRun : public StagedRun
{
public:
    PictureRateRun(MainWindow &window, int framesInBurst)
        : StagedRun(window), burst(framesInBurst), lastKey(shownKey())
    {
    }
    enum { Connecting, WaitTick, Sending, Counting, Silent, Done } stage = Connecting;
    int total = 0; // frames shown in this run
    int retries = 0;

private:
    bool done() const override { return stage == Done; }
    void pass() override
    {
        switch (stage) {
        case Connecting:
            if (w.fdSerial == 0)
                return;
            second = w.iSecondsElapsed;
            stage = WaitTick;
            return;
        case WaitTick:
            if (w.iSecondsElapsed == second)
                return;
            second = w.iSecondsElapsed;
            sent = 0;
            sendNext();
            stage = Sending;
            return;
        case Sending:
            return sending();
        case Counting:
            if (w.iSecondsElapsed == second)
                return;
            if (w.iSecondsElapsed != second + 1)
                return again();
            if (w.ui->label_FrameRate->text() != QStringLiteral("3FPS"))
                return fail(QStringLiteral("rate after three frames: ") + w.ui->label_FrameRate->text());
            second = w.iSecondsElapsed;
            stage = Silent;
            return;
        case Silent:
            if (w.iSecondsElapsed == second)
                return;
            if (w.ui->label_FrameRate->text() != QStringLiteral("0FPS"))
                return fail(QStringLiteral("rate after a silent second: ") + w.ui->label_FrameRate->text());
            if (shownKey() != lastKey)
                return fail(QStringLiteral("picture changed without a frame"));
            stage = Done;
            return;
        case Done:
            return;
        }
    }
    void sending()
    {
        const QPixmap shown = ShownPixmap(w.ui->DisplayImage);
        if (shown.cacheKey() == lastKey)
            return;
        lastKey = shown.cacheKey();
        const QString why = PictureMismatch(Drawn(w.ui->DisplayImage), PlainOf(current));
        if (!why.isEmpty())
            return fail(QStringLiteral("frame %1: %2").arg(total).arg(why));
        ++total;
        if (w.iSecondsElapsed != second)
            return again();
        if (sent < burst)
            return sendNext();
        stage = Counting;
    }
    void sendNext()
    {
        current = MovingFrame(total);
        ++sent;
        if (!adapter.pty.send(WireFrame(current)))
            fail(QStringLiteral("could not send"));
    }
    void again()
    {
        ++retries;
        second = w.iSecondsElapsed;
        stage = WaitTick;
    }

    const int burst;
    int sent = 0;   // frames sent in the current burst
    int second = 0; // ticks seen when the burst began
    qint64 lastKey;
    QByteArray current;
};

// One setting of the correction and the picture it gives.
struct CorrectionStep
{
    bool correct;
    int gain;
    int offset;
    Grey expected;
};

// Take FPN Ref on the pattern frame, then the scene frame once per step, with
// the step's settings made on the widgets before it is sent.
class CorrectionRun : public StagedRun
{
public:
    CorrectionRun(MainWindow &window, const QByteArray &patternFrame, const QByteArray &sceneFrame,
                  const std::vector<CorrectionStep> &correctionSteps)
        : StagedRun(window), pattern(patternFrame), scene(sceneFrame), steps(correctionSteps)
    {
    }
    enum { Connecting, Reference, Scene, Done } stage = Connecting;
    int step = 0;

private:
    bool done() const override { return stage == Done; }
    void pass() override
    {
        switch (stage) {
        case Connecting:
            if (w.fdSerial == 0)
                return;
            QTest::mouseClick(w.ui->pushButton_TakeFPN, Qt::LeftButton);
            if (!adapter.pty.send(WireFrame(pattern)))
                return fail(QStringLiteral("could not send"));
            stage = Reference;
            return;
        case Reference: {
            if (!w.ui->checkBox_ApplyNUC->isEnabled())
                return;
            const QString why = PictureMismatch(Drawn(w.ui->DisplayImage), PlainOf(pattern));
            if (!why.isEmpty())
                return fail(QStringLiteral("reference frame: ") + why);
            sendScene();
            stage = Scene;
            return;
        }
        case Scene: {
            if (shownKey() == lastKey)
                return;
            const QString why = PictureMismatch(Drawn(w.ui->DisplayImage), steps[step].expected);
            if (!why.isEmpty())
                return fail(QStringLiteral("step %1: %2").arg(step).arg(why));
            if (++step == int(steps.size())) {
                stage = Done;
                return;
            }
            sendScene();
            return;
        }
        case Done:
            return;
        }
    }
    void sendScene()
    {
        const CorrectionStep &s = steps[step];
        w.ui->spinBox_Gain->setValue(s.gain);
        w.ui->spinBox_Offset->setValue(s.offset);
        if (w.ui->checkBox_ApplyNUC->isChecked() != s.correct)
            QTest::mouseClick(w.ui->checkBox_ApplyNUC, Qt::LeftButton);
        if (w.bApplyNUC != s.correct)
            fail(QStringLiteral("Apply NUC click did not switch the correction"));
        lastKey = shownKey();
        if (!adapter.pty.send(WireFrame(scene)))
            fail(QStringLiteral("could not send"));
    }

    const QByteArray pattern;
    const QByteArray scene;
    const std::vector<CorrectionStep> steps;
    qint64 lastKey = 0;
};

} // namespace

// Take FPN Ref while the port is open but no good frame comes: the request
// waits, the box stays disabled, the logo stays. A frame with a wrong checksum
// changes nothing. The first verified frame becomes the reference, the box is
// enabled in that very cycle, and the frame is on the screen in that cycle too.
void TestImage::runReferenceWaitsForVerifiedFrame()
{
    MainWindow &w = *window;
    const QByteArray frame = RawFrame([](int i) { return (i * 97 + 5) % 16384; });
    const qint64 logoKey = w.pixLogo.cacheKey();
    ReferenceWaitRun run(w, frame);
    QVERIFY(run.plugged());
    const bool finished = run.run(20000);
    QVERIFY2(run.problem.isEmpty(), qPrintable(run.problem));
    QVERIFY2(finished, qPrintable(QStringLiteral("stopped at stage %1").arg(int(run.stage))));

    // Stop: the reference does not survive the run, nor does the box.
    QVERIFY(!w.ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(!w.ui->checkBox_ApplyNUC->isChecked());
    QVERIFY(!w.bApplyNUC);
    for (const unsigned char *b : {w.pRawFrame1, w.pRawFrame2, w.pRefFrame})
        CHECK_BLOCK(b, RAW_FRAME_SIZE, 0);
    CHECK_BLOCK(w.pImage8, FRAME_PIXELS, 0);
    QCOMPARE(ShownPixmap(w.ui->DisplayImage).cacheKey(), logoKey);
    w.close();
}

// Take FPN Ref released in the very cycle whose receive step completes a
// good frame: that frame is the reference, the box is enabled and the frame
// shown before the next cycle.
void TestImage::runReferenceRequestedAsFrameCompletes()
{
    MainWindow &w = *window;
    const QByteArray frame = RawFrame([](int i) { return (i * 4099 + 17) % 16384; });
    ReferenceAsFrameCompletesRun run(w, frame);
    QVERIFY(run.plugged());
    const bool finished = run.run(20000);
    QVERIFY2(run.problem.isEmpty(), qPrintable(run.problem));
    QVERIFY2(finished, qPrintable(QStringLiteral("stopped at stage %1").arg(int(run.stage))));
    w.close();
}

// Frames sent one after another through the port each appear on the screen
// as sent; the tick after three shown frames reads "3FPS", the tick after a
// silent second "0FPS". A burst is begun right after a tick has been seen, so
// every frame of it is shown after that tick; a burst found to cross the next
// tick is dropped and begun again after a later one.
void TestImage::runPictureFollowsFramesAndRate()
{
    MainWindow &w = *window;
    unsigned char *const buffers[] = {w.pRawFrame1, w.pRawFrame2, w.pRefFrame, w.pImage8};
    const int burst = 3;
    PictureRateRun run(w, burst);
    QVERIFY(run.plugged());
    const bool finished = run.run(30000);
    QVERIFY2(run.problem.isEmpty(), qPrintable(run.problem));
    QVERIFY2(finished, qPrintable(QStringLiteral("stopped at stage %1 after %2 frames, %3 retries")
                                      .arg(int(run.stage)).arg(run.total).arg(run.retries)));
    QVERIFY(run.total >= burst);
    // The buffers are the same blocks as before the run.
    const unsigned char *const after[] = {w.pRawFrame1, w.pRawFrame2, w.pRefFrame, w.pImage8};
    for (int b = 0; b < 4; ++b)
        QCOMPARE(after[b], buffers[b]);
    QCOMPARE(w.ui->label_FrameRate->text(), QString());
    w.close();
}

// Reference taken on a frame of fixed-pattern noise; with Apply NUC checked,
// the same noise over a flat scene of 6400 shows as one flat grey that the
// gain and the offset move; unchecked, the noise is back.
void TestImage::runCorrectionFlattensFixedPattern()
{
    MainWindow &w = *window;
    const QByteArray pattern = PatternFrame(0);
    const QByteArray scene = PatternFrame(6400);
    // 4 x 6400 = 25600 above the reference.
    const std::vector<CorrectionStep> steps = {
        {true, 1, 0, Uniform(100)},            // 25600 / 256
        {true, 2, 0, Uniform(200)},            // 51200 / 256
        {true, 2, -12800, Uniform(100)},       // 2 x 12800 / 256
        {true, 3, 0, Uniform(255)},            // saturated
        {true, 1, -32768, Uniform(0)},         // below zero
        {false, 1, 0, PlainOf(scene)},         // the noise again
    };
    CorrectionRun run(w, pattern, scene, steps);
    QVERIFY(run.plugged());
    const bool finished = run.run(30000);
    QVERIFY2(run.problem.isEmpty(), qPrintable(run.problem));
    QVERIFY2(finished, qPrintable(QStringLiteral("stopped at stage %1, step %2")
                                      .arg(int(run.stage)).arg(run.step)));
    w.close();
}

QTEST_MAIN(TestImage)
#include "tst_image.moc"
