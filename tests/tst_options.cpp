// The viewer's command-line options, end to end: --start runs without a
// press, against the simulator; the real program refuses a bad command line
// with status 2 and a message before any window, and answers --help and
// --version without a display.
#include "testsupport.h"

#include "ViewerOptions.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace testsupport;

namespace {

// The simulator as a child process, appearing at a link of the test's choice.
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
    viewer.start(qEnvironmentVariable("FRAMESCOPE"), arguments);
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

} // namespace

class tst_options : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startRunsWithoutAPress();
    void badCommandLineIsRefused_data();
    void badCommandLineIsRefused();
    void helpAndVersionNeedNoDisplay();

private:
    int shown() const { return window->iTotalFramesShown + window->iFramesShown; }
    void apply(const QStringList &arguments);

    std::unique_ptr<PortDirectory> ports;
    std::unique_ptr<MainWindow> window;
};

void tst_options::initTestCase()
{
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE_SIM")).isExecutable());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE")).isExecutable());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
}

void tst_options::init()
{
    window.reset(new MainWindow);
    ResetReceiver(*window);
    f_Acknowledge = true;
}

void tst_options::cleanup()
{
    if (window->fdSerial > 0)
        close(window->fdSerial);
    window.reset();
}

// Parses and applies a command line the way the program's entry does.
void tst_options::apply(const QStringList &arguments)
{
    ViewerOptions options;
    QString error;
    QVERIFY2(ParseViewerOptions(QStringList() << "framescope" << arguments, options, error),
             qPrintable(error));
    ApplyViewerOptions(options, *window);
}

// --start: frames appear with nobody touching Start; Stop ends the run as
// designed, and Start and Exit work as before afterwards.
void tst_options::startRunsWithoutAPress()
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

void tst_options::badCommandLineIsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "framescope: Unknown option 'bogus'.";
    QTest::newRow("value for a flag") << QStringList{"--start=yes"}
                                      << "framescope: Unexpected value after '--start'.";
    QTest::newRow("stray argument") << QStringList{"--start", "now"}
                                    << "framescope: unexpected argument 'now'";
}

// Refused before a window exists: status 2, the reason and the usage on
// standard error. Qt's own options around them are taken as usual.
void tst_options::badCommandLineIsRefused()
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

// A technician asks over ssh: no display, no platform, still an answer.
void tst_options::helpAndVersionNeedNoDisplay()
{
    QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        bare.remove(QString::fromLatin1(name));

    const ViewerRun help = RunViewer(QStringList() << "--help", bare);
    QVERIFY2(help.exited, qPrintable(help.err));
    QCOMPARE(help.status, 0);
    QVERIFY(help.out.contains("Usage: "));
    QVERIFY(help.out.contains("--start"));

    const ViewerRun version = RunViewer(QStringList() << "-platform" << "xcb" << "--version", bare);
    QVERIFY2(version.exited, qPrintable(version.err));
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, QString("framescope 1.1\n"));
}

QTEST_MAIN(tst_options)
#include "tst_options.moc"
