// Keeping what the operator saw, end to end through a pseudo-terminal, the
// simulator and the real program: a snapshot (button, key S, SIGUSR1) writes
// the picture as shown and the frame's samples exactly as sent; two in one
// millisecond both stay; an unwritable directory and a full disk give one
// line each and leave no file while frames go on; a reference kept in its
// file survives Stop and a restart and corrects the same picture again; a
// file that is no raw picture is refused; an averaged reference leaves less
// noise than a single frame.
#include "testsupport.h"

#include "keep/KeepController.h"
#include "ui_SnapshotControls.h"
#include "ui_SnapshotNotice.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QtTest>
#include <cmath>
#include <csignal>
#include <memory>

using namespace testsupport;

namespace {

// Every sample a different value, 0 and 16383 among them.
QByteArray KnownFrame()
{
    return RawFrame([](int i) { return i == 1 ? 16383 : (i * 7919) & 0x3FFF; });
}

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QString NoticeOf(const MainWindow &window)
{
    return window.pKeep->notice->label_Notice->text();
}

QImage PictureShownBy(const MainWindow &window)
{
    return ShownPixmap(window.ui->DisplayImage).toImage().convertToFormat(QImage::Format_RGB32);
}

// The spread of (sample - reference) over the frame's pixels: what the
// correction leaves of an even scene.
double Residual(const unsigned char *frame, const unsigned char *ref)
{
    double sum = 0;
    double squares = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int d = (128 * frame[2 * i] + frame[2 * i + 1]) - (128 * ref[2 * i] + ref[2 * i + 1]);
        sum += d;
        squares += double(d) * d;
    }
    const double mean = sum / FRAME_PIXELS;
    return std::sqrt(squares / FRAME_PIXELS - mean * mean);
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
    void unwritableDirectoryFailsAloneFramesGoOn();
    void fullDiskLeavesNoFile();
    void referenceSurvivesStopAndRestart();
    void badReferenceFileIsRefused_data();
    void badReferenceFileIsRefused();
    void averageCountsEachFrameOnce();
    void averagedReferenceLeavesLessNoise();

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
    QString error;
    QVERIFY2(ApplyCommandLine(*window, arguments, error), qPrintable(error));
}

void TestKeep::snapshotKeepsTheFrameAndThePicture_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("button") << "button";
    QTest::newRow("key S") << "key";
    QTest::newRow("SIGUSR1") << "signal";
}

// A known frame through the pseudo-terminal, a snapshot of it: the raw file
// reads back as the frame sent, with its checksum; the other file is the grab
// of the picture. Before any picture there is nothing to keep.
void TestKeep::snapshotKeepsTheFrameAndThePicture()
{
    QFETCH(QString, trigger);
    const QString dir = files.filePath("snapshots-" + trigger);
    apply({"--snapshot-dir", dir});
    QTest::mouseClick(window->pKeep->ui->pushButton_Snapshot, Qt::LeftButton);
    QCOMPARE(NoticeOf(*window), QString("Snapshot not taken: no picture shown"));

    FakeAdapter adapter;
    QVERIFY(adapter.ok);
    const QByteArray frame = KnownFrame();
    bool bSent = false;
    QImage grab;
    // Running until the snapshot is written: a Stop would bring the logo back.
    RunUntil(*window, [&] { return NoticeOf(*window).startsWith("Snapshot written: "); }, 20000, [&] {
        if (!bSent && window->fdSerial > 0) {
            bSent = adapter.pty.send(WireFrame(frame));
        } else if (bSent && grab.isNull() && shown() == 1) {
            if (trigger == "button")
                QTest::mouseClick(window->pKeep->ui->pushButton_Snapshot, Qt::LeftButton);
            else if (trigger == "key")
                QTest::keyClick(window.get(), Qt::Key_S);
            else
                raise(SIGUSR1);
            grab = PictureAsShown(window->ui->DisplayImage).convertToFormat(QImage::Format_RGB32);
        }
    });

    const QStringList written = FilesIn(dir);
    QCOMPARE(written.size(), 2);
    const QString name = written.last().chopped(4); // "-raw.png" sorts first
    QVERIFY2(QRegularExpression("^framescope-\\d{8}-\\d{6}-\\d{3}$").match(name).hasMatch(), qPrintable(name));
    QCOMPARE(written, QStringList() << name + "-raw.png" << name + ".png");
    QCOMPARE(NoticeOf(*window), "Snapshot written: " + name + ".png");

    unsigned char raw[RAW_FRAME_SIZE];
    QString reason;
    QVERIFY2(ReadRawPicture(dir + "/" + name + "-raw.png", raw, reason), qPrintable(reason));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(raw), RAW_FRAME_SIZE), frame);
    const QImage facts(dir + "/" + name + "-raw.png");
    QCOMPARE(facts.text("Checksum"), QString::number(SumOf(frame), 16));
    QCOMPARE(facts.text("Correction"), QString("off"));
    QCOMPARE(facts.text("Gain") + " " + facts.text("Offset"), QString("1 0"));
    QVERIFY(facts.text("Time").startsWith(QDateTime::currentDateTime().toString("yyyy-MM-ddT")));

    QCOMPARE(grab.size(), QSize(504, 480));
    QCOMPARE(QImage(dir + "/" + name + ".png").convertToFormat(QImage::Format_RGB32), grab);
}

// The same millisecond three times: three pairs of files, none overwritten.
void TestKeep::twoSnapshotsInOneMillisecond()
{
    const QString dir = files.filePath("same-millisecond");
    const QDateTime taken = QDateTime::currentDateTime();
    QStringList shownFiles;
    for (int n = 0; n < 3; ++n) {
        QImage shown(504, 480, QImage::Format_RGB32);
        shown.fill(QColor(n * 100, 0, 0));
        const QByteArray frame = RawFrame([n](int i) { return i + n; });
        const SnapshotOutcome outcome =
            WriteSnapshot(dir, taken, shown, RawPicture(reinterpret_cast<const unsigned char *>(frame.constData()), {}));
        QVERIFY2(outcome.bWritten, qPrintable(outcome.reason));
        shownFiles << QFileInfo(outcome.path).fileName();
    }
    const QString name = SnapshotName(taken);
    QCOMPARE(shownFiles, QStringList() << name + ".png" << name + "-2.png" << name + "-3.png");
    QCOMPARE(FilesIn(dir).size(), 6);
    for (int n = 0; n < 3; ++n)
        QCOMPARE(QImage(dir + "/" + shownFiles[n]).pixelColor(0, 0), QColor(n * 100, 0, 0));
}

// A directory that cannot be made: one line and a notice per snapshot, no
// file, frames go on; once it can be made, the next snapshot is written.
void TestKeep::unwritableDirectoryFailsAloneFramesGoOn()
{
    const QString blocker = files.filePath("a-file");
    QFile block(blocker);
    QVERIFY(block.open(QIODevice::WriteOnly));
    block.close();
    const QString dir = blocker + "/snapshots";
    apply({"--snapshot-dir", dir});
    PortDirectory ports;
    QVERIFY(ports.isActive());
    Simulator sim(ports.node(0), {});
    QVERIFY(sim.started());
    LogCapture log;
    const QRegularExpression failed("^Snapshot " + QRegularExpression::escape(dir)
                                    + "/framescope-[-0-9]+\\.png not written: Not a directory$");

    int attempts = 0;
    int shownAtAttempt = 0;
    auto step = [&] {
        const bool answered = !NoticeOf(*window).isEmpty();
        if (attempts == 3 || (attempts == 0 ? shown() < 2 : !answered || shown() < shownAtAttempt + 5))
            return;
        if (attempts == 2)
            QVERIFY(QFile::remove(blocker)); // the next one finds a way
        window->pKeep->notice->label_Notice->clear();
        QTest::mouseClick(window->pKeep->ui->pushButton_Snapshot, Qt::LeftButton);
        shownAtAttempt = shown();
        ++attempts;
    };
    QVERIFY(RunUntil(*window, [&] { return attempts == 3 && !NoticeOf(*window).isEmpty(); }, 30000, step));

    QCOMPARE(log.lines().filter(failed).size(), 2);
    QCOMPARE(log.lines().filter(QRegularExpression("^Snapshot ")).size(), 2);
    QVERIFY(NoticeOf(*window).startsWith("Snapshot written: "));
    QCOMPARE(FilesIn(dir).size(), 2);
}

// The real program with at most 1 KiB a file, as on a full card: a snapshot
// on SIGUSR1 fails with one line, leaves no file, not even a half-written
// one, and frames go on being shown.
void TestKeep::fullDiskLeavesNoFile()
{
    const QString link = files.filePath("full-tty");
    const QString dir = files.filePath("full");
    Simulator sim(link, {});
    QVERIFY(sim.started());
    QTRY_VERIFY(QFileInfo::exists(link));

    QProcess viewer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_LOGGING_RULES", "framescope.frames.debug=true");
    viewer.setProcessEnvironment(environment);
    // SIGXFSZ ignored: a write past the limit fails with EFBIG instead.
    const QString limited = "trap '' XFSZ; ulimit -f 1; exec \"$@\"";
    QStringList command; // as StartBuiltProgram would start it
    if (!qEnvironmentVariable("FRAMESCOPE_EMULATOR").isEmpty())
        command << qEnvironmentVariable("FRAMESCOPE_EMULATOR");
    command << qEnvironmentVariable("FRAMESCOPE") << "--start" << "--device" << link << "--snapshot-dir" << dir;
    viewer.start("bash", QStringList() << "-c" << limited << "bash" << command);
    QVERIFY(viewer.waitForStarted(5000));
    QString log;
    const auto framesAfter = [&](const QString &line) {
        log += QString::fromLocal8Bit(viewer.readAllStandardError());
        const int at = line.isEmpty() ? 0 : log.indexOf(line);
        return at < 0 ? 0 : log.mid(at).count("framescope.frames: shown ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(framesAfter(QString()) >= 2, 20000);
    kill(static_cast<pid_t>(viewer.processId()), SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(framesAfter(" not written: File too large") >= 3, 20000);
    viewer.terminate();
    QVERIFY(viewer.waitForFinished(5000));
    log += QString::fromLocal8Bit(viewer.readAllStandardError());

    QCOMPARE(log.count(QRegularExpression("Snapshot " + QRegularExpression::escape(dir)
                                          + "/framescope-[-0-9]+\\.png not written: File too large\n")),
             1);
    QCOMPARE(log.count("Snapshot"), 1);
    QVERIFY2(FilesIn(dir).isEmpty(), qPrintable(FilesIn(dir).join(' ')));
}

// A reference taken with --reference outlives Stop, is in its file, and
// after a restart "Apply NUC" is available at once and corrects the same
// frame into the same picture.
void TestKeep::referenceSurvivesStopAndRestart()
{
    const QString file = files.filePath("kept/reference.png");
    const QByteArray ref = RawFrame([](int i) { return 6000 + (i * 37) % 900; });
    const QByteArray scene = RawFrame([](int i) { return 6000 + (i * 37) % 900 + (i % 211) * 60; });
    // A run that checks Apply NUC and shows the scene corrected.
    const auto correctScene = [&](const Pty &pty) {
        QImage picture;
        RunFrames(*window, pty, [&](int k) {
            if (k > 0) {
                picture = PictureShownBy(*window);
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
        QCOMPARE(QByteArray(reinterpret_cast<char *>(window->pRefFrame), RAW_FRAME_SIZE), ref);
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
    QCOMPARE(correctScene(adapter.pty), before);
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
    QByteArray whole;
    QBuffer buffer(&whole);
    buffer.open(QIODevice::WriteOnly);
    grey16.save(&buffer, "png");
    QTest::newRow("8-bit") << grey16.convertToFormat(QImage::Format_Grayscale8) << QByteArray()
                           << "not a 16-bit greyscale picture";
    QTest::newRow("colour") << grey16.convertToFormat(QImage::Format_RGB32) << QByteArray()
                            << "not a 16-bit greyscale picture";
    QTest::newRow("wrong size") << grey16.copy(0, 0, 83, 80) << QByteArray() << "83 x 80 pixels, not 84 x 80";
    QTest::newRow("sample over 14 bits") << tooHigh << QByteArray()
                                         << "sample 16384 at column 3, row 2 does not fit 14 bits";
    QTest::newRow("truncated") << QImage() << whole.left(whole.size() / 2) << QString();
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
    if (!picture.isNull())
        QVERIFY(picture.save(file, "png"));
    else if (!bytes.isEmpty())
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    out.close();
    const QByteArray content = contentOf();

    LogCapture log;
    apply({"--reference", file});
    QCOMPARE(log.lines().size(), 1);
    const QString prefix = "Reference " + file + " not loaded: ";
    QVERIFY2(log.lines().first().startsWith(prefix), qPrintable(log.lines().first()));
    if (!reason.isEmpty())
        QCOMPARE(log.lines().first().mid(prefix.size()), reason);
    QVERIFY(log.lines().first().size() > prefix.size());
    QVERIFY(!window->ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(AllZero(window->pRefFrame, RAW_FRAME_SIZE));
    QCOMPARE(contentOf(), content);
}

// A frame that stays the newest for several cycles counts once; the average
// is rounded to the nearest sample.
void TestKeep::averageCountsEachFrameOnce()
{
    BackgroundWriter writer;
    ReferenceStore store(writer);
    store.SetFramesToAverage(4);
    QByteArray ref(RAW_FRAME_SIZE, '\0');
    unsigned char *into = reinterpret_cast<unsigned char *>(ref.data());
    const int samples[4] = {100, 100, 103, 16383};
    for (int k = 0; k < 4; ++k) {
        const QByteArray frame = RawFrame([&](int i) { return i == 0 ? samples[k] : k; });
        const auto raw = reinterpret_cast<const unsigned char *>(frame.constData());
        QCOMPARE(store.Take(raw, true, into), k == 3);
        QVERIFY(!store.Take(raw, false, into));
    }
    QCOMPARE(ref, RawFrame([](int i) { return i == 0 ? (100 + 100 + 103 + 16383 + 2) / 4 : 2; }));
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
        qInfo("reference of %2d frames: residual %.2f (spread of sample - reference, 20 frames)", frames,
              residuals.last());
        EndWindow(window, -1);
        init();
    }
    QVERIFY2(residuals[1] < 0.85 * residuals[0], qPrintable(QString("%1 %2").arg(residuals[0]).arg(residuals[1])));
}

QTEST_MAIN(TestKeep)
#include "tst_keep.moc"
