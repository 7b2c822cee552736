// The view of the picture on the real window: known frames through every
// palette and range, taps at the corners under every rotation and mirroring,
// the corrected reading, the keys and buttons; and through a pseudo-terminal,
// a locked range while a hot object enters and a spot meter that follows the
// frames, moves and goes.
#include "testsupport.h"

#include "ViewerOptions.h"
#include "GUI.h"
#include "view/Enlarger.h"
#include "keep/SnapshotController.h"
#include "view/ViewController.h"
#include "WindowCommand.h"
#include "ui_ViewControls.h"
#include "ui_WindowCommand.h"

#include <QApplication>
#include <QLineEdit>
#include <QtTest>
#include <memory>

using namespace testsupport;

namespace {

int Index(QPoint pixel)
{
    return pixel.y() * FRAME_WIDTH + pixel.x();
}

// The middle of a sensor pixel's block in the upright picture.
QPoint Middle(QPoint pixel)
{
    return pixel * 6 + QPoint(3, 3);
}

QRgb Grey(int level)
{
    return qRgb(level, level, level);
}

// Three pixels with samples of their own in a frame of one background sample.
const QPoint PROBES[] = {{10, 20}, {30, 40}, {50, 60}};

QByteArray ProbeFrame(int background, const QList<int> &probes)
{
    return RawFrame([=](int i) {
        for (int k = 0; k < 3; ++k)
            if (i == Index(PROBES[k]))
                return probes[k];
        return background;
    });
}

// Every sample different, and the four corners in four different greys.
int CornerSample(int i)
{
    return 64 * (i % 256) + i / 256;
}

// The ends of the colour bar at the right edge of what the grey bar leaves.
const QPoint BAR_TOP(483, 4);
const QPoint BAR_BOTTOM(483, 475);

} // namespace

class TestView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void paletteAndRange_data();
    void paletteAndRange();
    void tapAtCorners_data();
    void tapAtCorners();
    void correctedReading_data();
    void correctedReading();
    void keysAndButtonsStep_data();
    void keysAndButtonsStep();
    void runLockedRangeKeepsItsWindow();
    void runSpotMeterFollowsMovesAndGoes();
    void plainPictureAsQtScales_data();
    void plainPictureAsQtScales();
    void oneShownFrameForEveryWatcher();

private:
    void apply(const QStringList &arguments);
    QImage shown() const { return ShownPixmap(window->ui->DisplayImage).toImage(); }
    void tap(QPoint at) { QTest::mouseClick(window->ui->DisplayImage, Qt::LeftButton, Qt::NoModifier, at); }

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Pipe> port; // an open descriptor standing in for the device
};

void TestView::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
}

void TestView::init()
{
    window.reset(new MainWindow);
    port.reset(new Pipe);
    ResetReceiver(*window);
}

void TestView::cleanup()
{
    EndWindow(window, port->readFd());
    port.reset();
    f_FrameRdy = false;
}

// As the program's entry puts the command line to work.
void TestView::apply(const QStringList &arguments)
{
    ApplyOrFail(*window, arguments);
}

void TestView::paletteAndRange_data()
{
    QTest::addColumn<QString>("palette");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QList<int>>("probes");
    QTest::addColumn<QList<uint>>("colours");
    QTest::addColumn<uint>("barTop");    // level 255 of the colour bar
    QTest::addColumn<uint>("barBottom"); // level 0
    // Probes that each range shows as levels 0, 128 and 255 (a flat frame: 128).
    const struct {
        const char *range;
        QList<int> probes;
        QList<int> levels;
    } ranges[] = {{"design", {0, 8192, 16383}, {0, 128, 255}},
                  {"auto", {1000, 3560, 6100}, {0, 128, 255}},
                  {"auto", {5000, 5000, 5000}, {128, 128, 128}},
                  {"1500:5580", {1000, 3548, 6100}, {0, 128, 255}}}; // clamped at both ends
    const struct {
        const char *name;
        QRgb colours[3]; // at levels 0, 128, 255
    } palettes[] = {{"grey", {Grey(0), Grey(128), Grey(255)}},
                    {"inverted", {Grey(255), Grey(127), Grey(0)}},
                    {"iron", {qRgb(0, 0, 0), qRgb(220, 20, 50), qRgb(255, 255, 255)}},
                    {"rainbow", {qRgb(0, 0, 255), qRgb(0, 255, 0), qRgb(255, 0, 0)}}};
    for (const auto &p : palettes) {
        for (const auto &r : ranges) {
            QList<uint> colours;
            for (int level : r.levels)
                colours << p.colours[level == 0 ? 0 : level == 128 ? 1 : 2];
            // The plain grey picture has no bar: the background lies there.
            const bool plain = QByteArray(p.name) == "grey" && QByteArray(r.range) == "design";
            const QRgb top = plain ? Grey(5000 / 64) : p.colours[2];
            const QRgb bottom = plain ? Grey(5000 / 64) : p.colours[0];
            QTest::addRow("%s, %s %d", p.name, r.range, r.probes[0])
                << p.name << r.range << r.probes << colours << uint(top) << uint(bottom);
        }
    }
}

// Background 5000 between the probes; the colour bar shows the palette
// whenever the picture is not the plain grey one.
void TestView::paletteAndRange()
{
    QFETCH(QString, palette);
    QFETCH(QString, range);
    QFETCH(QList<int>, probes);
    QFETCH(QList<uint>, colours);
    QFETCH(uint, barTop);
    QFETCH(uint, barBottom);
    apply({"--palette", palette, "--range", range});
    ShowFrame(*window, ProbeFrame(5000, probes), port->readFd());
    const QImage picture = shown();
    for (int k = 0; k < 3; ++k)
        QCOMPARE(picture.pixel(Middle(PROBES[k])), colours[k]);
    QCOMPARE(picture.pixel(BAR_TOP), barTop);
    QCOMPARE(picture.pixel(BAR_BOTTOM), barBottom);
}

void TestView::tapAtCorners_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QPoint>("pixel");
    // The sensor pixels seen in the corners: top left, top right, bottom left,
    // bottom right; turned pictures are 400 x 420, centred.
    const struct {
        int rotation;
        bool mirror;
        QPoint corners[4];
    } cases[] = {{0, false, {{0, 0}, {83, 0}, {0, 79}, {83, 79}}},
                 {0, true, {{83, 0}, {0, 0}, {83, 79}, {0, 79}}},
                 {90, false, {{0, 79}, {0, 0}, {83, 79}, {83, 0}}},
                 {90, true, {{83, 79}, {83, 0}, {0, 79}, {0, 0}}},
                 {180, false, {{83, 79}, {0, 79}, {83, 0}, {0, 0}}},
                 {180, true, {{0, 79}, {83, 79}, {0, 0}, {83, 0}}},
                 {270, false, {{83, 0}, {83, 79}, {0, 0}, {0, 79}}},
                 {270, true, {{0, 0}, {0, 79}, {83, 0}, {83, 79}}}};
    const QRect upright(0, 0, 504, 480);
    const QRect turned(52, 30, 400, 420);
    const char *names[] = {"top left", "top right", "bottom left", "bottom right"};
    for (const auto &c : cases) {
        const QRect r = c.rotation % 180 == 0 ? upright : turned;
        // One pixel in from the very corner: QTest takes the point 0,0 for the middle.
        const QRect in = r.adjusted(1, 1, -1, -1);
        const QPoint at[] = {in.topLeft(), in.topRight(), in.bottomLeft(), in.bottomRight()};
        QStringList options{"--rotate", QString::number(c.rotation)};
        if (c.mirror)
            options << "--mirror";
        for (int k = 0; k < 4; ++k)
            QTest::addRow("%d%s, %s", c.rotation, c.mirror ? " mirrored" : "", names[k])
                << options << at[k] << c.corners[k];
    }
}

// The tap names the pixel drawn under it; beside a turned picture is black.
void TestView::tapAtCorners()
{
    QFETCH(QStringList, options);
    QFETCH(QPoint, at);
    QFETCH(QPoint, pixel);
    apply(options);
    ShowFrame(*window, RawFrame(CornerSample), port->readFd());
    tap(at);
    QVERIFY(window->pView->HasSpot());
    QCOMPARE(window->pView->Reading().pixel, pixel);
    QCOMPARE(window->pView->Reading().sample, CornerSample(Index(pixel)));
    const QImage picture = shown();
    QCOMPARE(picture.pixel(at), Grey(CornerSample(Index(pixel)) / 64));
    if (options[1] == "90" || options[1] == "270")
        QCOMPARE(picture.pixel(at + QPoint(at.x() < 252 ? -2 : 2, 0)), qRgb(0, 0, 0));
}

void TestView::correctedReading_data()
{
    QTest::addColumn<int>("gain");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("sample");
    QTest::addColumn<int>("reference");
    QTest::addColumn<int>("corrected"); // gain x (4 x difference + offset) / 4, rounded down
    QTest::newRow("gain 1") << 1 << 0 << 5000 << 3000 << 2000;
    QTest::newRow("offset cancels") << 16 << -400 << 3100 << 3000 << 0;
    QTest::newRow("gain 3, offset 256") << 3 << 256 << 3100 << 3000 << 492;
    QTest::newRow("below the reference") << 2 << 0 << 3000 << 3100 << -200;
    QTest::newRow("just below zero") << 1 << -1 << 100 << 100 << -1;
    QTest::newRow("largest") << 99 << 32767 << 16383 << 0 << 2432900;
}

// With Apply NUC the box shows the corrected value beside the sample, and the
// frame's extremes and mean of it; the grey picture is that value's top bits.
void TestView::correctedReading()
{
    QFETCH(int, gain);
    QFETCH(int, offset);
    QFETCH(int, sample);
    QFETCH(int, reference);
    QFETCH(int, corrected);
    const QByteArray ref = RawFrame([=](int) { return reference; });
    memcpy(window->pRefFrame, ref.constData(), RAW_FRAME_SIZE);
    window->bApplyNUC = true;
    window->iGain = gain;
    window->iOffset = offset;
    ShowFrame(*window, RawFrame([=](int) { return sample; }), port->readFd());
    tap(Middle({42, 40}));
    const SpotReading &reading = window->pView->Reading();
    QCOMPARE(reading.sample, sample);
    QVERIFY(reading.corrected);
    QCOMPARE(reading.value, corrected);
    QCOMPARE(reading.frame.min, corrected);
    QCOMPARE(reading.frame.max, corrected);
    QCOMPARE(reading.frame.Mean(), double(corrected));
    QVERIFY(reading.Lines().contains(QStringLiteral("corrected %1").arg(corrected)));
    QCOMPARE(shown().pixel(Middle({10, 70})), Grey(qBound(0, corrected >> 6, 255)));
}

void TestView::keysAndButtonsStep_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("byKey");
    QTest::addColumn<int>("presses");
    QTest::addColumn<QString>("palette");
    QTest::addColumn<QString>("range");
    QTest::newRow("keys once") << QStringList() << true << 1 << "inverted" << "auto";
    QTest::newRow("keys twice") << QStringList() << true << 2 << "iron" << "locked";
    QTest::newRow("buttons three times") << QStringList() << false << 3 << "rainbow" << "design";
    QTest::newRow("buttons four times") << QStringList() << false << 4 << "grey" << "auto";
    const QStringList given{"--palette", "rainbow", "--range", "100:200"};
    QTest::newRow("from rainbow and 100:200, once") << given << true << 1 << "grey" << "design";
    QTest::newRow("from rainbow and 100:200, four times") << given << false << 4 << "rainbow" << "100:200";
}

// P and A step as the buttons do; in the command window they are text.
void TestView::keysAndButtonsStep()
{
    QFETCH(QStringList, options);
    QFETCH(bool, byKey);
    QFETCH(int, presses);
    QFETCH(QString, palette);
    QFETCH(QString, range);
    apply(options);
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    Ui_ViewControls *controls = window->pView->ui;
    for (int n = 0; n < presses; ++n) {
        if (byKey) {
            QTest::keyClick(window.get(), Qt::Key_P);
            QTest::keyClick(window.get(), Qt::Key_A);
        } else {
            QTest::mouseClick(controls->pushButton_Palette, Qt::LeftButton);
            QTest::mouseClick(controls->pushButton_Range, Qt::LeftButton);
        }
    }
    QCOMPARE(controls->pushButton_Palette->text(), "Palette\n" + palette);
    QCOMPARE(controls->pushButton_Range->text(), "Range\n" + range);

    QTest::mouseClick(window->ui->pushButton, Qt::LeftButton); // Cmd
    QLineEdit *command = window->pWindowCommand->ui->lineEdit_Command;
    QApplication::setActiveWindow(window->pWindowCommand);
    QVERIFY(QTest::qWaitForWindowActive(window->pWindowCommand));
    QTest::keyClicks(command, "PA");
    QCOMPARE(command->text(), QStringLiteral("PA"));
    QCOMPARE(controls->pushButton_Palette->text(), "Palette\n" + palette);
    QCOMPARE(controls->pushButton_Range->text(), "Range\n" + range);
}

// A ramp from 2000 (column 0) to 6150 (column 83), and the same ramp with a
// hot object of 15000 in the top right corner. Under auto the object squeezes
// the ramp; locked on the ramp's window, the ramp stays as it was and the
// object is white.
void TestView::runLockedRangeKeepsItsWindow()
{
    FakeAdapter adapter;
    QVERIFY(adapter.ok);
    const auto ramp = [](int i) { return 2000 + 50 * (i % FRAME_WIDTH); };
    const QByteArray scene = RawFrame(ramp);
    const QByteArray hot = RawFrame([&](int i) { return i % FRAME_WIDTH >= 70 && i / FRAME_WIDTH < 10 ? 15000 : ramp(i); });
    const QPoint probe = Middle({40, 50}); // 2000 of 4150 above the coldest: 123
    const QPoint object = Middle({75, 5});
    const struct {
        bool stepRange;
        const QByteArray &frame;
    } steps[] = {{true, scene}, {false, hot}, {false, scene}, {true, hot}}; // auto, ..., locked
    QList<int> levels;
    int objectLevel = -1;
    const bool finished = RunFrames(*window, adapter.pty, [&](int k) {
        if (k > 0) {
            levels << qRed(shown().pixel(probe));
            objectLevel = qRed(shown().pixel(object));
        }
        if (k == 4)
            return QByteArray();
        if (steps[k].stepRange)
            QTest::mouseClick(window->pView->ui->pushButton_Range, Qt::LeftButton);
        return steps[k].frame;
    });
    QVERIFY(finished);
    QCOMPARE(levels, QList<int>({123, 39, 123, 123}));
    QCOMPARE(objectLevel, 255);
    QCOMPARE(window->pView->ui->pushButton_Range->text(), QStringLiteral("Range\nlocked"));
}

// A tap shows the pixel's reading, which follows the next frame; a tap
// elsewhere moves it, a tap on the box clears it. Once the logo is back a
// tap changes nothing.
void TestView::runSpotMeterFollowsMovesAndGoes()
{
    FakeAdapter adapter;
    QVERIFY(adapter.ok);
    const QPoint first(20, 30), second(60, 50);
    QList<int> samples; // the reading after each step
    bool cleared = false;
    bool plainAgain = false;
    const bool finished = RunFrames(*window, adapter.pty, [&](int k) {
        const SpotReading &reading = window->pView->Reading();
        if (k == 1) {
            tap(Middle(first));
            samples << reading.sample;
        } else if (k == 2) {
            samples << reading.sample;
            tap(Middle(second));
            samples << reading.sample;
            tap(window->pView->ReadingBox().center());
            cleared = !window->pView->HasSpot();
            // Where the cross-hair's ring was, left of the pixel: the picture again.
            plainAgain = shown().pixel(Middle(second) - QPoint(5, 0)) == Grey((3000 + Index(second) - 1) / 64);
        }
        return k < 2 ? RawFrame([k](int i) { return 1000 + 2000 * k + i; }) : QByteArray();
    });
    QVERIFY(finished);
    QCOMPARE(samples, QList<int>({1000 + Index(first), 3000 + Index(first), 3000 + Index(second)}));
    QVERIFY(cleared);
    QVERIFY(plainAgain);

    const qint64 logo = ShownPixmap(window->ui->DisplayImage).cacheKey();
    QCOMPARE(logo, window->pixLogo.cacheKey());
    tap(Middle(first));
    QVERIFY(!window->pView->HasSpot());
    QCOMPARE(ShownPixmap(window->ui->DisplayImage).cacheKey(), logo);
}

QTEST_MAIN(TestView)

void TestView::plainPictureAsQtScales_data()
{
    QTest::addColumn<int>("seed");
    QTest::newRow("ramp") << 0;
    QTest::newRow("noise") << 1;
    QTest::newRow("other noise") << 2;
}

// The plain picture is what Qt's fast scaling made of the frame, pixel for
// pixel, and a picture still held keeps its pixels while the next ones are
// made in the buffers taking turns.
void TestView::plainPictureAsQtScales()
{
    QFETCH(int, seed);
    auto frameOf = [](int seed) {
        QImage frame(FRAME_WIDTH, FRAME_HEIGHT, QImage::Format_Indexed8);
        for (int i = 0; i < FRAME_PIXELS; ++i)
            frame.scanLine(i / FRAME_WIDTH)[i % FRAME_WIDTH] =
                static_cast<uchar>(seed == 0 ? i : (i * 2654435761u * seed) >> 24);
        return frame;
    };
    auto qtScaled = [](const QImage &frame) {
        return QPixmap::fromImage(frame).scaled(imgSize, Qt::IgnoreAspectRatio, Qt::FastTransformation).toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    Enlarger enlarger;
    const QPixmap held = enlarger.Enlarge(frameOf(seed), imgSize);
    for (int later = seed + 1; later <= seed + 3; ++later)
        QCOMPARE(enlarger.Enlarge(frameOf(later), imgSize).toImage().convertToFormat(QImage::Format_RGB32),
                 qtScaled(frameOf(later)));
    QCOMPARE(held.toImage().convertToFormat(QImage::Format_RGB32), qtScaled(frameOf(seed)));
}

// Whatever watches the picture reads the one value the display step made of
// the frame: the spot meter and a snapshot hold that very object, and the
// web server's raw picture carries its samples, checksum and arrival time.
void TestView::oneShownFrameForEveryWatcher()
{
    const ReservedTcpPort reserved;
    const quint16 httpPort = reserved.number();
    apply({"--http", QStringLiteral("127.0.0.1:%1").arg(httpPort)});
    QList<ShownFramePtr> published;
    connect(window->pShownFrames, &FrameFeed::Shown, [&published](const ShownFramePtr &frame) { published << frame; });
    const QPoint pixel(30, 40);
    window->uCksumRead = 0x1111;
    ShowFrame(*window, RawFrame([](int i) { return i; }), port->readFd());
    tap(QPoint(pixel.x() * PICTURE_SCALE + 3, pixel.y() * PICTURE_SCALE + 3));
    window->uCksumRead = 0x2222;
    ShowFrame(*window, RawFrame([](int i) { return 3 * i; }), port->readFd());

    QCOMPARE(published.size(), 2);
    const ShownFrame *last = published.last().get();
    QCOMPARE(last->number, published.first()->number + 1);
    QCOMPARE(window->pView->Shown().get(), last);
    QCOMPARE(window->pSnapshots->Shown().get(), last);
    QCOMPARE(window->pView->Reading().sample, 3 * (pixel.y() * FRAME_WIDTH + pixel.x()));

    const QByteArray answer = HttpExchange(httpPort, "GET /raw.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const QImage raw = QImage::fromData(answer.mid(answer.indexOf("\r\n\r\n") + 4), "PNG");
    QVERIFY2(!raw.isNull(), answer.left(200).constData());
    QCOMPARE(raw.text(QStringLiteral("Checksum")), QStringLiteral("2222"));
    QCOMPARE(raw.text(QStringLiteral("Time")), last->Arrived().toOffsetFromUtc(last->Arrived().offsetFromUtc())
                                                   .toString(Qt::ISODateWithMs));
    for (int i : {0, 1, 2000, FRAME_PIXELS - 1})
        QCOMPARE(int(reinterpret_cast<const quint16 *>(raw.constScanLine(i / FRAME_WIDTH))[i % FRAME_WIDTH]),
                 last->Sample(i));
}

#include "tst_view.moc"
