// Readings in degrees, end to end through the simulator: references taken
// from its flat fields at known temperatures, the calibration they give, its
// file, the viewer reading through it, the page and the command-line tool.
#include "testsupport.h"

#include "WindowCommand.h"
#include "calib/CalibrationController.h"
#include "calib/CalibrationFile.h"
#include "http/StatusPage.h"
#include "keep/RawPicture.h"
#include "regions/RegionMonitor.h"
#include "ui_CalibrationOpener.h"
#include "ui_CalibrationPage.h"
#include "ui_WindowCommand.h"
#include "ui_mainwindow.h"
#include "view/ViewController.h"

#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <numeric>

using namespace testsupport;

namespace {

const int FRAMES = 12; // a reference's frames
const int INJECTED_BAD = 6;

struct SimRun {
    QVector<ShownFramePtr> frames;
    QStringList badPixels; // as the simulator said them
};

UniformReference AverageOf(const QVector<ShownFramePtr> &frames, double celsius)
{
    ReferenceAverage average;
    for (const ShownFramePtr &frame : frames)
        average.Add(frame->raw.data());
    return average.At(celsius);
}

double MeanOf(const CelsiusPlane &plane)
{
    double sum = 0;
    for (float celsius : plane)
        sum += celsius;
    return sum / FRAME_PIXELS;
}

// The designed one-point correction in degrees: the cold reference taken
// away, one slope (the median pixel's) for every pixel.
CelsiusPlane OnePoint(const ShownFrame &frame, const Calibration &calibration, const UniformReference &cold)
{
    std::vector<float> slopes(calibration.slope.begin(), calibration.slope.end());
    std::nth_element(slopes.begin(), slopes.begin() + slopes.size() / 2, slopes.end());
    const double slope = slopes[slopes.size() / 2];
    CelsiusPlane plane {};
    for (int i = 0; i < FRAME_PIXELS; ++i)
        plane[i] = float(cold.celsius + slope * (frame.Sample(i) - cold.mean[i]));
    return plane;
}

// The document without its date, which is the only thing two makings differ in.
QJsonObject Undated(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    json.remove("made");
    return json;
}

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoPointFlattensWhatOnePointLeaves();
    void injectedBadPixelsAreFound();
    void warmObjectReadsItsTemperature();
    void reanchorUndoesDrift();
    void degreesWhereverAValueIsShown();
    void autoAndLockedWorkOnDegrees();
    void greyBodyApproximation_data();
    void greyBodyApproximation();
    void fileRoundTrip();
    void badFileIsRefused_data();
    void badFileIsRefused();
    void viewerStartsUncalibratedOnABadFile();
    void pageAndToolMakeTheSameFile();

private:
    SimRun Run(const QStringList &simOptions, const QStringList &viewerOptions = {}, int frames = FRAMES);
    QString Saved(const Calibration &calibration, const QString &name);

    std::unique_ptr<PortDirectory> ports;
    QTemporaryDir dir;
    SimRun cold;
    SimRun hot;
    Calibration calibration;
    QString calibrationFile;
};

void TestCalibration::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
    const QStringList bad {"--bad-pixels", QString::number(INJECTED_BAD)};
    cold = Run(QStringList {"--pattern", "flat", "--temperature", "20"} + bad);
    hot = Run(QStringList {"--pattern", "flat", "--temperature", "60"} + bad);
    QCOMPARE(cold.frames.size(), FRAMES);
    QCOMPARE(hot.frames.size(), FRAMES);
    QString error;
    QVERIFY2(Calibrate(AverageOf(cold.frames, 20), AverageOf(hot.frames, 60), calibration, error),
        qPrintable(error));
    calibrationFile = Saved(calibration, "calibration.json");
}

// The viewer, fed by the simulator until it has sent its frames; the frames shown.
SimRun TestCalibration::Run(const QStringList &simOptions, const QStringList &viewerOptions, int frames)
{
    MainWindow window;
    ResetReceiver(window);
    f_Acknowledge = true;
    if (!viewerOptions.isEmpty())
        ApplyOrFail(window, viewerOptions);
    SimRun run;
    QObject::connect(
        window.pShownFrames, &FrameFeed::Shown, [&](const ShownFramePtr &frame) { run.frames << frame; });
    Simulator sim(ports->node(0), QStringList {"--fast", "--frames", QString::number(frames)} + simOptions);
    if (sim.started()
        && RunUntil(
            window, [&] { return sim.finished() && run.frames.size() >= frames; }, 30000)) {
        const QStringList said = sim.lines("bad pixels: ");
        run.badPixels = said.isEmpty() ? QStringList() : said.first().mid(12).split(' ');
    }
    if (window.fdSerial > 0)
        close(window.fdSerial);
    return run;
}

QString TestCalibration::Saved(const Calibration &made, const QString &name)
{
    QString error;
    const QString path = dir.filePath(name);
    if (!SaveCalibration(made, path, error))
        qWarning() << error;
    return path;
}

// A flat field at a third temperature: each pixel's own line leaves a small
// fraction of the spread the one-point correction leaves.
void TestCalibration::twoPointFlattensWhatOnePointLeaves()
{
    const SimRun flat = Run({"--pattern", "flat", "--temperature", "40", "--bad-pixels", "6"},
        {"--calibration", calibrationFile});
    QVERIFY(!flat.frames.isEmpty());
    const ShownFrame &shown = *flat.frames.last();
    QVERIFY(shown.celsius);
    const double twoPoint = SpreadOf(*shown.celsius, calibration.bad);
    const double onePoint
        = SpreadOf(OnePoint(shown, calibration, AverageOf(cold.frames, 20)), calibration.bad);
    qInfo("flat field at 40 C: %.3f C rms two-point, %.3f C rms one-point", twoPoint, onePoint);
    QVERIFY(twoPoint < onePoint / 10);
    QVERIFY(qAbs(MeanOf(*shown.celsius) - 40) < 0.1);
    QCOMPARE(shown.ReadingAt(0).unit, ReadingUnit::Celsius);
}

void TestCalibration::injectedBadPixelsAreFound()
{
    QCOMPARE(hot.badPixels.size(), INJECTED_BAD);
    for (const QString &pixel : hot.badPixels)
        QVERIFY2(calibration.bad[pixel.toInt()], qPrintable(pixel));
    qInfo("bad pixels: %d found, %d injected", calibration.BadPixels(), INJECTED_BAD);
    QVERIFY(calibration.BadPixels() <= INJECTED_BAD + 1);
}

// The simulator's object is 70 C at its centre: the warmest reading of a frame
// is there, bad pixels replaced.
void TestCalibration::warmObjectReadsItsTemperature()
{
    const SimRun scene = Run({"--bad-pixels", "6"}, {"--calibration", calibrationFile}, 20);
    QVERIFY(!scene.frames.isEmpty());
    double worst = 0;
    for (const ShownFramePtr &frame : scene.frames)
        worst = std::max(worst, qAbs(frame->Summarize().max.value - 70.0));
    qInfo("warm object: worst error %.3f C over %d frames", worst, int(scene.frames.size()));
    QVERIFY(worst <= 0.5);
}

// Offsets moved with the sensor's temperature: readings are off until a
// re-anchor on one uniform surface renews them.
void TestCalibration::reanchorUndoesDrift()
{
    const QStringList drift {"--drift", "300"};
    const SimRun drifted = Run(
        QStringList {"--pattern", "flat", "--temperature", "40"} + drift, {"--calibration", calibrationFile});
    QVERIFY(!drifted.frames.isEmpty());
    QVERIFY(qAbs(MeanOf(*drifted.frames.last()->celsius) - 40) > 2);
    const SimRun anchor = Run(QStringList {"--pattern", "flat", "--temperature", "30"} + drift);
    Calibration anchored = calibration;
    Reanchor(anchored, AverageOf(anchor.frames, 30));
    const SimRun after = Run(QStringList {"--pattern", "flat", "--temperature", "40"} + drift,
        {"--calibration", Saved(anchored, "anchored.json")});
    QVERIFY(!after.frames.isEmpty());
    QVERIFY(qAbs(MeanOf(*after.frames.last()->celsius) - 40) < 0.2);
    QVERIFY(SpreadOf(*after.frames.last()->celsius, calibration.bad) < 0.2);
}

// A flat field at 30 C through a window of 20 to 40 C, a tap, then a
// register write: the picture, the spot meter, the colour bar, the status
// and the raw snapshot all in degrees, marked once the write went out.
void TestCalibration::degreesWhereverAValueIsShown()
{
    MainWindow window;
    ResetReceiver(window);
    f_Acknowledge = true;
    ApplyOrFail(window, {"--calibration", calibrationFile, "--palette", "iron", "--range", "20C:40C", "--alarm",
                            "warm:mean>25C"});
    QVector<ShownFramePtr> frames;
    QObject::connect(
        window.pShownFrames, &FrameFeed::Shown, [&](const ShownFramePtr &frame) { frames << frame; });
    Simulator sim(ports->node(0), {"--fast", "--pattern", "flat", "--temperature", "30"});
    QVERIFY(sim.started());
    int writtenAt = -1;
    auto step = [&] {
        if (frames.size() == 3 && writtenAt < 0) {
            QTest::mouseClick(
                window.ui->DisplayImage, Qt::LeftButton, Qt::NoModifier, QPoint(41 * 6 + 3, 40 * 6 + 3));
            window.pWindowCommand->ui->spinBox_Address->setValue(5);
            window.pWindowCommand->ui->spinBox_Value->setValue(42);
            QTest::mouseClick(window.pWindowCommand->ui->pushButton_SendSensor, Qt::LeftButton);
            writtenAt = 0;
        } else if (writtenAt == 0 && sim.lines("command: !F0042").size() == 1) {
            writtenAt = frames.size();
        }
    };
    QVERIFY(RunUntil(
        window, [&] { return writtenAt > 0 && frames.size() > writtenAt + 2; }, 20000, step));
    if (window.fdSerial > 0)
        close(window.fdSerial);
    const ShownFrame &last = *frames.last();
    QVERIFY(!frames.first()->bReadingsMayBeOff && last.bReadingsMayBeOff);
    QVERIFY(qAbs(std::accumulate(last.levels.begin(), last.levels.end(), 0.0) / FRAME_PIXELS - 127.5) < 2);
    QCOMPARE(window.pView->Range().Window().Text(window.pView->Range().Window().lo), QString("20.0 \u00b0C"));
    const QStringList spot = window.pView->Reading().Lines();
    QVERIFY2(QRegularExpression("^(29|30)\\.\\d \u00b0C  \\(\\d+\\)$").match(spot.value(1)).hasMatch(),
        qPrintable(spot.join('|')));
    QCOMPARE(spot.last(), QString("may be off: re-anchor"));
    QCOMPARE(window.pCalibration->opener->pushButton_Calibration->text(), QString("\u00b0C ?"));
    // An alarm in degrees compares the frame's degrees once a calibration is loaded.
    const AlarmStatus warm = window.pRegions->Alarms().value(0);
    QVERIFY2(warm.state == AlarmState::Raised && warm.value.unit == ReadingUnit::Celsius,
        qPrintable(warm.value.Text()));

    ViewerStatus status;
    status.bReadings = true;
    status.readings = last.Summarize();
    status.bReadingsMayBeOff = last.bReadingsMayBeOff;
    const QJsonObject json = QJsonDocument::fromJson(StatusJson(status, 0)).object();
    QCOMPARE(json["unit"].toString(), QString("\u00b0C"));
    QVERIFY(qAbs(json["readings"].toObject()["mean"].toDouble() - 30) < 0.1);
    QVERIFY(json["readingsMayBeOff"].toBool());

    const QImage raw = RawPicture(last.raw.data(), FactsOf(last));
    Calibration carried;
    QString error;
    QVERIFY2(ReadCalibrationDocument(raw.text("Calibration").toUtf8(), carried, error), qPrintable(error));
    QVERIFY(carried.slope == calibration.slope && carried.intercept == calibration.intercept);
    QCOMPARE(raw.text("Unit"), QString("\u00b0C"));
    QCOMPARE(raw.text("Readings"), QString("may be off"));
}

// Auto takes the frame's coldest to hottest reading in degrees, a lock keeps
// that window for a warmer frame; design stays the design's conversion.
void TestCalibration::autoAndLockedWorkOnDegrees()
{
    const ShownFrame &frame = *hot.frames.first();
    const FrameSamples samples = SamplesOf(frame);
    CelsiusPlane plane {};
    for (int i = 0; i < FRAME_PIXELS; ++i)
        plane[i] = 20.0f + float(i % FRAME_WIDTH) / 5;
    std::array<unsigned char, FRAME_PIXELS> levels {};
    std::array<unsigned char, FRAME_PIXELS> designed {};
    LevelRange range;
    range.Convert(samples, levels.data(), &plane);
    ConvertAsDesigned(samples, designed.data());
    QVERIFY(levels == designed);
    range.Step(); // auto
    range.Convert(samples, levels.data(), &plane);
    QCOMPARE(range.Window().Text(range.Window().lo), QString("20.0 \u00b0C"));
    QCOMPARE(range.Window().Text(range.Window().hi), QString("36.6 \u00b0C")); // 20 + 83 / 5
    QCOMPARE(int(levels[0]), 0);
    QCOMPARE(int(levels[FRAME_WIDTH - 1]), 255);
    range.Step(); // locked
    for (float &celsius : plane)
        celsius += 10;
    range.Convert(samples, levels.data(), &plane);
    QCOMPARE(range.Window().lo, 2000);
    QCOMPARE(int(levels[0]), qRound(255 * 1000 / 1660.0)); // 30 C in 20 .. 36.6 C
}

void TestCalibration::greyBodyApproximation_data()
{
    QTest::addColumn<double>("read");
    QTest::addColumn<double>("emissivity");
    QTest::addColumn<double>("reflected");
    QTest::addColumn<double>("object");
    QTest::newRow("black body") << 30.0 << 1.0 << 20.0 << 30.0;
    QTest::newRow("as warm as its surroundings") << 20.0 << 0.5 << 20.0 << 20.0;
    QTest::newRow("warmer") << 30.0 << 0.9 << 20.0 << 31.0518;
    QTest::newRow("much warmer, shiny") << 100.0 << 0.5 << 20.0 << 147.7714;
    QTest::newRow("colder") << 0.0 << 0.95 << 20.0 << -1.1816;
}

void TestCalibration::greyBodyApproximation()
{
    QFETCH(double, read);
    QFETCH(double, emissivity);
    QFETCH(double, reflected);
    QFETCH(double, object);
    QVERIFY(qAbs(ObjectCelsius(read, emissivity, reflected) - object) < 0.001);
}

void TestCalibration::fileRoundTrip()
{
    Calibration anchored = calibration;
    Reanchor(anchored, AverageOf(cold.frames, 20.5));
    Calibration read;
    QString error;
    QVERIFY2(LoadCalibration(Saved(anchored, "round.json"), read, error), qPrintable(error));
    QVERIFY(read.slope == anchored.slope && read.intercept == anchored.intercept && read.bad == anchored.bad);
    QCOMPARE(read.coldCelsius, 20.0);
    QCOMPARE(read.hotCelsius, 60.0);
    QCOMPARE(read.made, anchored.made);
    QCOMPARE(read.anchored, anchored.anchored);
}

void TestCalibration::badFileIsRefused_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("reason");
    const QByteArray good = CalibrationDocument(calibration);
    const auto changed = [&](const char *key, const QJsonValue &value) {
        QJsonObject json = QJsonDocument::fromJson(good).object();
        json[key] = value;
        return QJsonDocument(json).toJson();
    };
    QTest::newRow("missing") << QByteArray() << "No such file";
    QTest::newRow("truncated") << good.left(good.size() / 2) << "not JSON";
    QTest::newRow("another format") << changed("format", "picture") << "not a framescope calibration";
    QTest::newRow("another sensor") << changed("columns", 80) << "another sensor size";
    QTest::newRow("hot below cold") << changed("hotCelsius", 10) << "must be at least 5";
    QTest::newRow("lines too short") << changed("slope", QJsonArray {1, 2}) << "\"slope\" holds 2 numbers";
    QTest::newRow("not a number") << changed(
        "intercept", QJsonArray::fromStringList(QVector<QString>(FRAME_PIXELS, "x").toList()))
                                  << "\"intercept\" entry 0 is not a number";
    QTest::newRow("bad pixel off the sensor")
        << changed("badPixels", QJsonArray {FRAME_PIXELS}) << "is not a pixel";
}

// Refused with one line naming the file and the reason.
void TestCalibration::badFileIsRefused()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, reason);
    const QString path = dir.filePath(QTest::currentDataTag());
    if (!document.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(document) == document.size());
    }
    Calibration read;
    QString error;
    QVERIFY(!LoadCalibration(path, read, error));
    QVERIFY2(error.startsWith("calibration " + path + " not loaded: ") && error.contains(reason)
            && !error.contains('\n'),
        qPrintable(error));
}

void TestCalibration::viewerStartsUncalibratedOnABadFile()
{
    const QString path = dir.filePath("cut.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(CalibrationDocument(calibration).left(1000));
    file.close();
    LogCapture log;
    const SimRun run = Run({"--pattern", "flat"}, {"--calibration", path}, 3);
    QVERIFY(!run.frames.isEmpty());
    QVERIFY(!run.frames.last()->celsius);
    QCOMPARE(run.frames.last()->ReadingAt(0).unit, ReadingUnit::Counts);
    QCOMPARE(log.lines().filter("framescope: calibration " + path + " not loaded: not JSON").size(), 1);
}

// The same frames, as snapshots for the tool and shown to the page, give the
// same file.
void TestCalibration::pageAndToolMakeTheSameFile()
{
    QStringList coldFiles;
    QStringList hotFiles;
    for (int k = 0; k < FRAMES; ++k) {
        for (auto run : {std::make_pair(&cold, &coldFiles), std::make_pair(&hot, &hotFiles)}) {
            const ShownFrame &frame = *run.first->frames[k];
            run.second->append(
                dir.filePath(QString("%1-%2.png").arg(run.first == &cold ? "cold" : "hot").arg(k)));
            QVERIFY(RawPicture(frame.raw.data(), FactsOf(frame)).save(run.second->last()));
        }
    }
    QProcess tool;
    StartBuiltProgram(tool, qEnvironmentVariable("FRAMESCOPE_CALIBRATE"),
        {"--cold", coldFiles.join(',') + ":20", "--hot", hotFiles.join(',') + ":60", "-o",
            dir.filePath("tool.json")});
    QVERIFY2(tool.waitForFinished(120000), qPrintable(tool.errorString()));
    QCOMPARE(tool.exitCode(), 0);

    QWidget window;
    window.resize(800, 480);
    CalibrationController page(&window, QRect(95, 228, 45, 34), dir.filePath("page.json"), {}, FRAMES);
    page.opener->pushButton_Calibration->click();
    QVERIFY(page.PageIsOpen());
    // A hot reference less than 5 C above the cold one cannot be entered.
    page.page->doubleSpinBox_Cold->setValue(58);
    page.page->doubleSpinBox_Hot->setValue(60);
    QCOMPARE(page.page->doubleSpinBox_Hot->value(), 63.0);
    page.page->doubleSpinBox_Cold->setValue(20);
    page.page->doubleSpinBox_Hot->setValue(60);
    for (auto run : {std::make_pair(page.page->pushButton_TakeCold, &cold),
             std::make_pair(page.page->pushButton_TakeHot, &hot)}) {
        run.first->click();
        for (const ShownFramePtr &frame : run.second->frames)
            page.FrameShown(frame);
    }
    page.page->pushButton_Save->click();
    QVERIFY(!page.PageIsOpen());
    QVERIFY(page.Map());
    QCOMPARE(Undated(dir.filePath("page.json")), Undated(dir.filePath("tool.json")));
    QCOMPARE(Undated(dir.filePath("page.json")), Undated(calibrationFile));

    // Re-anchored on the page against the cold frames at 21 C: every good pixel a degree warmer.
    page.opener->pushButton_Calibration->click();
    page.page->doubleSpinBox_Anchor->setValue(21);
    page.page->pushButton_Reanchor->click();
    for (const ShownFramePtr &frame : cold.frames)
        page.FrameShown(frame);
    page.page->pushButton_Save->click();
    Calibration anchored;
    QString error;
    QVERIFY2(LoadCalibration(dir.filePath("page.json"), anchored, error), qPrintable(error));
    QVERIFY(anchored.anchored.isValid() && anchored.slope == calibration.slope);
    const int good
        = int(std::find(calibration.bad.begin(), calibration.bad.end(), 0) - calibration.bad.begin());
    QVERIFY(qAbs(anchored.intercept[good] - calibration.intercept[good] - 1) < 0.01);
}

QTEST_MAIN(TestCalibration)
#include "tst_calibration.moc"
