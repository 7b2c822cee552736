// Keeping what the operator saw, through a pseudo-terminal, the simulator
// and the real program: snapshots and their failures, a reference kept across
// Stop and a restart, bad reference files, the averaged reference.
#include "testsupport.h"

#include "keep/PictureArea.h"
#include "keep/RawPicture.h"
#include "keep/ReferenceStore.h"
#include "keep/SignalNotifier.h"
#include "keep/SnapshotController.h"
#include "ui_SnapshotControls.h"
#include "ui_SnapshotNotice.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QProcess>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <memory>
#include <mutex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QString NoticeOf(const MainWindow &window)
{
    return window.pSnapshots->notice->label_Notice->text();
}

QImage Opaque(const QImage &picture)
{
    return picture.convertToFormat(QImage::Format_RGB32);
}

QByteArray Bytes(const unsigned char *block, int size = RAW_FRAME_SIZE)
{
    return QByteArray(reinterpret_cast<const char *>(block), size);
}

// What the correction leaves of an even scene: the root mean square of
// sample - reference over the frame.
double Residual(const unsigned char *frame, const unsigned char *ref)
{
    double squares = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int d = DecodeSample(frame, i) - DecodeSample(ref, i);
        squares += double(d) * d;
    }
    return std::sqrt(squares / FRAME_PIXELS);
}

} // namespace

class TestKeep : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void snapshotKeepsTheFrameAndThePicture_data();
    void snapshotKeepsTheFrameAndThePicture();
    void twoSnapshotsInOneMillisecond();
    void writerRunsQueuedJobsInOrder();
    void snapshotOutcomeReachesTheWindow();
    void failedSnapshotLeavesNoFile_data();
    void failedSnapshotLeavesNoFile();
    void referenceSurvivesStopAndRestart();
    void badReferenceFileIsRefused_data();
    void badReferenceFileIsRefused();
    void averageCountsEachFrameOnce();
    void averagedReferenceLeavesLessNoise();
    void signalNotifiersKeepToTheirSignals_data();
    void signalNotifiersKeepToTheirSignals();
    void threadsLeaveSignalsToTheirMaker_data();
    void threadsLeaveSignalsToTheirMaker();

private:
    void apply(const QStringList &arguments);
    int shown() const { return window->iTotalFramesShown + window->iFramesShown; }

    QTemporaryDir files;
    std::unique_ptr<MainWindow> window;
};

void TestKeep::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE_SIM")).isExecutable());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE")).isExecutable());
    QVERIFY(files.isValid());
}

void TestKeep::init()
{
    window.reset(new MainWindow);
    ResetReceiver(*window);
}

void TestKeep::cleanup()
{
    EndWindow(window, -1);
}

void TestKeep::apply(const QStringList &arguments)
{
    ApplyOrFail(*window, arguments);
}

void TestKeep::snapshotKeepsTheFrameAndThePicture_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QStringList>("view");
    QTest::newRow("button") << "button" << QStringList();
    QTest::newRow("key S") << "key" << QStringList();
    QTest::newRow("SIGUSR1") << "signal" << QStringList();
    // What is shown is kept as shown; the raw file stays in the sensor's orientation.
    QTest::newRow("iron, turned and mirrored")
        << "button" << QStringList{"--palette", "iron", "--range", "auto", "--rotate", "90", "--mirror"};
}

// A known frame through the pseudo-terminal, a snapshot of it: the raw file
// reads back as the frame sent, with its checksum; the other file is the grab
// of the picture. Before any picture there is nothing to keep.
void TestKeep::snapshotKeepsTheFrameAndThePicture()
{
    QFETCH(QString, trigger);
    QFETCH(QStringList, view);
    const QString dir = files.filePath(QString("snapshots-%1").arg(QTest::currentDataTag()));
    apply(QStringList{"--snapshot-dir", dir} + view);
    QTest::mouseClick(window->pSnapshots->ui->pushButton_Snapshot, Qt::LeftButton);
    QCOMPARE(NoticeOf(*window), QString("Snapshot not taken: no picture shown"));

    FakeAdapter adapter;
    QVERIFY(adapter.ok);
    // Every sample a different value, 0 and 16383 among them.
    const QByteArray frame = RawFrame([](int i) { return i == 1 ? 16383 : (i * 7919) & 0x3FFF; });
    bool bSent = false;
    QImage grab;
    // Running until the snapshot is written: a Stop would bring the logo back.
    RunUntil(*window, [&] { return NoticeOf(*window).startsWith("Snapshot written: "); }, 20000, [&] {
        if (!bSent && window->fdSerial > 0) {
            bSent = adapter.pty.send(WireFrame(frame));
        } else if (bSent && grab.isNull() && shown() == 1) {
            if (trigger == "button")
                QTest::mouseClick(window->pSnapshots->ui->pushButton_Snapshot, Qt::LeftButton);
            else if (trigger == "key")
                QTest::keyClick(window.get(), Qt::Key_S);
            else
                raise(SIGUSR1);
            grab = Opaque(GrabPictureArea(window->ui->DisplayImage));
        }
    });

    const QString name = NoticeOf(*window).mid(18).chopped(4); // "Snapshot written: <name>.png"
    QVERIFY2(QRegularExpression("^framescope-\\d{8}-\\d{6}-\\d{3}$").match(name).hasMatch(), qPrintable(name));
    QCOMPARE(FilesIn(dir), QStringList() << name + "-raw.png" << name + ".png");
    unsigned char raw[RAW_FRAME_SIZE];
    QString reason;
    QVERIFY2(ReadRawPicture(dir + "/" + name + "-raw.png", raw, reason), qPrintable(reason));
    QCOMPARE(Bytes(raw), frame);
    const QImage facts(dir + "/" + name + "-raw.png");
    QCOMPARE(QStringList() << facts.text("Checksum") << facts.text("Correction") << facts.text("Gain")
                           << facts.text("Offset") << facts.text("Time").left(11),
             QStringList() << QString::number(SumOf(frame), 16) << "off" << "1" << "0"
                           << QDateTime::currentDateTime().toString("yyyy-MM-ddT"));
    QCOMPARE(grab.size(), QSize(504, 480));
    QCOMPARE(Opaque(QImage(dir + "/" + name + ".png")), grab);
    QCOMPARE(grab.allGray(), view.isEmpty());
}

// The same millisecond three times: three pairs of files, none overwritten.
void TestKeep::twoSnapshotsInOneMillisecond()
{
    const QString dir = files.filePath("same-millisecond");
    const QDateTime taken = QDateTime::currentDateTime();
    const QImage raw(84, 80, QImage::Format_Grayscale16);
    QStringList shownFiles;
    for (int n = 0; n < 3; ++n) {
        QImage shown(504, 480, QImage::Format_RGB32);
        shown.fill(QColor(n * 100, 0, 0));
        const SnapshotOutcome outcome = WriteSnapshot(dir, taken, shown, raw);
        QVERIFY2(outcome.bWritten, qPrintable(outcome.reason));
        shownFiles << QFileInfo(outcome.path).fileName();
    }
    const QString name = SnapshotName(taken);
    QCOMPARE(shownFiles, QStringList() << name + ".png" << name + "-2.png" << name + "-3.png");
    QCOMPARE(FilesIn(dir).size(), 6);
    for (int n = 0; n < 3; ++n)
        QCOMPARE(QImage(dir + "/" + shownFiles[n]).pixelColor(0, 0), QColor(n * 100, 0, 0));
}

// Jobs handed over while the writer is busy with an earlier one run after it,
// in order, each with what it was given; the writer's end waits for them.
// The first job holds the writer until all are queued. Its gate is relaxed
// on purpose: only the writer's own hand-over may order what the later jobs
// read, so that ThreadSanitizer sees whether it does.
void TestKeep::writerRunsQueuedJobsInOrder()
{
    std::atomic<bool> bQueued{false};
    std::mutex lock;
    std::vector<int> ran;
    {
        BackgroundWriter writer;
        for (int n = 0; n < 8; ++n) {
            const std::vector<int> given(64, n);
            writer.Run([&, n, given] {
                while (n == 0 && !bQueued.load(std::memory_order_relaxed))
                    QThread::msleep(1);
                const bool bWhole = std::all_of(given.begin(), given.end(), [n](int v) { return v == n; });
                std::lock_guard<std::mutex> held(lock);
                ran.push_back(bWhole ? n : -1);
            });
        }
        bQueued.store(true, std::memory_order_relaxed);
    }
    QCOMPARE(ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

// The writer's outcome reaches the window through the posted events alone.
// They are sent here without the event loop: its wake-up through the
// dispatcher's descriptor would order the hand-over by itself as far as
// ThreadSanitizer can tell, but only now and then.
void TestKeep::snapshotOutcomeReachesTheWindow()
{
    const QString dir = files.filePath("posted");
    window->pSnapshots->SetSnapshotDirectory(dir);
    const QByteArray frame = RawFrame([](int i) { return i; });
    const std::shared_ptr<ShownFrame> shown = std::make_shared<ShownFrame>();
    memcpy(shown->raw.data(), frame.constData(), RAW_FRAME_SIZE);
    window->pSnapshots->FrameShown(shown);
    window->pSnapshots->ui->pushButton_Snapshot->click();
    QElapsedTimer waited;
    waited.start();
    while (!NoticeOf(*window).startsWith("Snapshot ") && waited.elapsed() < 20000) {
        QThread::msleep(10);
        QCoreApplication::sendPostedEvents(window->pSnapshots, QEvent::MetaCall);
    }
    const QStringList written = FilesIn(dir);
    QCOMPARE(written.size(), 2);
    QCOMPARE(NoticeOf(*window), "Snapshot written: " + written.last());
}

void TestKeep::failedSnapshotLeavesNoFile_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("limit"); // ulimit -f, in KiB
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("blocked");     // the directory cannot be made by anyone, root included
    QTest::addColumn<QStringList>("left"); // all that the row's own directory holds afterwards
    // Under a regular file: permission bits would not stop root, a file does.
    QTest::newRow("unwritable directory") << "a-file/snapshots" << "unlimited" << "Not a directory" << true
                                          << QStringList{"a-file"};
    QTest::newRow("full disk") << "full" << "1" << "File too large" << false << QStringList{"a-file", "full"};
}

// The real program on SIGUSR1, where the directory cannot be made or every
// file is cut off at 1 KiB as on a full card (the program ignores SIGXFSZ,
// so a write fails with EFBIG): one line naming the file and the reason per snapshot,
// each one tried again, no file left anywhere around the directory, not even
// half of one or a temporary one, and frames go on being shown.
void TestKeep::failedSnapshotLeavesNoFile()
{
    QFETCH(QString, dir);
    QFETCH(QString, limit);
    QFETCH(QString, reason);
    QFETCH(bool, blocked);
    QFETCH(QStringList, left);
    const QString tag = QTest::currentDataTag();
    // A directory of the row's own, so that anything written beside the
    // snapshot directory shows up in its listing.
    const QString root = files.filePath(QString(tag).replace(' ', '-'));
    QVERIFY(QDir().mkpath(root));
    dir = root + "/" + dir;
    QFile blocker(root + "/a-file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    if (blocked) {
        // As the test runs (root in CI), so for the viewer too.
        QVERIFY(!QDir().mkpath(dir));
        QFile probe(dir + "/probe");
        QVERIFY(!probe.open(QIODevice::WriteOnly));
    }
    const QString link = files.filePath("tty-" + tag);
    Simulator sim(link, {});
    QVERIFY(sim.started());
    QTRY_VERIFY(QFileInfo::exists(link));

    QProcess viewer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_LOGGING_RULES", "framescope.frames.debug=true");
    viewer.setProcessEnvironment(environment);
    QStringList command; // as StartBuiltProgram would start it
    if (!qEnvironmentVariable("FRAMESCOPE_EMULATOR").isEmpty())
        command << qEnvironmentVariable("FRAMESCOPE_EMULATOR");
    command << qEnvironmentVariable("FRAMESCOPE") << "--start" << "--device" << link << "--snapshot-dir" << dir;
    viewer.start("bash", QStringList() << "-c" << "ulimit -f " + limit + "; exec \"$@\""
                                       << "bash" << command);
    QVERIFY(viewer.waitForStarted(5000));
    QString log;
    const auto framesAfter = [&](int failures) {
        log += QString::fromLocal8Bit(viewer.readAllStandardError());
        const QStringList after = log.split(" not written: " + reason + "\n");
        return after.size() > failures ? after.last().count("framescope.frames: shown ") : -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(framesAfter(0) >= 2, 20000);
    // To the main thread, whose number is the process's: a signal for the
    // process may land on a worker of the cycle, and under ThreadSanitizer,
    // which holds it until that thread's next call, it ends with the worker.
    // The notifier does the same on any thread.
    const pid_t pid = static_cast<pid_t>(viewer.processId());
    for (int failures = 1; failures <= 2; ++failures) {
        syscall(SYS_tgkill, pid, pid, SIGUSR1);
        QTRY_VERIFY_WITH_TIMEOUT(framesAfter(failures) >= 3, 20000);
    }
    viewer.terminate();
    QVERIFY(viewer.waitForFinished(5000));
    const QRegularExpression failed("Snapshot " + QRegularExpression::escape(dir)
                                    + "/framescope-[-0-9]+\\.png not written: " + reason + "\n");
    QCOMPARE(log.count(failed), 2);
    QCOMPARE(log.count("Snapshot"), 2);
    QCOMPARE(EntriesUnder(root), left);
    QCOMPARE(QFileInfo(blocker.fileName()).size(), qint64(0));
}

// A reference taken with --reference outlives Stop, is in its file, and
// after a restart "Apply NUC" is available at once and corrects the same
// frame into the same picture, the one the reference predicts.
void TestKeep::referenceSurvivesStopAndRestart()
{
    const QString file = files.filePath("kept/reference.png");
    const QByteArray ref = RawFrame([](int i) { return 6000 + (i * 37) % 900; });
    // Within 14 bits, as the sensor's samples are.
    const QByteArray scene = RawFrame([](int i) { return 6000 + (i * 37) % 900 + (i % 211) * 40; });
    // A run that checks Apply NUC and shows the scene corrected.
    const auto correctScene = [&](const Pty &pty) {
        QImage picture;
        RunFrames(*window, pty, [&](int k) {
            if (k > 0) {
                picture = Opaque(ShownPixmap(window->ui->DisplayImage).toImage());
                return QByteArray();
            }
            QTest::mouseClick(window->ui->checkBox_ApplyNUC, Qt::LeftButton);
            return scene;
        });
        return picture;
    };
    apply({"--reference", file});
    QImage before;
    {
        FakeAdapter adapter;
        QVERIFY(adapter.ok);
        RunFrames(*window, adapter.pty, [&](int k) {
            if (k == 0)
                QTest::mouseClick(window->ui->pushButton_TakeFPN, Qt::LeftButton);
            return k == 0 ? ref : QByteArray();
        });
        QTRY_VERIFY(QFileInfo::exists(file));
        QVERIFY(window->ui->checkBox_ApplyNUC->isEnabled()); // Stop kept it
        QCOMPARE(Bytes(window->pRefFrame), ref);
        before = correctScene(adapter.pty);
    }
    QVERIFY(!before.isNull());
    QVERIFY(before != QImage(before.size(), before.format())); // not all black: a picture to compare

    EndWindow(window, -1);
    init();
    LogCapture log;
    apply({"--reference", file});
    QCOMPARE(log.lines(), QStringList() << "Reference " + file + " loaded");
    QVERIFY(window->ui->checkBox_ApplyNUC->isEnabled());
    FakeAdapter adapter;
    QVERIFY(adapter.ok);
    const QImage after = correctScene(adapter.pty);
    QCOMPARE(after, before);
    // Corrected, each pixel's grey is the top bits of the scene less the
    // reference; uncorrected, every pixel would be 93 levels lighter or more.
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int level = ((i % 211) * 40) >> 6;
        const QPoint middle = QPoint(i % FRAME_WIDTH, i / FRAME_WIDTH) * 6 + QPoint(3, 3);
        QCOMPARE(after.pixel(middle), qRgb(level, level, level));
    }
}

void TestKeep::badReferenceFileIsRefused_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<QByteArray>("bytes"); // instead of a picture
    QTest::addColumn<QString>("reason");   // empty: Qt's own words
    QImage grey16(84, 80, QImage::Format_Grayscale16);
    grey16.fill(0);
    QImage tooHigh = grey16;
    reinterpret_cast<quint16 *>(tooHigh.scanLine(2))[3] = 16384;
    QBuffer whole;
    whole.open(QIODevice::WriteOnly);
    grey16.save(&whole, "png");
    QTest::newRow("8-bit") << grey16.convertToFormat(QImage::Format_Grayscale8) << QByteArray()
                           << "not a 16-bit greyscale picture";
    QTest::newRow("colour") << grey16.convertToFormat(QImage::Format_RGB32) << QByteArray()
                            << "not a 16-bit greyscale picture";
    QTest::newRow("wrong size") << grey16.copy(0, 0, 83, 80) << QByteArray() << "83 x 80 pixels, not 84 x 80";
    QTest::newRow("sample over 14 bits") << tooHigh << QByteArray()
                                         << "sample 16384 at column 3, row 2 does not fit 14 bits";
    QTest::newRow("truncated") << QImage() << whole.data().left(whole.size() / 2) << QString();
    QTest::newRow("not a picture") << QImage() << QByteArray("reference\n") << QString();
    QTest::newRow("missing") << QImage() << QByteArray() << QString();
}

// Refused with one line naming the file and the reason; the viewer starts
// without a reference, and the file stays as it was.
void TestKeep::badReferenceFileIsRefused()
{
    QFETCH(QImage, picture);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const QString file = files.filePath(QString("bad-%1.png").arg(QTest::currentDataTag()));
    const auto contentOf = [&] {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("(none)");
    };
    QFile out(file);
    QVERIFY(picture.isNull() ? bytes.isEmpty() || (out.open(QIODevice::WriteOnly) && out.write(bytes) > 0)
                             : picture.save(file, "png"));
    out.close();
    const QByteArray content = contentOf();

    LogCapture log;
    apply({"--reference", file});
    const QString prefix = "Reference " + file + " not loaded: ";
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().startsWith(prefix) && log.lines().first().size() > prefix.size(),
             qPrintable(log.lines().first()));
    if (!reason.isEmpty())
        QCOMPARE(log.lines().first().mid(prefix.size()), reason);
    QVERIFY(!window->ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(AllZero(window->pRefFrame, RAW_FRAME_SIZE));
    QCOMPARE(contentOf(), content);
}

// A frame that stays the newest for several cycles counts once; the average
// is rounded to the nearest sample. No two frames are alike anywhere, and any
// two differ by more than the rounding hides, so a frame counted twice (in
// place of another or beside it) moves the average.
void TestKeep::averageCountsEachFrameOnce()
{
    ReferenceStore store;
    store.SetFramesToAverage(4);
    QByteArray ref(RAW_FRAME_SIZE, '\0');
    unsigned char *into = reinterpret_cast<unsigned char *>(ref.data());
    const int samples[4] = {100, 1000, 5002, 16383}; // 5621.25: rounded down
    const int elsewhere[4] = {8, 20, 36, 50};         // 28.5: rounded up
    for (int k = 0; k < 4; ++k) {
        const QByteArray frame = RawFrame([&](int i) { return i == 0 ? samples[k] : elsewhere[k]; });
        const auto raw = reinterpret_cast<const unsigned char *>(frame.constData());
        QCOMPARE(store.Take(raw, true, into), k == 3);
        QVERIFY(!store.Take(raw, false, into));
    }
    QCOMPARE(ref, RawFrame([](int i) { return i == 0 ? 5621 : 29; }));
}

// An even scene through the simulator's fixed pattern and noise (+-6): what
// the correction leaves is smaller with a reference of 16 frames than of 1.
void TestKeep::averagedReferenceLeavesLessNoise()
{
    PortDirectory ports;
    QVERIFY(ports.isActive());
    QVector<double> residuals;
    for (int frames : {1, 16}) {
        Simulator sim(ports.node(0), {"--fast", "--pattern", "flat"});
        QVERIFY(sim.started());
        apply({"--reference-frames", QString::number(frames)});
        double sum = 0;
        int measured = -1; // the first frame shown with the reference is part of it
        int shownBefore = 0;
        auto step = [&] {
            if (shown() == shownBefore)
                return;
            shownBefore = shown();
            if (!window->ui->pushButton_TakeFPN->isEnabled() || window->bTakeReference)
                return;
            if (!window->ui->checkBox_ApplyNUC->isEnabled()) {
                QTest::mouseClick(window->ui->pushButton_TakeFPN, Qt::LeftButton);
                return;
            }
            if (++measured > 0)
                sum += Residual(f_SwitchImage ? window->pRawFrame1 : window->pRawFrame2, window->pRefFrame);
        };
        QVERIFY(RunUntil(*window, [&] { return measured == 20; }, 30000, step));
        residuals << sum / measured;
        qInfo("reference of %2d frames: residual %.2f (rms of sample - reference, 20 frames)", frames,
              residuals.last());
        EndWindow(window, -1);
        init();
    }
    QVERIFY2(residuals[1] < 0.85 * residuals[0], qPrintable(QString("%1 %2").arg(residuals[0]).arg(residuals[1])));
}

void TestKeep::signalNotifiersKeepToTheirSignals_data()
{
    QTest::addColumn<bool>("usr1First");
    QTest::addColumn<bool>("usr1Lent"); // to a third notifier for a while, which then gives it back
    QTest::newRow("SIGUSR1 taken first") << true << false;
    QTest::newRow("SIGUSR2 taken first") << false << false;
    QTest::newRow("SIGUSR1 lent and given back") << true << true;
}

// Notifiers of SIGUSR1 and SIGUSR2 alive at once, above the window's own of
// SIGUSR1: each signal reaches its own notifier and never the other,
// whichever was made first. A signal raised is handled on this thread before
// raise() returns; one sent to the process may be taken by any thread.
void TestKeep::signalNotifiersKeepToTheirSignals()
{
    QFETCH(bool, usr1First);
    QFETCH(bool, usr1Lent);
    std::unique_ptr<SignalNotifier> usr1;
    if (usr1First)
        usr1.reset(new SignalNotifier(SIGUSR1, nullptr));
    SignalNotifier usr2(SIGUSR2, nullptr);
    if (!usr1First)
        usr1.reset(new SignalNotifier(SIGUSR1, nullptr));
    QSignalSpy ones(usr1.get(), &SignalNotifier::Raised);
    QSignalSpy twos(&usr2, &SignalNotifier::Raised);
    if (usr1Lent) {
        SignalNotifier lent(SIGUSR1, nullptr);
        QSignalSpy lentOnes(&lent, &SignalNotifier::Raised);
        QCOMPARE(raise(SIGUSR1), 0);
        QTRY_COMPARE(lentOnes.count(), 1);
    }
    QCOMPARE(raise(SIGUSR1), 0);
    QTRY_COMPARE(ones.count(), 1);
    QCoreApplication::processEvents(); // a byte the other had been sent would be read by now
    QCOMPARE(twos.count(), 0);
    QCOMPARE(kill(getpid(), SIGUSR2), 0);
    QTRY_COMPARE(twos.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(ones.count(), 1);
}

void TestKeep::threadsLeaveSignalsToTheirMaker_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("keptFromThread");
    for (int stop : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGXFSZ})
        QTest::newRow(strsignal(stop)) << stop << true;
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGABRT})
        QTest::newRow(strsignal(fault)) << fault << false;
}

// A thread started while the guard lives never takes a signal sent to the
// process, except a fault of its own; the starting thread takes them all
// again once the guard is gone.
void TestKeep::threadsLeaveSignalsToTheirMaker()
{
    QFETCH(int, number);
    QFETCH(bool, keptFromThread);
    bool blockedInThread = false;
    {
        const SignalsKeptFromNewThreads guard;
        std::thread([&] {
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            blockedInThread = sigismember(&mask, number) == 1;
        }).join();
    }
    QCOMPARE(blockedInThread, keptFromThread);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    QCOMPARE(sigismember(&mask, number), 0);
}

QTEST_MAIN(TestKeep)
#include "tst_keep.moc"
