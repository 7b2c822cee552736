// The acquisition loop and the one-second tick: button states and timer of a
// run, the cycle's three workers in order, the stop handshake, the wind-down,
// the readouts, and what happens when a worker thread cannot be created or
// joined. This executable is linked with pthread_create and pthread_join
// wrapped, so that the program's workers can be counted and made to fail.

#include "testsupport.h"

#include "Serial.h"
#include "Threads.h"
#include "WindowCommand.h"
#include "mainwindow.h"
#include "ui_WindowCommand.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

// ---- The wrapped thread functions -------------------------------------------

extern "C" {
int __real_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
int __real_pthread_join(pthread_t, void **);
int __wrap_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
int __wrap_pthread_join(pthread_t, void **);
}

namespace {

// One pthread_create call of the program.
struct CreateCall {
    pthread_t *handle;
    void *(*entry)(void *);
    bool attributes;
    bool failed;
};

// Only the GUI thread creates workers; the mutex keeps the record sound anyway.
QMutex gRecordMutex;
QList<CreateCall> gCreates;
int gJoins = 0;
int gJoinsOfFailedCreates = 0;
QList<pthread_t> gCreatedThreads;

// Creation of workers for this entry fails with EAGAIN (any entry if
// gFailAllCreates); joining fails with EINVAL while gFailJoin is set.
std::atomic<void *(*)(void *)> gFailCreateFor{nullptr};
std::atomic<bool> gFailAllCreates{false};
std::atomic<bool> gFailJoin{false};
// In the child process, every create is reported on the error output.
std::atomic<bool> gReportCreates{false};
// Set once a join has been made to fail.
std::atomic<bool> gJoinFailed{false};

void ResetRecord()
{
    QMutexLocker lock(&gRecordMutex);
    gCreates.clear();
    gCreatedThreads.clear();
    gJoins = 0;
    gJoinsOfFailedCreates = 0;
}

int CreateCount()
{
    QMutexLocker lock(&gRecordMutex);
    return gCreates.size();
}

} // namespace

extern "C" int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                                     void *(*entry)(void *), void *argument)
{
    const bool fail = gFailAllCreates.load() || (gFailCreateFor.load() != nullptr && gFailCreateFor.load() == entry);
    if (gReportCreates.load()) {
        if (gJoinFailed.load()) {
            // The program went on after a failed join: end the child now
            // rather than let it run forever.
            fprintf(stderr, "worker created after a failed join\n");
            _Exit(3);
        }
        fprintf(stderr, "worker created\n");
    }
    int result = EAGAIN;
    if (!fail)
        result = __real_pthread_create(thread, attributes, entry, argument);
    QMutexLocker lock(&gRecordMutex);
    gCreates.append({thread, entry, attributes != nullptr, fail});
    if (result == 0)
        gCreatedThreads.append(*thread);
    return result;
}

extern "C" int __wrap_pthread_join(pthread_t thread, void **result)
{
    {
        QMutexLocker lock(&gRecordMutex);
        ++gJoins;
        bool known = false;
        for (const pthread_t &created : gCreatedThreads)
            known = known || pthread_equal(created, thread);
        if (!known)
            ++gJoinsOfFailedCreates;
    }
    if (gFailJoin.load()) {
        // The worker is waited for all the same, so that the child process
        // ends with nothing running; the program is told that joining failed.
        __real_pthread_join(thread, result);
        gJoinFailed = true;
        return EINVAL;
    }
    return __real_pthread_join(thread, result);
}

namespace {

const char kJoinChild[] = "--child-join-failure";

QString FrameTime(int total, int seconds)
{
    return QStringLiteral("%1 frames shown\nin %2s").arg(total).arg(seconds);
}

// Gives the window a port the way discovery does: the pty's slave, opened and
// configured by the program's own connect function.
bool Attach(MainWindow &w, const testsupport::Pty &pty)
{
    QByteArray path = pty.slavePath();
    if (ConnectToSerial_0(&w.fdSerial, path.data()) != SERIAL_CONNECTED)
        return false;
    qstrncpy(w.pPortName, path.constData(), PORT_NAME_SIZE);
    return true;
}

void Detach(MainWindow &w)
{
    if (w.fdSerial > 0)
        close(w.fdSerial);
    w.fdSerial = 0;
}

// Writes frames to the pty's master without ever blocking the loop.
class Feeder
{
public:
    explicit Feeder(const testsupport::Pty &pty) : fd(pty.masterFd()) {}
    void queue(const QByteArray &bytes) { pending.append(bytes); }
    void pump()
    {
        while (!pending.isEmpty()) {
            const ssize_t n = write(fd, pending.constData(), static_cast<size_t>(pending.size()));
            if (n <= 0)
                return;
            pending.remove(0, static_cast<int>(n));
        }
    }
    bool idle() const { return pending.isEmpty(); }

private:
    int fd;
    QByteArray pending;
};

// Failures to create a worker are reported once per streak, and the streak
// outlives a run: one cycle with working workers ends any streak left over.
void EndFailureStreak(MainWindow &w)
{
    w.bStop = true;
    QTest::mouseClick(w.ui->pushButton_Start, Qt::LeftButton);
    ResetRecord();
}

QByteArray GreyFrame(int level)
{
    return testsupport::WireFrame(testsupport::RawFrame([level](int i) { return (level + i) & 0x3FFF; }));
}

// ---- Child: a worker that cannot be joined ----------------------------------

int JoinFailureChild(int argc, char **argv)
{
    static QByteArray pattern = QByteArray(argv[2]) + "/ttyUSB%d";
    QApplication application(argc, argv);
    if (!SetPortPattern(pattern.constData()))
        return 40;
    MainWindow window;
    gReportCreates = true;
    gFailJoin = true;
    QTest::mouseClick(window.ui->pushButton_Start, Qt::LeftButton);
    fprintf(stderr, "run returned\n");
    return 0;
}

} // namespace

class TestAcquisition : public QObject
{
    Q_OBJECT

private:
    testsupport::PortDirectory portDir;

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void runStatesAndTimer();
    void cycleRunsThreeWorkersInOrder();
    void stopBeforeFirstRun();
    void stopLetsCycleFinish();
    void windDown();
    void noProbeUntilRunTick();
    void tickTexts();
    void tickDuringRun();
    void framesCountedInReadouts();
    void workerNotCreated();
    void workerNotCreatedPerStep_data();
    void workerNotCreatedPerStep();
    void workerNotJoined();
};

void TestAcquisition::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
    QVERIFY(portDir.isActive());
}

void TestAcquisition::init()
{
    ResetRecord();
    gFailCreateFor = nullptr;
    gFailAllCreates = false;
    gFailJoin = false;
    f_Acknowledge = true;
}

void TestAcquisition::cleanup()
{
    gFailCreateFor = nullptr;
    gFailAllCreates = false;
    QCOMPARE(pMainWindow, static_cast<MainWindow *>(nullptr));
}

void TestAcquisition::runStatesAndTimer()
{
    MainWindow w;
    Ui_MainWindow *ui = w.ui;
    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(ui->pushButton_Stop->isEnabled());
    QVERIFY(!w.pTimer1s->isActive());

    bool sawRunning = false;
    bool statesHeld = true;
    const bool reached = testsupport::RunUntil(
        w, [&] { return CreateCount() >= 9; }, 10000,
        [&] {
            sawRunning = true;
            statesHeld = statesHeld && !ui->pushButton_Start->isEnabled() && ui->pushButton_Stop->isEnabled()
                         && w.pTimer1s->isActive() && w.pTimer1s->interval() == 1000
                         && !w.pTimer1s->isSingleShot() && !w.bStopped;
        });
    QVERIFY(reached);
    QVERIFY(sawRunning);
    QVERIFY(statesHeld);

    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(!ui->pushButton_Stop->isEnabled());
    QVERIFY(!w.pTimer1s->isActive());
    QVERIFY(!w.bStop);
    QVERIFY(!w.bStopped);

    // Stop is disabled after a run: pressing it requests nothing.
    QTest::mouseClick(ui->pushButton_Stop, Qt::LeftButton);
    QVERIFY(!w.bStop);

    // A second run behaves the same.
    statesHeld = true;
    sawRunning = false;
    ResetRecord();
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 6; }, 10000, [&] {
        sawRunning = true;
        statesHeld = statesHeld && !ui->pushButton_Start->isEnabled() && ui->pushButton_Stop->isEnabled()
                     && w.pTimer1s->isActive();
    }));
    QVERIFY(sawRunning);
    QVERIFY(statesHeld);
    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(!ui->pushButton_Stop->isEnabled());
    QVERIFY(!w.pTimer1s->isActive());
}

// Every cycle creates and joins the receive, reference and conversion
// workers, in that order, with default attributes and their own handles.
void TestAcquisition::cycleRunsThreeWorkersInOrder()
{
    MainWindow w;
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 12; }));
    QMutexLocker lock(&gRecordMutex);
    QVERIFY(gCreates.size() >= 12);
    QCOMPARE(gCreates.size() % 3, 0);
    void *(*const entries[])(void *) = {fn_thread_GetDataFromSerial, fn_thread_TakeReferenceImage,
                                         fn_thread_ProcessImage};
    pthread_t *const handles[] = {&pthread_GetData, &pthread_TakeReferenceImage, &pthread_ProcessImage};
    for (int i = 0; i < gCreates.size(); ++i) {
        QVERIFY(gCreates[i].entry == entries[i % 3]);
        QVERIFY(gCreates[i].handle == handles[i % 3]);
        QVERIFY(!gCreates[i].attributes);
    }
    QCOMPARE(gJoins, gCreates.size());
    QCOMPARE(gJoinsOfFailedCreates, 0);
}

void TestAcquisition::stopBeforeFirstRun()
{
    MainWindow w;
    QVERIFY(w.ui->pushButton_Stop->isEnabled());
    QTest::mouseClick(w.ui->pushButton_Stop, Qt::LeftButton);
    QVERIFY(w.bStop);

    QTest::mouseClick(w.ui->pushButton_Start, Qt::LeftButton);

    // Exactly one cycle: its three workers and no more.
    QCOMPARE(CreateCount(), 3);
    QVERIFY(w.ui->pushButton_Start->isEnabled());
    QVERIFY(!w.ui->pushButton_Stop->isEnabled());
    QVERIFY(!w.pTimer1s->isActive());
    QVERIFY(!w.bStop);
    QVERIFY(!w.bStopped);

    // The next run goes on until it is stopped.
    ResetRecord();
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 15; }));
    QVERIFY(CreateCount() >= 15);
}

// Stop released in the middle of a run: the cycle under way finishes every
// step, including sending a pending command, and no other cycle begins.
void TestAcquisition::stopLetsCycleFinish()
{
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    MainWindow w;
    QVERIFY(Attach(w, pty));
    pty.received();
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(w.pWindowCommand->isVisible());

    int createsAtStop = -1;
    const bool reached = testsupport::RunUntil(w, [&] {
        if (CreateCount() < 9)
            return false;
        // A proxy command becomes due in the cycle that sees the stop.
        w.pWindowCommand->ui->lineEdit_Command->setText(QStringLiteral("!2wxyz"));
        QTest::mouseClick(w.pWindowCommand->ui->pushButton_Send_Proxy, Qt::LeftButton);
        createsAtStop = CreateCount();
        return true;
    });
    QVERIFY(reached);
    QVERIFY(createsAtStop >= 9);
    QCOMPARE(CreateCount(), createsAtStop + 3);
    QCOMPARE(pty.received(), QByteArray("!2wxyz"));
    QVERIFY(!w.bSendProxyCommand);
    QVERIFY(w.ui->pushButton_Start->isEnabled());
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    Detach(w);
}

void TestAcquisition::windDown()
{
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    MainWindow w;
    Ui_MainWindow *ui = w.ui;
    QVERIFY(Attach(w, pty));
    const int fd = w.fdSerial;

    // State a run leaves behind: a reference, correction on, a picture, a rate.
    ui->checkBox_ApplyNUC->setEnabled(true);
    ui->checkBox_ApplyNUC->setChecked(true);
    QVERIFY(w.bApplyNUC);
    ui->pushButton_TakeFPN->setEnabled(true);
    memset(w.pRawFrame1, 0x11, RAW_FRAME_SIZE);
    memset(w.pRawFrame2, 0x22, RAW_FRAME_SIZE);
    memset(w.pRefFrame, 0x33, RAW_FRAME_SIZE);
    memset(w.pImage8, 0x44, FRAME_PIXELS);
    iErrorFrame = 7;
    QPixmap picture(504, 480);
    picture.fill(Qt::gray);
    ui->DisplayImage->setPixmap(picture);
    ui->label_FrameRate->setText(QStringLiteral("25FPS"));
    ui->label_Frame_Time->setText(FrameTime(250, 10));

    bool during = false;
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 6; }, 10000, [&] { during = true; }));
    QVERIFY(during);

    QCOMPARE(iErrorFrame, -1);
    QVERIFY(testsupport::AllZero(w.pRawFrame1, RAW_FRAME_SIZE));
    QVERIFY(testsupport::AllZero(w.pRawFrame2, RAW_FRAME_SIZE));
    QVERIFY(testsupport::AllZero(w.pRefFrame, RAW_FRAME_SIZE));
    QVERIFY(testsupport::AllZero(w.pImage8, FRAME_PIXELS));
    QVERIFY(!w.pixLogo.isNull());
    QCOMPARE(testsupport::ShownPixmap(ui->DisplayImage).toImage(), w.pixLogo.toImage());
    QCOMPARE(ui->label_FrameRate->text(), QString());
    QCOMPARE(ui->label_Frame_Time->text(), FrameTime(250, 10)); // no tick in this short run
    QVERIFY(!ui->checkBox_ApplyNUC->isChecked());
    QVERIFY(!ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(!w.bApplyNUC);
    QVERIFY(ui->pushButton_TakeFPN->isEnabled()); // keeps its state
    QVERIFY(!w.bStop);
    QVERIFY(!w.bStopped);
    // The port stays open across the end of a run.
    QCOMPARE(w.fdSerial, fd);
    QVERIFY(fcntl(fd, F_GETFD) != -1);
    Detach(w);
}

// Nothing looks for the device before a run, and the first look comes with
// the run's first tick; the port then stays open after the run.
void TestAcquisition::noProbeUntilRunTick()
{
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    const QString link = portDir.node(0);
    QVERIFY(QFile::link(QString::fromLocal8Bit(pty.slavePath()), link));
    struct Unlink {
        QString path;
        ~Unlink() { QFile::remove(path); }
    } unlinkLater{link};

    MainWindow w;
    QTest::qWait(1200);
    QCOMPARE(w.fdSerial, 0);
    QVERIFY(!w.pTimer1s->isActive());

    int secondsAtConnection = -1;
    QString rateAtConnection;
    const bool reached = testsupport::RunUntil(w, [&] {
        if (w.fdSerial == 0)
            return false;
        secondsAtConnection = w.iSecondsElapsed;
        rateAtConnection = w.ui->label_FrameRate->text();
        return true;
    }, 5000);
    QVERIFY(reached);
    // Connected by the tick, which then wrote the rate of an open port.
    QCOMPARE(secondsAtConnection, 1);
    QCOMPARE(rateAtConnection, QStringLiteral("0FPS"));
    QVERIFY(w.fdSerial > 0);
    QVERIFY(fcntl(w.fdSerial, F_GETFD) != -1);
    Detach(w);
}

// The tick's arithmetic and texts, one tick at a time.
void TestAcquisition::tickTexts()
{
    MainWindow w;
    Ui_MainWindow *ui = w.ui;
    const QString caption = ui->label_FrameRate->text();
    QCOMPARE(caption, QStringLiteral("FrameRate Image Serial"));

    // No port: the rate keeps the caption, the time readout advances.
    iErrorFrame = -1;
    QVERIFY(QMetaObject::invokeMethod(&w, "Timer1s_Timeout"));
    QCOMPARE(ui->label_FrameRate->text(), caption);
    QCOMPARE(ui->label_Frame_Time->text(), FrameTime(0, 1));
    QCOMPARE(iErrorFrame, -1);

    w.iFramesShown = 7;
    QVERIFY(QMetaObject::invokeMethod(&w, "Timer1s_Timeout"));
    QCOMPARE(ui->label_FrameRate->text(), caption);
    QCOMPARE(ui->label_Frame_Time->text(), FrameTime(7, 2));
    QCOMPARE(w.iFramesShown, 0);
    QCOMPARE(w.iTotalFramesShown, 7);
    QCOMPARE(w.iSecondsElapsed, 2);
    QCOMPARE(iErrorFrame, 0); // frames are being shown: the bad-frame count starts

    // A port open: the rate readout shows the frames of the last second.
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    QVERIFY(Attach(w, pty));
    iErrorFrame = 3;
    w.iFramesShown = 25;
    QVERIFY(QMetaObject::invokeMethod(&w, "Timer1s_Timeout"));
    QCOMPARE(ui->label_FrameRate->text(), QStringLiteral("25FPS"));
    QCOMPARE(ui->label_Frame_Time->text(), FrameTime(32, 3));
    QCOMPARE(iErrorFrame, 3);
    QVERIFY(QMetaObject::invokeMethod(&w, "Timer1s_Timeout"));
    QCOMPARE(ui->label_FrameRate->text(), QStringLiteral("0FPS"));
    QCOMPARE(ui->label_Frame_Time->text(), FrameTime(32, 4));
    Detach(w);
}

// Ticks of a real run: totals restart at Start, the first tick writes 1s, the
// rate readout keeps its caption while no port is open, and the time readout
// keeps the run's totals afterwards.
void TestAcquisition::tickDuringRun()
{
    MainWindow w;
    Ui_MainWindow *ui = w.ui;
    w.iSecondsElapsed = 50;
    w.iTotalFramesShown = 99;
    w.iFramesShown = 5;

    QString rateAtFirstTick;
    QString timeAtFirstTick;
    const bool reached = testsupport::RunUntil(w, [&] {
        if (w.iSecondsElapsed < 1)
            return false;
        rateAtFirstTick = ui->label_FrameRate->text();
        timeAtFirstTick = ui->label_Frame_Time->text();
        return true;
    }, 5000);
    QVERIFY(reached);
    QCOMPARE(timeAtFirstTick, FrameTime(0, 1));
    QCOMPARE(rateAtFirstTick, QStringLiteral("FrameRate Image Serial"));
    QCOMPARE(ui->label_Frame_Time->text(), FrameTime(0, 1));
    QCOMPARE(ui->label_FrameRate->text(), QString());
    QCOMPARE(w.fdSerial, 0);
    QVERIFY(!w.pTimer1s->isActive());
}

// Frames shown during a run reach both readouts with the same count.
void TestAcquisition::framesCountedInReadouts()
{
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    MainWindow w;
    Ui_MainWindow *ui = w.ui;
    testsupport::ResetReceiver(w);
    QVERIFY(Attach(w, pty));
    Feeder feeder(pty);

    int level = 0;
    int shownBeforeTick = 0;
    QString rate;
    QString time;
    const bool reached = testsupport::RunUntil(
        w,
        [&] {
            if (w.iSecondsElapsed < 1) {
                shownBeforeTick = w.iFramesShown;
                return false;
            }
            rate = ui->label_FrameRate->text();
            time = ui->label_Frame_Time->text();
            return true;
        },
        5000,
        [&] {
            if (feeder.idle())
                feeder.queue(GreyFrame(level += 64));
            feeder.pump();
        });
    QVERIFY(reached);
    QVERIFY2(shownBeforeTick > 0, "frames were shown during the first second");
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^(\\d+)FPS$")).match(rate);
    QVERIFY2(match.hasMatch(), qPrintable(rate));
    const int perSecond = match.captured(1).toInt();
    QVERIFY(perSecond >= shownBeforeTick);
    QCOMPARE(time, FrameTime(perSecond, 1));
    Detach(w);
}

// No worker can be created: every step runs on the GUI thread, the frames
// still come through, and one line reports the streak.
void TestAcquisition::workerNotCreated()
{
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    MainWindow w;
    testsupport::ResetReceiver(w);
    QVERIFY(Attach(w, pty));
    Feeder feeder(pty);
    feeder.queue(GreyFrame(1000));
    feeder.queue(GreyFrame(3000));

    EndFailureStreak(w);
    testsupport::LogCapture log;
    gFailAllCreates = true;
    int shown = 0;
    QSize pictureSize;
    const bool reached = testsupport::RunUntil(
        w,
        [&] {
            shown += w.iFramesShown;
            w.iFramesShown = 0;
            pictureSize = testsupport::ShownPixmap(w.ui->DisplayImage).size();
            return shown >= 2 && CreateCount() >= 30;
        },
        10000, [&] { feeder.pump(); });
    gFailAllCreates = false;
    QVERIFY(reached);
    // Received, verified, converted and displayed without a single worker.
    QCOMPARE(pictureSize, QSize(504, 480));

    const QString line = QStringLiteral("Worker for receive not created: %1 - running it on the GUI thread")
                             .arg(QString::fromLocal8Bit(strerror(EAGAIN)));
    QCOMPARE(log.count(line), 1);
    const QStringList all = log.lines();
    for (const QString &l : all)
        QVERIFY2(!l.contains(QStringLiteral("not created")) || l == line, qPrintable(l));
    {
        QMutexLocker lock(&gRecordMutex);
        QCOMPARE(gJoins, 0); // nothing that was never created is joined
    }

    // Workers come back; a later streak of failures is reported again.
    log.clear();
    ResetRecord();
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 6; }));
    QCOMPARE(log.count(line), 0);
    {
        QMutexLocker lock(&gRecordMutex);
        QCOMPARE(gJoins, gCreates.size());
    }
    gFailAllCreates = true;
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 18; }));
    gFailAllCreates = false;
    QCOMPARE(log.count(line), 1);
    EndFailureStreak(w);
    Detach(w);
}

void TestAcquisition::workerNotCreatedPerStep_data()
{
    QTest::addColumn<QString>("step");
    QTest::newRow("receive") << QStringLiteral("receive");
    QTest::newRow("reference") << QStringLiteral("reference");
    QTest::newRow("conversion") << QStringLiteral("conversion");
}

// Only one step's worker fails: the other two succeed in between, so each
// cycle is a new streak and reports it once.
void TestAcquisition::workerNotCreatedPerStep()
{
    QFETCH(QString, step);
    void *(*entry)(void *) = step == QLatin1String("receive")     ? fn_thread_GetDataFromSerial
                             : step == QLatin1String("reference") ? fn_thread_TakeReferenceImage
                                                                  : fn_thread_ProcessImage;
    MainWindow w;
    EndFailureStreak(w);
    testsupport::LogCapture log;
    gFailCreateFor = entry;
    QVERIFY(testsupport::RunUntil(w, [&] { return CreateCount() >= 12; }));
    gFailCreateFor = nullptr;

    int cycles = 0;
    int failed = 0;
    {
        QMutexLocker lock(&gRecordMutex);
        cycles = gCreates.size() / 3;
        for (const CreateCall &call : gCreates)
            failed += call.failed ? 1 : 0;
        QCOMPARE(gJoinsOfFailedCreates, 0);
        QCOMPARE(gJoins, gCreates.size() - failed);
    }
    QCOMPARE(failed, cycles);
    const QString line = QStringLiteral("Worker for %1 not created: %2 - running it on the GUI thread")
                             .arg(step, QString::fromLocal8Bit(strerror(EAGAIN)));
    QCOMPARE(log.count(line), cycles);
}

// A worker that cannot be joined may still be running: the program stops at
// once, before any further step, with status 1.
void TestAcquisition::workerNotJoined()
{
    QTemporaryDir ports;
    QVERIFY(ports.isValid());
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    asan += asan.isEmpty() ? QStringLiteral("detect_leaks=0") : QStringLiteral(":detect_leaks=0");
    environment.insert(QStringLiteral("ASAN_OPTIONS"), asan);
    child.setProcessEnvironment(environment);
    testsupport::StartThisProgram(child, {QString::fromLatin1(kJoinChild), ports.path()});
    QVERIFY(child.waitForStarted(10000));
    QVERIFY(child.waitForFinished(120000));
    const QByteArray errors = child.readAllStandardError();
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.exitCode() == 1, errors.constData());
    const QStringList lines = QString::fromLocal8Bit(errors).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString line = QStringLiteral("Worker for receive could not be joined: %1 - framescope stops")
                             .arg(QString::fromLocal8Bit(strerror(EINVAL)));
    QVERIFY2(lines.contains(line), errors.constData());
    QCOMPARE(lines.count(QStringLiteral("worker created")), 1);
    QVERIFY2(!lines.contains(QStringLiteral("run returned")), errors.constData());
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], kJoinChild) == 0)
        return JoinFailureChild(argc, argv);
    QApplication application(argc, argv);
    application.setAttribute(Qt::AA_Use96Dpi, true);
    TestAcquisition test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_acquisition.moc"
