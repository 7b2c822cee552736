// The per-frame timing line of the display, against the simulator's own
// timing: off by default, leaving the debug output as it was; switched on,
// one line per frame shown, named by the checksum the sensor sent and
// stamped on the clock the simulator stamps its frames with. And what the
// resting loop (--wait-for-data) is for, on real ptys.
#include "testsupport.h"

#include "GUI.h"
#include "WireWait.h"

#include <QAbstractEventDispatcher>
#include <algorithm>

#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

using namespace testsupport;

namespace {

// Every message with its category, while the object lives.
class CategoryCapture
{
public:
    CategoryCapture() { previous = qInstallMessageHandler(&CategoryCapture::handle); }
    ~CategoryCapture()
    {
        qInstallMessageHandler(previous);
        lines().clear();
    }
    CategoryCapture(const CategoryCapture &) = delete;
    CategoryCapture &operator=(const CategoryCapture &) = delete;

    // Messages of `category` ("default" for plain qDebug).
    static QStringList of(const QString &category)
    {
        QStringList found;
        for (const QString &line : lines())
            if (line.section(' ', 0, 0) == category)
                found << line.section(' ', 1);
        return found;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        lines() << QString::fromLatin1(context.category) + ' ' + message;
    }
    static QStringList &lines()
    {
        static QStringList captured; // the loop runs on this thread only
        return captured;
    }
    QtMessageHandler previous;
};

// A frame as the simulator reports it with --timing.
struct Sent {
    qint64 micros;
    QString checksum;
    QString verdict;
};

// framescope-sim --timing for `frames` frames, linked where discovery
// looks; by default unpaced, every fourth bad.
class TimedSimulator
{
public:
    TimedSimulator(
        const QString &link, int frames, const QStringList &how = {"--fast", "--bad-checksum", "4"})
    {
        process.setProgram(qEnvironmentVariable("FRAMESCOPE_SIM"));
        process.setArguments(
            QStringList {"--link", link, "--timing", "--frames", QString::number(frames)} + how);
        process.start();
    }
    ~TimedSimulator()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    bool finished() const { return process.state() == QProcess::NotRunning; }
    QList<Sent> frames()
    {
        const QRegularExpression line("^timing: (\\d+) frame \\d+ ([0-9a-f]+) (\\w+)( [a-z-]+)*$");
        QList<Sent> sent;
        for (const QString &text : QString::fromLatin1(process.readAllStandardOutput()).split('\n')) {
            const QRegularExpressionMatch m = line.match(text);
            if (m.hasMatch())
                sent.append({m.captured(1).toLongLong(), m.captured(2), m.captured(3)});
        }
        return sent;
    }

private:
    QProcess process;
};

} // namespace

class TestFrameTiming : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void offByDefaultOneLinePerFrameShownWhenOn();
    void restingLoopShowsEachFrameSoonInFewCycles();
    void restingLoopTakesATapAtOnce();
    void restingLoopReadsABacklogAtItsPace();
    void restingLoopDoesNotSpinOnAHungUpPort();

private:
    // Runs the viewer against the simulator until it has sent its frames.
    QList<Sent> runAgainstSimulator(int frames);
    // Frames shown a second against framescope-sim --fast.
    double unpacedRate(const QStringList &options);

    std::unique_ptr<PortDirectory> ports;
};

void TestFrameTiming::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE_SIM")).isExecutable());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
}

void TestFrameTiming::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
}

QList<Sent> TestFrameTiming::runAgainstSimulator(int frames)
{
    MainWindow window;
    ResetReceiver(window);
    TimedSimulator sim(ports->node(0), frames);
    const bool done = RunUntil(window, [&] { return sim.finished(); }, 30000);
    if (window.fdSerial > 0)
        close(window.fdSerial);
    return done ? sim.frames() : QList<Sent>();
}

void TestFrameTiming::offByDefaultOneLinePerFrameShownWhenOn()
{
    QVERIFY(!lcFrames().isDebugEnabled());
    {
        CategoryCapture off;
        QCOMPARE(runAgainstSimulator(8).size(), 8);
        QCOMPARE(CategoryCapture::of("framescope.frames"), QStringList());
        QCOMPARE(CategoryCapture::of("default").filter(QRegularExpression("^Serial 0 : Calc : ")).size(), 2);
    }

    QLoggingCategory::setFilterRules(QStringLiteral("framescope.frames.debug=true"));
    CategoryCapture on;
    const QList<Sent> sent = runAgainstSimulator(12);
    QCOMPARE(sent.size(), 12);
    const QStringList shown = CategoryCapture::of("framescope.frames").filter(QRegularExpression("^shown "));
    QCOMPARE(shown.size(), 9); // frames 4, 8 and 12 are bad
    QCOMPARE(CategoryCapture::of("default").filter(QRegularExpression("^Serial 0 : Calc : ")).size(), 3);

    // In the order sent, each good frame once, shown after its last byte left.
    int next = 0;
    for (const QString &line : shown) {
        const QStringList parts = line.split(' ');
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts[0], QStringLiteral("shown"));
        while (next < sent.size() && sent[next].verdict != "good")
            ++next;
        QVERIFY(next < sent.size());
        QCOMPARE(parts[2], sent[next].checksum);
        const qint64 latency = parts[1].toLongLong() - sent[next].micros;
        QVERIFY2(latency > 0 && latency < 10000000, qPrintable(QString::number(latency)));
        ++next;
    }
}

namespace {

std::unique_ptr<MainWindow> RestingWindow(const QStringList &options = {"--wait-for-data"})
{
    auto window = std::make_unique<MainWindow>();
    ResetReceiver(*window);
    ApplyOrFail(*window, options);
    return window;
}

// The sum of the second field of the lines that match.
int Total(const QString &pattern)
{
    int total = 0;
    for (const QString &line : CategoryCapture::of("framescope.frames").filter(QRegularExpression(pattern)))
        total += line.section(' ', 1, 1).toInt();
    return total;
}

} // namespace

// At the line's pace: every good frame shown, most sooner after their last
// byte than a rest by the frame's pace could last (a quiet machine shows
// them within 10 ms: tools/soak measures it), and the loop's line counting
// far fewer cycles a frame than a rest of 5 ms after each read (29).
void TestFrameTiming::restingLoopShowsEachFrameSoonInFewCycles()
{
    QLoggingCategory::setFilterRules(QStringLiteral("framescope.frames.debug=true"));
    CategoryCapture capture;
    auto window = RestingWindow();
    TimedSimulator sim(ports->node(0), 16, {});
    QTRY_VERIFY(QFileInfo::exists(ports->node(0)));
    window->CheckSerialAvailable(); // connected from the first frame
    QVERIFY(RunUntil(
        *window, [&] { return sim.finished(); }, 30000, nullptr, 100));
    EndWindow(window, -1);
    QMap<QString, qint64> good; // a busy machine may leave some unread: "cut"
    for (const Sent &frame : sim.frames())
        if (frame.verdict == "good")
            good.insert(frame.checksum, frame.micros);
    QList<qint64> latencies;
    for (const QString &line : CategoryCapture::of("framescope.frames").filter(QRegularExpression("^shown ")))
        latencies << line.section(' ', 1, 1).toLongLong() - good.value(line.section(' ', 2), 0);
    QVERIFY2(good.size() >= 8, qPrintable(QString::number(good.size())));
    QCOMPARE(latencies.size(), good.size());
    std::sort(latencies.begin(), latencies.end());
    const qint64 median = latencies[latencies.size() / 2]; // 2 to 5 ms here; no rest waited out
    QVERIFY2(median < WireWait::FRAME_REST_MAX_US, qPrintable(QString::number(median)));
    QVERIFY2(Total("^loop ") < 15 * good.size(), qPrintable(QString::number(Total("^loop "))));
}

// Half a frame sent: the loop rests until the rest is due (33 ms at most).
// Stop, tapped as that rest begins, is taken at once, not when it is over.
void TestFrameTiming::restingLoopTakesATapAtOnce()
{
    Pty adapter;
    QVERIFY(ports->link(adapter, 0));
    auto window = RestingWindow();
    window->CheckSerialAvailable();
    QPushButton *stop = window->ui->pushButton_Stop;
    QElapsedTimer sinceTap;
    qint64 takenAfterUs = -1;
    connect(stop, &QPushButton::clicked, [&] { takenAfterUs = sinceTap.nsecsElapsed() / 1000; });
    const auto rest
        = connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, [&] {
              if (!sinceTap.isValid() && FrameBytesDue() > 0) {
                  sinceTap.start();
                  QMetaObject::invokeMethod(stop, "click", Qt::QueuedConnection);
              }
          });
    QVERIFY(adapter.send(WireFrame(RawFrame([](int) { return 1000; })).left(RAW_FRAME_SIZE / 2)));
    QTimer::singleShot(10000, window.get(), [&] { window->bStop = true; });
    QTest::mouseClick(window->ui->pushButton_Start, Qt::LeftButton);
    disconnect(rest);
    QVERIFY2(takenAfterUs >= 0 && takenAfterUs < WireWait::FRAME_REST_MAX_US / 3,
        qPrintable(QString::number(takenAfterUs)));
    EndWindow(window, -1);
    QFile::remove(ports->node(0));
}

double TestFrameTiming::unpacedRate(const QStringList &options)
{
    auto window = RestingWindow(options);
    TimedSimulator sim(ports->node(0), 300, {"--fast"});
    if (QTest::qWaitFor([&] { return QFileInfo::exists(ports->node(0)); }))
        window->CheckSerialAvailable();
    QElapsedTimer clock;
    clock.start();
    const bool done = RunUntil(
        *window, [&] { return sim.finished(); }, 60000, nullptr, 20);
    const double rate = (window->iTotalFramesShown + window->iFramesShown) * 1000.0 / clock.elapsed();
    EndWindow(window, -1);
    return done ? rate : 0;
}

// A sender faster than the line is read at its own pace: with the option at
// no less than about the rate without it.
void TestFrameTiming::restingLoopReadsABacklogAtItsPace()
{
    const double spinning = unpacedRate({});
    const double resting = unpacedRate({"--wait-for-data"});
    QVERIFY2(spinning > 0 && resting > spinning / 2,
        qPrintable(QString("%1 against %2").arg(resting).arg(spinning)));
}

// The far end gone, the port polls readable and reads nothing until the
// tick (stopped here) closes it: rests of the bound, not a spinning loop.
void TestFrameTiming::restingLoopDoesNotSpinOnAHungUpPort()
{
    Pty adapter;
    QVERIFY(ports->link(adapter, 0));
    auto window = RestingWindow();
    window->CheckSerialAvailable();
    adapter.hangUp();
    int rests = 0;
    const auto rest = connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, [&] { ++rests; });
    QElapsedTimer clock;
    clock.start();
    RunUntil(
        *window, [&] { return clock.elapsed() >= 1000; }, 5000, [&] { window->pTimer1s->stop(); }, 50);
    disconnect(rest);
    QVERIFY(window->fdSerial > 0);
    QVERIFY2(rests < clock.elapsed() * 3 / (2 * WireWait::BOUND_MS), qPrintable(QString::number(rests)));
    EndWindow(window, -1);
    QFile::remove(ports->node(0));
}

QTEST_MAIN(TestFrameTiming)
#include "tst_frametiming.moc"
