// The per-frame timing line of the display, against the simulator's own
// timing: off by default, leaving the debug output as it was; switched on,
// one line per frame shown, named by the checksum the sensor sent and
// stamped on the clock the simulator stamps its frames with.
#include "testsupport.h"

#include "GUI.h"

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

// framescope-sim --fast --timing for `frames` frames, every fourth bad,
// linked where discovery looks.
class TimedSimulator
{
public:
    TimedSimulator(const QString &link, int frames)
    {
        process.setProgram(qEnvironmentVariable("FRAMESCOPE_SIM"));
        process.setArguments({"--link", link, "--fast", "--timing", "--frames",
                              QString::number(frames), "--bad-checksum", "4"});
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

private:
    // Runs the viewer against the simulator until it has sent its frames.
    QList<Sent> runAgainstSimulator(int frames);

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

QTEST_MAIN(TestFrameTiming)
#include "tst_frametiming.moc"
