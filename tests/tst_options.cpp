// The viewer's command-line options, end to end against the simulator:
// --start runs without a press; --device takes a link by its stable name over
// a lower-numbered adapter and follows it through unplug and replug; --record
// writes a session that --replay plays back to the same frames and the same
// rejections, and a recording that cannot be written stops alone. The real
// program refuses a bad command line or an unopenable recording with status
// 2 and a message before any window, answers --help and --version without a
// display, and runs as a kiosk with all three options. --wait-for-data rests
// the loop, yet it shows every frame, takes a click at once, finds an unplug.
#include "testsupport.h"

#include "Recording.h"
#include "ViewerOptions.h"
#include "WindowCommand.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace testsupport;

namespace {

// The built viewer, run to its end with the given arguments.
struct ViewerRun {
    int status = -1;
    bool exited = false; // on its own, in time, not by a signal
    QString out;
    QString err;
};

ViewerRun RunViewer(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess viewer;
    viewer.setProcessEnvironment(environment);
    StartBuiltProgram(viewer, qEnvironmentVariable("FRAMESCOPE"), arguments);
    ViewerRun run;
    run.exited = viewer.waitForFinished(20000) && viewer.exitStatus() == QProcess::NormalExit;
    if (!run.exited) {
        viewer.kill();
        viewer.waitForFinished(5000);
    }
    run.status = viewer.exitCode();
    run.out = QString::fromLocal8Bit(viewer.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(viewer.readAllStandardError());
    return run;
}

// Bad frames, by their mismatch lines.
QStringList Mismatches(const LogCapture &log)
{
    return log.lines().filter(QRegularExpression("^Serial 0 : Calc : "));
}

// Where operators name their adapters; longer than the old 63-byte limit.
const char STABLE_NAME[] =
    "serial/by-id/usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_Controller_0001-if00-port0";

} // namespace

class TestOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startRunsWithoutAPress();
    void deviceByStableNameThroughUnplugAndReplug();
    void recordingReplaysTheSameSession();
    void failedRecordingStopsAloneFramesGoOn();
    void badCommandLineIsRefused_data();
    void badCommandLineIsRefused();
    void unopenableRecordingIsRefused();
    void helpAndVersionNeedNoDisplay();
    void noScreenEndsWithAFailure();
    void kioskRunOfTheProgram();
    void waitForDataShowsEveryFrame();
    void waitForDataRestEndsForAClick_data();
    void waitForDataRestEndsForAClick();
    void waitForDataFindsAnUnplug();

private:
    int shown() const { return window->iTotalFramesShown + window->iFramesShown; }
    void apply(const QStringList &arguments);
    void freshWindow();

    std::unique_ptr<PortDirectory> ports;
    QTemporaryDir files;
    std::unique_ptr<MainWindow> window;
};

void TestOptions::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE_SIM")).isExecutable());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE")).isExecutable());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
}

void TestOptions::init()
{
    QDir nodes(ports->path());
    for (const QString &name : nodes.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        nodes.remove(name);
    window.reset(new MainWindow);
    ResetReceiver(*window);
    f_Acknowledge = true;
}

void TestOptions::cleanup()
{
    FinishViewerOptions();
    SetFixedPort("");
    if (window->fdSerial > 0)
        close(window->fdSerial);
    window.reset();
}

// Parses, prepares and applies a command line the way the program's entry does.
void TestOptions::apply(const QStringList &arguments)
{
    ApplyOrFail(*window, arguments);
}

void TestOptions::freshWindow()
{
    cleanup();
    init();
}

// --start: frames appear with nobody touching Start; Stop ends the run as
// designed, and Start and Exit work as before afterwards.
void TestOptions::startRunsWithoutAPress()
{
    Simulator sim(ports->node(0), QStringList());
    QVERIFY(sim.started());
    apply(QStringList() << "--start");
    QVERIFY(window->ui->pushButton_Start->isEnabled()); // nothing has run yet

    bool startDisabledInRun = false;
    int shownInRun = 0;
    QTimer poll; // runs inside the run's event processing once it has started
    poll.setInterval(0);
    connect(&poll, &QTimer::timeout, [&] {
        startDisabledInRun = !window->ui->pushButton_Start->isEnabled();
        if (shown() >= 2) {
            shownInRun = shown();
            poll.stop();
            QTest::mouseClick(window->ui->pushButton_Stop, Qt::LeftButton);
        }
    });
    poll.start();
    QTRY_VERIFY_WITH_TIMEOUT(shownInRun >= 2, 20000);
    QVERIFY(startDisabledInRun);
    QVERIFY(window->ui->pushButton_Start->isEnabled());   // wound down as designed
    QVERIFY(!window->ui->pushButton_Stop->isEnabled());

    // Start pressed by hand runs again; Exit ends a run and closes.
    QVERIFY(RunUntil(*window, [&] { return shown() >= 1; }, 20000));
    bool exitPressed = false;
    RunUntil(*window, [&] { return exitPressed; }, 20000, [&] {
        if (!exitPressed && shown() >= 1) {
            exitPressed = true;
            QTest::mouseClick(window->ui->pushButton_Exit, Qt::LeftButton);
        }
    });
    QVERIFY(exitPressed);
    QVERIFY(!window->isVisible());
    QCOMPARE(window->fdSerial, 0);
}

// --device through a stable link: taken over a lower-numbered adapter that is
// present, named as given in every line, and followed through an unplug (the
// link goes) and a replug (the link comes back).
void TestOptions::deviceByStableNameThroughUnplugAndReplug()
{
    Pty lower;
    QVERIFY(ports->link(lower, 0));
    const QString link = ports->path() + "/" + STABLE_NAME;
    QVERIFY(link.size() >= 64);
    QVERIFY(QDir().mkpath(QFileInfo(link).path()));
    Simulator sim(link, QStringList());
    QVERIFY(sim.started());
    QTRY_VERIFY(QFileInfo::exists(link));
    apply(QStringList() << "--device" << link);
    LogCapture log;

    enum { Streaming, Unplugged, Replugged, Done } phase = Streaming;
    int shownBeforeReplug = 0;
    auto step = [&] {
        if (phase == Streaming && shown() >= 1) {
            QVERIFY(QFile::remove(link));
            phase = Unplugged;
        } else if (phase == Unplugged && window->fdSerial == 0) {
            shownBeforeReplug = shown();
            QVERIFY(QFile::link(sim.pty(), link));
            phase = Replugged;
        } else if (phase == Replugged && shown() > shownBeforeReplug) {
            phase = Done;
        }
    };
    QVERIFY(RunUntil(*window, [&] { return phase == Done; }, 20000, step));

    const QString established = "Connection to " + link + " established";
    QCOMPARE(log.count(link + " detected"), 2);
    QCOMPARE(log.count(established), 2);
    QCOMPARE(log.count("Serial Port " + link + " disconnected"), 1);
    QVERIFY(!log.lines().join('\n').contains(ports->node(0)));
    QCOMPARE(QString::fromLocal8Bit(window->pPortName), link);
}

// A run with injected faults is recorded; the simulator replays the file and
// the viewer shows as many frames and rejects the same ones, line for line.
void TestOptions::recordingReplaysTheSameSession()
{
    const QString file = files.filePath("session.bin");
    LogCapture log;
    int shownLive = 0;
    QString sentLive;
    {
        Simulator sim(ports->node(0), QStringList() << "--fast" << "--frames" << "30"
                                                    << "--bad-checksum" << "5" << "--lose-start" << "7"
                                                    << "--extra-byte" << "11" << "--ack-in-data" << "3"
                                                    << "--stray" << "4");
        QVERIFY(sim.started());
        apply(QStringList() << "--record" << file);
        QVERIFY(RunUntil(*window, [&] { return sim.finished(); }, 30000));
        shownLive = shown();
        sentLive = sim.lines("sent: ").value(0);
    }
    const QStringList mismatchesLive = Mismatches(log);
    const int acknowledgementsLive = log.count("Acknowledge received");
    // The live run itself saw every frame as the simulator made it.
    QCOMPARE(sentLive, QString("sent: 30 frames (%1 good, %2 bad), 0 bytes dropped, 0 commands, 0 incomplete")
                           .arg(shownLive)
                           .arg(mismatchesLive.size()));
    QVERIFY(mismatchesLive.size() >= 10);

    freshWindow(); // ends the recording as the program's exit does
    log.clear();
    Simulator replay(ports->node(0), QStringList() << "--replay" << file);
    QVERIFY(replay.started());
    QVERIFY(RunUntil(*window, [&] { return replay.finished(); }, 30000));

    QCOMPARE(replay.lines("replayed: "),
             QStringList() << QString("replayed: %1 bytes in 1 passes").arg(QFileInfo(file).size()));
    QCOMPARE(shown(), shownLive);
    QCOMPARE(Mismatches(log), mismatchesLive);
    QCOMPARE(log.count("Acknowledge received"), acknowledgementsLive);
}

// Recording into a full device: one line, the recording ends, frames go on.
void TestOptions::failedRecordingStopsAloneFramesGoOn()
{
    Simulator sim(ports->node(0), QStringList() << "--fast");
    QVERIFY(sim.started());
    apply(QStringList() << "--record" << "/dev/full");
    LogCapture log;
    const QString failed =
        "Recording to /dev/full failed: No space left on device - recording stopped, acquisition goes on";
    int shownAtFailure = -1;
    auto step = [&] {
        if (shownAtFailure < 0 && log.count(failed) > 0)
            shownAtFailure = shown();
    };
    QVERIFY(RunUntil(*window, [&] { return shownAtFailure >= 0 && shown() >= shownAtFailure + 5; },
                     20000, step));
    QCOMPARE(log.count(failed), 1);
    QVERIFY(!IsRecording());
}

void TestOptions::badCommandLineIsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "framescope: Unknown option 'bogus'.";
    QTest::newRow("value for a flag") << QStringList{"--start=yes"}
                                      << "framescope: Unexpected value after '--start'.";
    QTest::newRow("stray argument") << QStringList{"--start", "now"}
                                    << "framescope: unexpected argument 'now'";
    QTest::newRow("device without a path") << QStringList{"--device"}
                                           << "framescope: Missing value after '--device'.";
    QTest::newRow("empty device") << QStringList{"--device="} << "framescope: --device needs a path";
    QTest::newRow("device path too long")
        << QStringList{"--device", "/dev/serial/by-id/" + QString(300, 'x')}
        << "framescope: --device path is 318 bytes long; at most 255 fit";
    QTest::newRow("empty record file") << QStringList{"--record", ""}
                                       << "framescope: --record needs a file name";
    QTest::newRow("unknown palette") << QStringList{"--palette", "sepia"}
                                     << "framescope: --palette: unknown palette 'sepia' (grey, inverted, iron, rainbow)";
    QTest::newRow("range word") << QStringList{"--range", "wide"}
                                << "framescope: --range: 'wide' is not design, auto or LO:HI";
    QTest::newRow("range low above high") << QStringList{"--range", "900:100"}
                                          << "framescope: --range: 900:100 needs 0 <= LO < HI <= 16383";
    QTest::newRow("range high past 14 bits") << QStringList{"--range", "0:16384"}
                                             << "framescope: --range: 0:16384 needs 0 <= LO < HI <= 16383";
    QTest::newRow("negative range") << QStringList{"--range=-5:100"}
                                    << "framescope: --range: '-5:100' is not design, auto or LO:HI";
    QTest::newRow("rotation") << QStringList{"--rotate", "45"}
                              << "framescope: --rotate: '45' is not 0, 90, 180 or 270";
    QTest::newRow("empty snapshot directory") << QStringList{"--snapshot-dir="}
                                              << "framescope: --snapshot-dir needs a directory";
    QTest::newRow("empty reference file") << QStringList{"--reference", ""}
                                          << "framescope: --reference needs a file name";
    for (const char *frames : {"0", "257", "-1", "x", ""})
        QTest::newRow(qPrintable(QString("reference frames '%1'").arg(frames)))
            << QStringList{"--reference-frames", frames}
            << QString("framescope: --reference-frames takes a whole number from 1 to 256, not '%1'").arg(frames);
    QTest::newRow("empty calibration file") << QStringList{"--calibration="}
                                            << "framescope: --calibration needs a file name";
    for (const char *e : {"0.05", "1.5", "x"})
        QTest::newRow(qPrintable(QString("emissivity '%1'").arg(e)))
            << QStringList{"--calibration", "c.json", "--emissivity", e}
            << QString("framescope: --emissivity takes a number from 0.1 to 1, not '%1'").arg(e);
    QTest::newRow("reflected temperature") << QStringList{"--calibration", "c.json", "--reflected-temperature", "hot"}
                                           << "framescope: --reflected-temperature takes a number from -273 to 1000, not 'hot'";
    QTest::newRow("range in degrees low above high") << QStringList{"--calibration", "c.json", "--range", "40C:20C"}
                                                     << "framescope: --range: 40C:20C needs -273 <= LO < HI <= 5000 (degrees)";
    QTest::newRow("range in degrees and counts") << QStringList{"--calibration", "c.json", "--range", "20C:400"}
                                                 << "framescope: --range: '20C:400' is not design, auto or LO:HI";
    for (const QStringList &degrees : {QStringList{"--emissivity", "0.9"}, QStringList{"--range", "20C:40C"}})
        QTest::newRow(qPrintable("degrees without a calibration: " + degrees.first()))
            << degrees << "framescope: --emissivity, --reflected-temperature and a --range in degrees need --calibration";
    QTest::newRow("empty video directory") << QStringList{"--video-dir="}
                                           << "framescope: --video-dir needs a directory";
    for (const char *minutes : {"0", "1441", "x", ""})
        QTest::newRow(qPrintable(QString("video minutes '%1'").arg(minutes)))
            << QStringList{"--video-max-minutes", minutes}
            << QString("framescope: --video-max-minutes takes a whole number from 1 to 1440, not '%1'")
                   .arg(minutes);
}

// Refused before a window exists: status 2, the reason and the usage on
// standard error. Qt's own options around them are taken as usual.
void TestOptions::badCommandLineIsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const ViewerRun run = RunViewer(QStringList() << "-platform" << "offscreen" << arguments
                                                  << "-reverse",
                                    QProcessEnvironment::systemEnvironment());
    QVERIFY2(run.exited, qPrintable(run.err));
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(message + "\n\nUsage: "), qPrintable(run.err));
    QVERIFY(run.err.contains("--start"));
    QVERIFY(run.out.isEmpty());
}

// The recording is opened before the window: a file that cannot be written
// ends the program at once, with the reason.
void TestOptions::unopenableRecordingIsRefused()
{
    const QString missing = files.filePath("no-such-directory/session.bin");
    const ViewerRun run = RunViewer(QStringList() << "-platform" << "offscreen" << "--start"
                                                  << "--record" << missing,
                                    QProcessEnvironment::systemEnvironment());
    QVERIFY2(run.exited, qPrintable(run.err));
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.endsWith("framescope: cannot record to " + missing
                              + ": No such file or directory\n"),
             qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(missing));
}

// A technician asks over ssh: no display, no platform, still an answer.
void TestOptions::helpAndVersionNeedNoDisplay()
{
    QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        bare.remove(QString::fromLatin1(name));

    const ViewerRun help = RunViewer(QStringList() << "--help", bare);
    QVERIFY2(help.exited, qPrintable(help.err));
    QCOMPARE(help.status, 0);
    QVERIFY(help.out.contains("Usage: "));
    QVERIFY(help.out.contains("--start"));
    for (const char *option : {"--palette <NAME>", "--range <RANGE>", "--rotate <DEGREES>", "--mirror"})
        QVERIFY2(help.out.contains(option), option);

    const ViewerRun version = RunViewer(QStringList() << "-platform" << "xcb" << "--version", bare);
    QVERIFY2(version.exited, qPrintable(version.err));
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, QString("framescope 1.1\n"));
}

// A kiosk started before its framebuffer exists gets no screen from Qt: it
// says so and fails, for its unit to start it again, instead of running unseen.
void TestOptions::noScreenEndsWithAFailure()
{
    // What the framebuffer platform leaves behind when it fails is Qt's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");
    const ViewerRun run = RunViewer(QStringList() << "-platform" << "linuxfb:fb=" + files.filePath("fb0") << "--start",
                                    environment);
    QVERIFY2(run.exited, qPrintable(run.err));
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.endsWith("framescope: no screen to show the window on\n"), qPrintable(run.err));
}

// The program as a kiosk board runs it: started with all three options, it
// connects to the named link by itself and the recording fills (it is
// flushed once a second) with no press at all.
void TestOptions::kioskRunOfTheProgram()
{
    const QString link = files.filePath(STABLE_NAME);
    const QString file = files.filePath("kiosk.bin");
    QVERIFY(QDir().mkpath(QFileInfo(link).path()));
    Simulator sim(link, QStringList());
    QVERIFY(sim.started());
    QTRY_VERIFY(QFileInfo::exists(link));

    QProcess viewer;
    viewer.setProcessChannelMode(QProcess::ForwardedOutputChannel); // its log stays readable
    StartBuiltProgram(viewer, qEnvironmentVariable("FRAMESCOPE"),
                      QStringList() << "-platform" << "offscreen" << "--start" << "--device" << link
                                    << "--record" << file);
    QVERIFY(viewer.waitForStarted(5000));
    QString log;
    QTRY_VERIFY_WITH_TIMEOUT((log += QString::fromLocal8Bit(viewer.readAllStandardError()))
                                 .contains("Connection to " + link + " established"),
                             15000);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() > 2 * 13447, 15000);
    QCOMPARE(viewer.state(), QProcess::Running);
    viewer.terminate();
    QVERIFY(viewer.waitForFinished(5000));
}

// At the link rate, with faults (but no lost start marker, which a frame cut
// off just before may make acceptable); the run is checked every 50 ms only,
// so that the loop rests in between.
void TestOptions::waitForDataShowsEveryFrame()
{
    Simulator sim(ports->node(0), {"--timing", "--frames", "20", "--bad-checksum", "5",
                                   "--extra-byte", "11", "--ack-in-data", "3", "--stray", "4"});
    QVERIFY(sim.started());
    apply(QStringList() << "--wait-for-data");
    QTRY_VERIFY(QFileInfo::exists(ports->node(0)));
    window->CheckSerialAvailable(); // connected from the first frame
    QVERIFY(RunUntil(*window, [&] { return sim.finished(); }, 30000, nullptr, 50));
    const QStringList good = sim.lines("timing: ").filter(QRegularExpression(" good( |$)"));
    QVERIFY(good.size() >= 5); // the line drops what a busy machine leaves unread: "cut"
    QCOMPARE(shown(), good.size());
}

void TestOptions::waitForDataRestEndsForAClick_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::newRow("no port") << false;
    QTest::newRow("silent port") << true;
}

// Cmd clicked as the loop is about to block in a rest, the tick stopped:
// with no port, nothing but the click can end that rest before the watchdog.
void TestOptions::waitForDataRestEndsForAClick()
{
    QFETCH(bool, portOpen);
    Pty silent;
    if (portOpen && ports->link(silent, 0))
        window->CheckSerialAvailable();
    apply(QStringList() << "--wait-for-data");
    QPushButton *cmd = window->ui->pushButton;
    connect(cmd, &QPushButton::clicked, [&] { window->bStop = true; });
    const QMetaObject::Connection click = connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, [&] {
            window->pTimer1s->stop();
            QMetaObject::invokeMethod(cmd, "click", Qt::QueuedConnection);
            disconnect(click);
        });
    bool watchdog = false;
    QTimer::singleShot(10000, window.get(), [&] { watchdog = window->bStop = true; });
    QTest::mouseClick(window->ui->pushButton_Start, Qt::LeftButton);
    QVERIFY(!watchdog);
    QVERIFY(window->pWindowCommand->isVisible());
}

// The adapter goes and comes back on a new pseudo-terminal: the tick finds
// both, frames resume, and no rest watched a closed descriptor (Qt says so).
void TestOptions::waitForDataFindsAnUnplug()
{
    Simulator sim(ports->node(0), {"--unplug-every", "1:1"});
    QVERIFY(sim.started());
    apply(QStringList() << "--wait-for-data");
    LogCapture log;
    int shownBefore = -1;
    auto step = [&] {
        if (shownBefore < 0 && shown() > 0 && window->fdSerial == 0)
            shownBefore = shown();
    };
    QVERIFY(RunUntil(*window, [&] { return shownBefore >= 0 && shown() > shownBefore; }, 20000, step, 50));
    QCOMPARE(log.lines().filter("QSocketNotifier"), QStringList());
}

QTEST_MAIN(TestOptions)
#include "tst_options.moc"
