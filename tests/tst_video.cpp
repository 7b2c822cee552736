// Recordings of the real program fed by the simulator, read back with
// ffprobe and ffmpeg: both tracks hold every frame shown, the samples are
// the frames that arrived, the times their arrival; a kill, a full disk and
// an unwritable directory leave what was written readable; the simulator
// replays a recording into the viewer; the Record control and its mark.
#include "testsupport.h"

#include "keep/SnapshotController.h"
#include "ui_RecordControls.h"
#include "ui_RecordingMark.h"
#include "ui_SnapshotControls.h"
#include "video/VideoController.h"

#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <csignal>
#include <memory>

using namespace testsupport;

namespace {

// The window is made: its port checks have begun.
const char READY[] = "Initalisation pointeurs done";

struct Shown {
    qint64 micros;
    QString checksum;
};

// The frames the viewer logged as shown, in order.
QList<Shown> ShownIn(const QString &log)
{
    QList<Shown> shown;
    const QRegularExpression line("framescope\\.frames: shown (\\d+) ([0-9a-f]+)\n");
    for (auto match = line.globalMatch(log); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        shown.append({m.captured(1).toLongLong(), m.captured(2)});
    }
    return shown;
}

QByteArray Output(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    tool.start(program, arguments);
    tool.waitForFinished(60000);
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0 ? tool.readAllStandardOutput()
                                                                             : QByteArray("failed");
}

// Packets of a track, as ffprobe lists them: their times in milliseconds.
QList<qint64> PacketTimes(const QString &file, int track)
{
    QList<qint64> times;
    const QByteArray out = Output("ffprobe",
        {"-v", "error", "-select_streams", QString::number(track), "-show_entries", "packet=pts", "-of",
            "csv=p=0", file});
    for (const QByteArray &line : out.split('\n'))
        if (!line.trimmed().isEmpty())
            times << line.trimmed().toLongLong();
    return times;
}

// Track 2 decoded as ffmpeg gives it back: 16-bit grey, one sample a pixel,
// each frame once (the file has no fixed rate for ffmpeg to fill up).
QList<QByteArray> DecodedSamples(const QString &file)
{
    const QByteArray all = Output("ffmpeg",
        {"-v", "error", "-i", file, "-map", "0:1", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt",
            "gray16le", "-"});
    QList<QByteArray> frames;
    for (int at = 0; at + RAW_FRAME_SIZE <= all.size(); at += RAW_FRAME_SIZE)
        frames << all.mid(at, RAW_FRAME_SIZE);
    return frames;
}

// The frames of a wire capture by checksum, each as 16-bit grey samples:
// a start marker, the data bytes (bit 7 set), the end marker.
QMap<QString, QByteArray> WireFrames(const QByteArray &wire)
{
    QMap<QString, QByteArray> frames;
    for (int at = wire.indexOf('\x02'); at >= 0 && at + RAW_FRAME_SIZE + 1 < wire.size();
         at = wire.indexOf('\x02', at + 1)) {
        if (wire[at + RAW_FRAME_SIZE + 1] != '\x03')
            continue;
        QByteArray samples(RAW_FRAME_SIZE, 0);
        unsigned int sum = 0;
        for (int i = 0; i < FRAME_PIXELS; ++i) {
            const int high = wire[at + 1 + 2 * i] & 0x7F, low = wire[at + 2 + 2 * i] & 0x7F;
            sum += high + low;
            samples[2 * i] = char((high << 7 | low) & 0xFF);
            samples[2 * i + 1] = char((high << 7 | low) >> 8);
        }
        frames.insert(QString::number(sum, 16), samples);
    }
    return frames;
}

QStringList Videos(const QString &dir)
{
    const QDir videos(dir);
    QStringList paths;
    for (const QString &name : videos.entryList({"framescope-*.mkv"}, QDir::Files, QDir::Name))
        paths << videos.filePath(name);
    return paths;
}

// The real program, started through bash for the row's file size limit (a
// write past it fails with EFBIG once the program ignores SIGXFSZ), its log kept.
class Viewer
{
public:
    Viewer(const QStringList &arguments, const QString &limit = "unlimited")
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_LOGGING_RULES", "framescope.frames.debug=true");
        process.setProcessEnvironment(environment);
        QStringList command;
        if (!qEnvironmentVariable("FRAMESCOPE_EMULATOR").isEmpty())
            command << qEnvironmentVariable("FRAMESCOPE_EMULATOR");
        command << qEnvironmentVariable("FRAMESCOPE") << "-platform"
                << "offscreen" << arguments;
        process.start("bash",
            QStringList() << "-c"
                          << "ulimit -f " + limit + "; exec \"$@\""
                          << "bash" << command);
    }
    ~Viewer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    const QString &log()
    {
        text += QString::fromLocal8Bit(process.readAllStandardError());
        return text;
    }
    int shown() { return ShownIn(log()).size(); }
    bool end(int signal)
    {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const bool ended = process.waitForFinished(10000);
        log();
        return ended;
    }

    QProcess process;

private:
    QString text;
};

} // namespace

class TestVideo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordingHoldsWhatArrived();
    void killLeavesAllButTheLastSecond();
    void failureStopsTheRecordingOnly_data();
    void failureStopsTheRecordingOnly();
    void recordControlAndMark();
    void maxMinutesGoOnInANewFile();

private:
    QTemporaryDir files;
};

void TestVideo::initTestCase()
{
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE_SIM")).isExecutable());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE")).isExecutable());
    if (QStandardPaths::findExecutable("ffprobe").isEmpty()
        || QStandardPaths::findExecutable("ffmpeg").isEmpty())
        QSKIP("ffprobe and ffmpeg (package ffmpeg) read the files back");
    QVERIFY(files.isValid());
}

// N frames shown give N in each track; the samples are those that came over
// the wire (the program's own capture of it), sample for sample; the times
// are the arrivals within a tick; the simulator replays the file into a
// viewer that shows the same frames again.
void TestVideo::recordingHoldsWhatArrived()
{
    const QString dir = files.filePath("arrived"), wire = files.filePath("arrived.wire");
    QString log;
    {
        // The viewer first: frames at the link rate that nobody reads are lost.
        Viewer viewer({"--start", "--device", files.filePath("tty-arrived"), "--video-start", "--video-dir",
            dir, "--record", wire});
        QTRY_VERIFY_WITH_TIMEOUT(viewer.log().contains(READY), 30000);
        Simulator sim(files.filePath("tty-arrived"), {"--frames", "20"});
        QVERIFY(sim.started());
        QTRY_VERIFY_WITH_TIMEOUT(sim.finished() && viewer.log().contains("disconnected"), 30000);
        QVERIFY2(viewer.end(SIGTERM), qPrintable(viewer.log().right(3000)));
        log = viewer.log();
    }
    const QList<Shown> shown = ShownIn(log);
    QVERIFY2(shown.size() >= 10, qPrintable(log));
    QCOMPARE(Videos(dir).size(), 1);
    const QString file = Videos(dir).first();
    QCOMPARE(PacketTimes(file, 0).size(), shown.size());
    const QList<qint64> times = PacketTimes(file, 1);
    const QList<QByteArray> decoded = DecodedSamples(file);
    QCOMPARE(times.size(), shown.size());
    QCOMPARE(decoded.size(), shown.size());
    QFile capture(wire);
    QVERIFY(capture.open(QIODevice::ReadOnly));
    const QMap<QString, QByteArray> arrived = WireFrames(capture.readAll());
    for (int i = 0; i < shown.size(); ++i) {
        QVERIFY(decoded[i] == arrived.value(shown[i].checksum));
        QVERIFY2(
            qAbs(times[i] - (shown[i].micros - shown[0].micros) / 1000) <= 1, qPrintable(QString::number(i)));
    }

    Viewer viewer({"--start", "--device", files.filePath("tty-replay")});
    QTRY_VERIFY_WITH_TIMEOUT(viewer.log().contains(READY), 30000);
    Simulator replay(files.filePath("tty-replay"), {"--replay", file});
    QVERIFY(replay.started());
    QTRY_VERIFY_WITH_TIMEOUT(replay.finished() && viewer.log().contains("disconnected"), 30000);
    QStringList again, recorded;
    for (const Shown &frame : ShownIn(viewer.log()))
        again << frame.checksum;
    for (const Shown &frame : shown)
        recorded << frame.checksum;
    QCOMPARE(again, recorded);
}

// Clusters go out at least once a second: a kill -9 takes at most the
// frames of the last second (and the writer's moment of scheduling) with it.
void TestVideo::killLeavesAllButTheLastSecond()
{
    const QString dir = files.filePath("killed");
    Simulator sim(files.filePath("tty-killed"), {});
    QVERIFY(sim.started());
    Viewer viewer({"--start", "--device", files.filePath("tty-killed"), "--video-start", "--video-dir", dir});
    QTRY_VERIFY_WITH_TIMEOUT(viewer.shown() >= 25, 30000);
    QVERIFY(viewer.end(SIGKILL));
    const QList<Shown> shown = ShownIn(viewer.log());
    const qint64 lastSecond = shown.last().micros - 1200 * 1000;
    const int before = int(std::count_if(
        shown.begin(), shown.end(), [lastSecond](const Shown &frame) { return frame.micros < lastSecond; }));
    QCOMPARE(Videos(dir).size(), 1);
    const QString file = Videos(dir).first();
    const int pictures = PacketTimes(file, 0).size(), samples = DecodedSamples(file).size();
    QVERIFY2(pictures >= before && samples >= before,
        qPrintable(QString("%1 pictures, %2 samples of %3").arg(pictures).arg(samples).arg(before)));
}

void TestVideo::failureStopsTheRecordingOnly_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("limit"); // ulimit -f, in KiB
    QTest::addColumn<QString>("reason");
    QTest::newRow("full disk") << "full"
                               << "100"
                               << "File too large";
    // Under a regular file: permission bits would not stop root, a file does.
    QTest::newRow("unwritable directory") << "a-file/videos"
                                          << "unlimited"
                                          << "cannot make the directory";
}

// One line naming the file and the reason, the recording over, frames go on
// being shown; what was written stays readable.
void TestVideo::failureStopsTheRecordingOnly()
{
    QFETCH(QString, dir);
    QFETCH(QString, limit);
    QFETCH(QString, reason);
    const QString root = files.filePath(QString(QTest::currentDataTag()).replace(' ', '-'));
    QVERIFY(QDir().mkpath(root));
    dir = root + "/" + dir;
    QFile blocker(root + "/a-file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString link = files.filePath("tty-" + QString(QTest::currentDataTag()).replace(' ', '-'));
    Simulator sim(link, {});
    QVERIFY(sim.started());
    Viewer viewer({"--start", "--device", link, "--video-start", "--video-dir", dir}, limit);
    const QString failed = " stopped: " + reason + "\n";
    QTRY_VERIFY_WITH_TIMEOUT(viewer.log().contains(failed), 30000);
    const int shownAtFailure = viewer.shown();
    QTRY_VERIFY2_WITH_TIMEOUT(viewer.shown() >= shownAtFailure + 5, qPrintable(viewer.log().right(3000)), 30000);
    QVERIFY(viewer.end(SIGTERM));
    const QRegularExpression line("Recording " + QRegularExpression::escape(dir) + "/framescope-[-0-9]+\\.mkv"
        + QRegularExpression::escape(failed));
    QCOMPARE(viewer.log().count(line), 1);
    QCOMPARE(viewer.log().count(" stopped: "), 1);
    for (const QString &file : Videos(dir))
        QVERIFY2(!DecodedSamples(file).isEmpty(), qPrintable(file));
}

// The key R starts and stops a recording; the button shows it, and so does
// the mark over the picture, a widget of its own that the picture grabbed
// for the file does not hold. Snapshot and Record share the left strip.
void TestVideo::recordControlAndMark()
{
    MainWindow window;
    QWidget *record = window.pVideo->ui->pushButton_Record;
    QWidget *mark = window.pVideo->mark->label_Recording->parentWidget();
    QCOMPARE(window.pSnapshots->ui->pushButton_Snapshot->parentWidget()->geometry(), QRect(10, 395, 60, 40));
    QCOMPARE(record->parentWidget()->geometry(), QRect(80, 395, 60, 40));
    QVERIFY(!window.ui->DisplayImage->isAncestorOf(mark));
    QApplication::setActiveWindow(&window);
    for (bool on : {true, false}) {
        QTest::keyClick(&window, Qt::Key_R);
        QCOMPARE(window.pVideo->ui->pushButton_Record->isChecked(), on);
        QCOMPARE(mark->isVisible(), on);
    }
}

// Frames that arrive 0, 30, 61 and 62 s after the first: the first file
// closes after a minute of arrivals, the second goes on from there.
void TestVideo::maxMinutesGoOnInANewFile()
{
    const QString dir = files.filePath("minutes");
    {
        MainWindow window;
        window.pVideo->SetDirectory(dir);
        window.pVideo->SetMaxMinutes(1);
        window.pVideo->StartWithNextFrame();
        for (qint64 seconds : {0, 30, 61, 62}) {
            auto frame = std::make_shared<ShownFrame>();
            frame->number = quint64(seconds + 1);
            frame->arrivedMicros = seconds * 1000000;
            window.pVideo->FrameShown(frame);
            QTest::qWait(2); // a new file's name, a new millisecond
        }
    } // the writer ends the file as the window goes
    const QStringList videos = Videos(dir);
    QCOMPARE(videos.size(), 2);
    QCOMPARE(PacketTimes(videos[0], 1), (QList<qint64> {0, 30000}));
    QCOMPARE(PacketTimes(videos[1], 1), (QList<qint64> {0, 1000}));
}

QTEST_MAIN(TestVideo)
#include "tst_video.moc"
