// Spots, boxes and alarms on the real window, offscreen: the command line
// refused by the built program, an alarm raised, held, cleared and made
// unavailable with its banner and signal pixels, and the gestures that
// change the regions kept in their file.
#include "testsupport.h"

#include "ViewerOptions.h"
#include "regions/RegionMonitor.h"
#include "regions/RegionsView.h"
#include "view/ViewController.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <memory>

using namespace testsupport;

namespace {

const QPoint HOT(8, 8); // inside box1, away from its label

QByteArray FrameWithHot(int hot)
{
    return RawFrame([hot](int i) { return i == HOT.y() * FRAME_WIDTH + HOT.x() ? hot : 500; });
}

QPoint ScreenOf(QPoint pixel)
{
    return QPoint(
        pixel.x() * PICTURE_SCALE + PICTURE_SCALE / 2, pixel.y() * PICTURE_SCALE + PICTURE_SCALE / 2);
}

QJsonObject StatusFrom(quint16 port)
{
    const QByteArray answer
        = HttpExchange(port, "GET /status.json HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    return QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4)).object();
}

} // namespace

class TestRegions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(StandardDescriptorsTaken()); }
    void init();
    void cleanup();
    void badCommandLineIsRefused_data();
    void badCommandLineIsRefused();
    void alarmRaisedHeldAndCleared();
    void gesturesChangeKeptRegions();

private:
    AlarmState state() const { return window->pRegions->Alarms().first().state; }
    QImage picture() const { return window->ui->DisplayImage->grab().toImage(); }

    QTemporaryDir files;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Pipe> port;
};

void TestRegions::init()
{
    window.reset(new MainWindow);
    port.reset(new Pipe);
    ResetReceiver(*window);
}

void TestRegions::cleanup()
{
    EndWindow(window, port->readFd());
    f_FrameRdy = false;
}

void TestRegions::badCommandLineIsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    QFile bad(files.filePath("bad.json"));
    QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("{\"spots\": [[84, 0]]}") > 0);
    const QString mqtt = "mqtt://127.0.0.1";
    QTest::newRow("spot outside") << QStringList {"--spot", "84,0"} << "lies outside the sensor";
    QTest::newRow("spot malformed") << QStringList {"--spot", "3"} << "'3' is not COL,ROW";
    QTest::newRow("box outside") << QStringList {"--box", "0,0,10,80"} << "lies outside the sensor";
    QTest::newRow("fifth spot") << QStringList {"--spot", "1,1", "--spot", "1,2", "--spot", "1,3", "--spot",
        "1,4", "--spot", "1,5"} << "--spot: given too often";
    QTest::newRow("alarm malformed") << QStringList {"--alarm", "hot:max=5"} << "is not [NAME:]SOURCE>VALUE";
    QTest::newRow("alarm's spot missing")
        << QStringList {"--spot", "1,1", "--alarm", "spot2>5"} << "spot2 is not among the 1 spots";
    QTest::newRow("hold") << QStringList {"--alarm", "max>5", "--alarm-hold", "x"} << "--alarm-hold takes";
    QTest::newRow("regions file") << QStringList {"--regions", bad.fileName()} << "is not a regions file";
    QTest::newRow("not mqtt") << QStringList {"--mqtt", "http://host"} << "is not mqtt://HOST[:PORT]";
    QTest::newRow("no host") << QStringList {"--mqtt", "mqtt://:1883"} << "names no host";
    QTest::newRow("password file") << QStringList {"--mqtt", mqtt, "--mqtt-user", "u", "--mqtt-password-file",
        files.filePath("none")} << "cannot read the password file";
    QTest::newRow("ca without tls") << QStringList {"--mqtt", mqtt, "--mqtt-ca", bad.fileName()}
                                    << "--mqtt-ca needs an mqtts:// URL";
    QTest::newRow("interval") << QStringList {"--mqtt", mqtt, "--mqtt-interval", "0"}
                              << "--mqtt-interval takes";
    QTest::newRow("id") << QStringList {"--mqtt", mqtt, "--mqtt-id", "a/b"} << "--mqtt-id takes";
    QTest::newRow("without --mqtt") << QStringList {"--mqtt-user", "u"} << "need --mqtt";
}

// Status 2 with the reason and the usage, before any window.
void TestRegions::badCommandLineIsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    QProcess child;
    StartBuiltProgram(child, qEnvironmentVariable("FRAMESCOPE"), arguments);
    QVERIFY(child.waitForFinished(20000));
    const QString said = QString::fromLocal8Bit(child.readAllStandardError());
    QCOMPARE(child.exitCode(), int(OPTIONS_EXIT_STATUS));
    const QStringList reasons = said.split('\n').filter(QRegularExpression("^framescope: "));
    QVERIFY2(
        reasons.size() == 1 && reasons.first().contains(reason) && said.contains("Usage:"), qPrintable(said));
}

// Raised only once the hot frames have held a second, kept through a frame
// within the hysteresis, cleared past it, unavailable once frames stop; one
// log line each, the banner and the signal pixels while raised.
void TestRegions::alarmRaisedHeldAndCleared()
{
    const ReservedTcpPort http;
    ApplyOrFail(*window,
        {"--box", "0,0,9,9", "--alarm", "hot:box1.max>1000", "--alarm", "warm:max>5C", "--alarm-hysteresis",
            "100", "--alarm-hold", "1", "--http", QString::number(http.number())});
    LogCapture log;
    ShowFrame(*window, FrameWithHot(1500), port->readFd());
    QCOMPARE(state(), AlarmState::Cleared);
    QTest::qWait(1100);
    ShowFrame(*window, FrameWithHot(1500), port->readFd());
    QCOMPARE(state(), AlarmState::Raised);
    QCOMPARE(log.count("Alarm hot raised (box1.max > 1000): at 1500"), 1);
    const QImage raised = picture();
    QCOMPARE(raised.pixel(ScreenOf(HOT)), SIGNAL_COLOUR.rgb());
    QVERIFY(raised.pixel(ScreenOf(HOT + QPoint(1, 0))) != SIGNAL_COLOUR.rgb());
    QCOMPARE(raised.pixel(1, 1), qRgb(200, 0, 0)); // the banner
    QTRY_VERIFY([&] {
        const QJsonObject alarm = StatusFrom(http.number())["alarms"].toArray().first().toObject();
        return alarm["name"] == "hot" && alarm["state"] == "raised" && alarm["value"] == "1500";
    }());

    ShowFrame(*window, FrameWithHot(950), port->readFd());
    QCOMPARE(state(), AlarmState::Raised);
    ShowFrame(*window, FrameWithHot(850), port->readFd());
    QCOMPARE(state(), AlarmState::Cleared);
    QCOMPARE(log.count("Alarm hot cleared (box1.max > 1000): at 850"), 1);
    QVERIFY(picture().pixel(ScreenOf(HOT)) != SIGNAL_COLOUR.rgb());
    QTRY_COMPARE_WITH_TIMEOUT(state(), AlarmState::Unavailable, 3000);
    QCOMPARE(log.count("Alarm hot unavailable (box1.max > 1000): no frame shown"), 1);
    QCOMPARE(log.lines().filter("Alarm hot").size(), 4); // and the first frame's "cleared", held
    // In degrees without a calibration: said once, never compared with counts.
    QVERIFY2(log.lines().filter("Alarm warm")
            == QStringList("Alarm warm unavailable (max > 5 \u00b0C): no such reading on this frame"),
        qPrintable(log.lines().join('\n')));
}

// Without region options nothing of them is there; with them "+ Spot" and a
// tap add a spot, a drag draws a box, a tap on a label removes its region,
// and the file keeps what is left for the next start.
void TestRegions::gesturesChangeKeptRegions()
{
    QVERIFY(!window->findChild<QWidget *>("RegionsControls"));
    const QString file = files.filePath("regions.json");
    ApplyOrFail(*window, {"--regions", file, "--spot", "1,1"});
    ShowFrame(*window, FrameWithHot(1500), port->readFd());
    QWidget *picture = window->ui->DisplayImage;
    window->findChild<QPushButton *>("pushButton_AddSpot")->click();
    QTest::mouseClick(picture, Qt::LeftButton, Qt::NoModifier, ScreenOf(QPoint(40, 40)));
    QTest::mousePress(picture, Qt::LeftButton, Qt::NoModifier, ScreenOf(QPoint(50, 10)));
    QTest::mouseRelease(picture, Qt::LeftButton, Qt::NoModifier, ScreenOf(QPoint(60, 20)));
    QCOMPARE(window->pRegions->Regions().spots, (QVector<QPoint> {QPoint(1, 1), QPoint(40, 40)}));
    QCOMPARE(window->pRegions->Regions().boxes, QVector<QRect> {QRect(QPoint(50, 10), QPoint(60, 20))});
    QVERIFY(!window->pView->HasSpot()); // the gestures were not the spot meter's taps
    QTest::mouseClick(picture, Qt::LeftButton, Qt::NoModifier, ScreenOf(QPoint(40, 40)) + QPoint(12, 12));
    QTest::mouseClick(picture, Qt::LeftButton, Qt::NoModifier, ScreenOf(QPoint(20, 60)));
    QVERIFY(window->pView->HasSpot()); // a plain tap still is

    RegionSet kept;
    QString error;
    QVERIFY2(RegionsFile(file).Load(kept, error), qPrintable(error));
    QCOMPARE(kept.spots, QVector<QPoint> {QPoint(1, 1)});
    QCOMPARE(kept.boxes.size(), 1);
    cleanup();
    init();
    ApplyOrFail(*window, {"--regions", file, "--spot", "5,5"});
    QCOMPARE(window->pRegions->Regions(), kept); // the file's, not the command line's
}

QTEST_MAIN(TestRegions)
#include "tst_regions.moc"
