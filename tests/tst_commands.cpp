// Commands to the device: what the operator types or picks in the command
// window, how the main window checks and encodes it, what reaches the wire,
// and how the device's acknowledgement byte 0x06 paces one command at a time.
// Every command is written to a real pseudo-terminal whose master side plays
// the device; warning boxes are answered the way the operator answers them.

#include "testsupport.h"

#include "WindowCommand.h"
#include "ui_WindowCommand.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/ioctl.h>
#include <sys/resource.h>

using namespace testsupport;

namespace {

// What the operator is told, and what goes to the debug output with it.
const char SIZE_TITLE[] = "Command size not respected";
const char TOO_SHORT_TEXT[] =
    "The command wrote is too short to be sent (inferior to 6 characters).";
const char TOO_LONG_TEXT[] = "The command wrote is too long to be sent (superior to 6 characters).";
const char TOO_SHORT_LOG[] = "Command size too low (< 6 char)";
const char TOO_LONG_LOG[] = "Command size too high (> 6 char)";
const char INVALID_TITLE[] = "Command not valid";
const char NOT_VALID_TEXT[] = "The command wrote is not valid.";
const char UNKNOWN_TEXT[] = "The command wrote is unknown.";
const char NOT_VALID_LOG[] = "Command not valid";
const char ACK_LOG[] = "Acknowledge received";

QString Warning(const char *title, const char *text)
{
    return QStringLiteral("%1 | %2 | parent: main window | buttons: Ok | icon: warning")
        .arg(QLatin1String(title), QLatin1String(text));
}

// The debug stream turns a C string into text as UTF-8.
QString SentLine(const QByteArray &command, const QByteArray &port)
{
    return QStringLiteral("Command : ") + QString::fromUtf8(command) + QStringLiteral(" sent to ")
           + QString::fromUtf8(port);
}

QString NotSentLine(const QByteArray &command, const QString &why)
{
    return QStringLiteral("Command : ") + QString::fromUtf8(command) + QStringLiteral(" not sent: ")
           + why;
}

QString DroppedLine(int address)
{
    return QStringLiteral("Sensor write to address %1 dropped: address not sent").arg(address);
}

bool IsSentLine(const QString &line)
{
    static const QRegularExpression sent(QStringLiteral("^Command : .* sent to "));
    return sent.match(line).hasMatch();
}

// Watches for modal windows; records what each one showed and answers it
// with its Ok button, as the operator does.
class BoxWatcher
{
public:
    explicit BoxWatcher(QWidget *mainWindow) : main(mainWindow)
    {
        timer.setInterval(0);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }
    QStringList seen;

private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible())
            return;
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (box == nullptr) {
            seen << QStringLiteral("unexpected modal window ") + modal->metaObject()->className();
            modal->close();
            return;
        }
        const bool okOnly = box->standardButtons() == QMessageBox::StandardButtons(QMessageBox::Ok)
                            && box->buttons().size() == 1;
        seen << QStringLiteral("%1 | %2 | parent: %3 | buttons: %4 | icon: %5")
                    .arg(box->windowTitle(), box->text(),
                         box->parentWidget() == main ? QStringLiteral("main window")
                                                     : QStringLiteral("other"),
                         okOnly ? QStringLiteral("Ok") : QStringLiteral("other"),
                         box->icon() == QMessageBox::Warning ? QStringLiteral("warning")
                                                             : QStringLiteral("other"));
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    }
    QWidget *main;
    QTimer timer;
};

// Restores a soft resource limit when it goes out of scope.
class LimitGuard
{
public:
    explicit LimitGuard(int resource) : which(resource) { saved = getrlimit(which, &old) == 0; }
    ~LimitGuard()
    {
        if (saved)
            setrlimit(which, &old);
    }
    LimitGuard(const LimitGuard &) = delete;
    LimitGuard &operator=(const LimitGuard &) = delete;
    struct rlimit old = {};
    bool saved = false;

private:
    int which;
};

// The ways the write of a command fails in failedWriteLeavesChannelOpen.
enum WriteFailure { PipeReadEnd, ReadOnlyFile, PipeWithoutReader, FileSizeLimit };

// The file size limit of the short write; the command starts three bytes before it.
const off_t kFileLimit = off_t(1) << 30;

// A port descriptor on which the program's write of a command fails, the
// reason the program gives for it, and what the descriptor needs while it lives.
struct FailingPort
{
    FailingPort() = default;
    FailingPort(const FailingPort &) = delete;
    FailingPort &operator=(const FailingPort &) = delete;
    ~FailingPort()
    {
        if (own && fd > 0)
            close(fd);
    }

    Pipe readEnd;
    LimitGuard limit{RLIMIT_FSIZE};
    QTemporaryDir scratch;
    int fd = -1;
    bool own = true; // closed here, not by the pipe
    QString why;
    bool ready = false; // set up whole: no check failed and the case is not skipped
};

void OpenFailingPort(WriteFailure failure, FailingPort &port)
{
    switch (failure) {
    case PipeReadEnd:
        port.fd = port.readEnd.readFd();
        port.own = false;
        port.why = QString::fromLocal8Bit(strerror(EBADF));
        break;
    case ReadOnlyFile:
        port.fd = open("/dev/null", O_RDONLY);
        port.why = QString::fromLocal8Bit(strerror(EBADF));
        break;
    case PipeWithoutReader: {
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        close(fds[0]);
        port.fd = fds[1];
        port.why = QString::fromLocal8Bit(strerror(EPIPE));
        break;
    }
    case FileSizeLimit: {
        // A real short write: the file may grow to the limit only.
        QVERIFY(port.limit.saved);
        if (port.limit.old.rlim_max != RLIM_INFINITY && port.limit.old.rlim_max < rlim_t(kFileLimit))
            QSKIP("the hard file size limit is too low for this case");
        QVERIFY(port.scratch.isValid());
        port.fd = open(QFile::encodeName(port.scratch.filePath(QStringLiteral("port"))).constData(),
                       O_RDWR | O_CREAT, 0600);
        QVERIFY(port.fd > 0);
        QCOMPARE(lseek(port.fd, kFileLimit - 3, SEEK_SET), kFileLimit - 3);
        struct rlimit lower = port.limit.old;
        lower.rlim_cur = rlim_t(kFileLimit);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &lower) == 0);
        port.why = QStringLiteral("only 3 bytes written");
        break;
    }
    }
    port.ready = true;
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandWindowSignalsOnRelease();
    void proxyCommandWrittenAsTyped_data();
    void proxyCommandWrittenAsTyped();
    void proxyCommandRejected_data();
    void proxyCommandRejected();
    void sensorWriteEncoding_data();
    void sensorWriteEncoding();
    void sensorValueReadForEachStep();
    void sensorRangeWarnsEveryCycle_data();
    void sensorRangeWarnsEveryCycle();
    void sensorRangeCheckedBeforeStep2();
    void oneCommandPerCycleProxyFirst();
    void proxyCommandBetweenSensorSteps();
    void sensorPressAgainRepeatsStep1();
    void twoPressesGiveOneCommand_data();
    void twoPressesGiveOneCommand();
    void noAcknowledgeHoldsEverything();
    void requestWhileStoppedGoesOutInFirstCycle_data();
    void requestWhileStoppedGoesOutInFirstCycle();
    void textTakenWhenTheCycleSends();
    void sendActsOnRelease();
    void requestsKeptAcrossStopAndStart();
    void noPortDropsRequests();
    void failedWriteLeavesChannelOpen_data();
    void failedWriteLeavesChannelOpen();
    void sensorValueNeverWithoutAddress_data();
    void sensorValueNeverWithoutAddress();
    void acknowledgementByte_data();
    void acknowledgementByte();
    void freshConnectionReopensChannel_data();
    void freshConnectionReopensChannel();

private:
    WindowCommand &cmd() { return *window->pWindowCommand; }
    void attach(int fd, const QByteArray &name);
    void type(const QString &text);
    void pressProxySend();
    void pressSensorSend();
    void setSpins(int address, int value);
    QByteArray deviceBytes(int atLeast = 0);
    QStringList programLog() const;
    int sentCount() const;
    bool runCycles(const std::function<bool(int)> &step, int timeoutMs = 10000);

    struct Conversation
    {
        explicit Conversation(int n, bool answerOutstanding = false)
            : commands(n), answerFirst(answerOutstanding)
        {
        }
        int commands;                     // commands written in this run
        bool answerFirst;                 // acknowledge a command left from before, at once
        bool answerLast = false;          // acknowledge the run's last command too
        std::function<void(int)> before;  // runs before the k-th acknowledgement of the run
        int quietCycles = 3;              // cycles to watch once everything happened
        std::function<void(int)> atCycle; // runs at the start of every cycle
    };
    bool converse(const Conversation &c);

    testsupport::PortDirectory portDir;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Pty> device;
    std::unique_ptr<BoxWatcher> boxes;
    Pty *peer = nullptr; // the pseudo-terminal that plays the device now
    int portFd = -1;
    QByteArray fromDevice;
};

void TestCommands::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
    // A write to a pipe without reader must come back as EPIPE, not kill us.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    QVERIFY(portDir.isActive());
}

void TestCommands::init()
{
    f_Acknowledge = true; // as at program start
    log.reset(new LogCapture);
    window.reset(new MainWindow);
    ResetReceiver(*window);
    device.reset(new Pty);
    QVERIFY(device->isOpen());
    // The program opens its port like this; the descriptor is ours to close.
    portFd = open(device->slavePath().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(portFd > 0);
    attach(portFd, device->slavePath());
    peer = device.get();
    fromDevice.clear();
    boxes.reset(new BoxWatcher(window.get()));
    QTest::mouseClick(window->ui->pushButton, Qt::LeftButton); // "Cmd"
    QVERIFY(cmd().isVisible());
    log->clear();
}

void TestCommands::cleanup()
{
    boxes.reset();
    if (window) {
        if (window->fdSerial == portFd)
            window->fdSerial = 0; // ours, closed below
        window->close();
        window.reset();
    }
    if (portFd >= 0)
        close(portFd);
    portFd = -1;
    peer = nullptr;
    device.reset();
    log.reset();
}

void TestCommands::attach(int fd, const QByteArray &name)
{
    QVERIFY(name.size() < PORT_NAME_SIZE);
    window->fdSerial = fd;
    strcpy(window->pPortName, name.constData());
}

// Types text into the command line, key by key.
void TestCommands::type(const QString &text)
{
    QLineEdit *edit = cmd().ui->lineEdit_Command;
    edit->clear();
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(edit, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

void TestCommands::pressProxySend()
{
    QTest::mouseClick(cmd().ui->pushButton_Send_Proxy, Qt::LeftButton);
}

void TestCommands::pressSensorSend()
{
    QTest::mouseClick(cmd().ui->pushButton_SendSensor, Qt::LeftButton);
}

void TestCommands::setSpins(int address, int value)
{
    cmd().ui->spinBox_Address->setValue(address);
    cmd().ui->spinBox_Value->setValue(value);
}

// Everything the program wrote to the device during this test, once at
// least atLeast bytes have arrived (or five seconds have passed).
QByteArray TestCommands::deviceBytes(int atLeast)
{
    QElapsedTimer clock;
    clock.start();
    fromDevice += peer->received();
    while (fromDevice.size() < atLeast && clock.elapsed() < 5000) {
        QTest::qWait(2);
        fromDevice += peer->received();
    }
    // Anything written after that would have arrived by now as well.
    QTest::qWait(20);
    fromDevice += peer->received();
    return fromDevice;
}

// The debug lines of the program. The offscreen platform adds a note of its
// own whenever a warning box is shown; that one is the toolkit's, not ours.
QStringList TestCommands::programLog() const
{
    QStringList lines = log->lines();
    lines.removeAll(QStringLiteral("This plugin does not support propagateSizeHints()"));
    return lines;
}

int TestCommands::sentCount() const
{
    const QStringList lines = programLog();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), IsSentLine));
}

// Runs the acquisition loop as the operator does and calls step(n) once in
// each cycle n = 0, 1, ... during that cycle's event processing, that is
// before the cycle reads the port and sends. The cycle in which step returns
// true is the last one. The loop copies bStop into bStopped at the end of
// every cycle; raising bStopped here marks the cycle as seen, so that a
// second pass of event processing in the same cycle (a warning box's own
// event loop) is not taken for a new cycle.
bool TestCommands::runCycles(const std::function<bool(int)> &step, int timeoutMs)
{
    MainWindow &w = *window;
    int cycle = 0;
    bool finished = false;
    auto check = [&] {
        if (finished || w.bStopped)
            return;
        w.bStopped = true;
        fromDevice += peer->received();
        finished = step(cycle++);
        if (finished)
            QTest::mouseClick(w.ui->pushButton_Stop, Qt::LeftButton);
    };
    const bool reached = RunUntil(w, [&] { return finished; }, timeoutMs, check);
    return reached && finished;
}

// Plays a device that acknowledges each command after it was written, one
// acknowledgement in flight at a time, until c.commands commands were written
// in this run; then watches c.quietCycles more cycles.
bool TestCommands::converse(const Conversation &c)
{
    const int sent0 = sentCount();
    const int acks0 = log->count(QLatin1String(ACK_LOG));
    int given = 0;
    int quiet = 0;
    return runCycles([&](int n) {
        if (c.atCycle)
            c.atCycle(n);
        const int sent = sentCount() - sent0;
        const int acks = log->count(QLatin1String(ACK_LOG)) - acks0;
        const int answerable = std::max(0, c.answerLast ? c.commands : c.commands - 1);
        const int due = (c.answerFirst ? 1 : 0) + std::min(sent, answerable);
        if (given < due && acks == given) {
            if (c.before)
                c.before(given);
            peer->send(QByteArray(1, static_cast<char>(ACK)));
            ++given;
            return false;
        }
        if (sent >= c.commands && given == due && acks == given)
            return ++quiet > c.quietCycles;
        return false;
    });
}

// ---------------------------------------------------------------------------

void TestCommands::commandWindowSignalsOnRelease()
{
    WindowCommand w;
    w.show();
    QCOMPARE(w.windowTitle(), QStringLiteral("Send Commands"));
    QCOMPARE(w.iAddress, 0);
    QCOMPARE(w.iValue, 0);
    QVERIFY(w.strCommand.isEmpty());
    QSignalSpy proxy(&w, SIGNAL(SendCommandProxy()));
    QSignalSpy sensor(&w, SIGNAL(SendCommandSensor()));

    QTest::mousePress(w.ui->pushButton_Send_Proxy, Qt::LeftButton);
    QCOMPARE(proxy.count(), 0);
    QTest::mouseRelease(w.ui->pushButton_Send_Proxy, Qt::LeftButton);
    QCOMPARE(proxy.count(), 1);
    QCOMPARE(sensor.count(), 0);

    QTest::mousePress(w.ui->pushButton_SendSensor, Qt::LeftButton);
    QCOMPARE(sensor.count(), 0);
    QTest::mouseRelease(w.ui->pushButton_SendSensor, Qt::LeftButton);
    QCOMPARE(sensor.count(), 1);
    QCOMPARE(proxy.count(), 1);

    // The text is kept on every change, not only when Send is released.
    QTest::keyClicks(w.ui->lineEdit_Command, QStringLiteral("!3x"));
    QCOMPARE(w.strCommand, QStringLiteral("!3x"));
    QTest::keyClick(w.ui->lineEdit_Command, Qt::Key_Backspace);
    QCOMPARE(w.strCommand, QStringLiteral("!3"));
    w.ui->spinBox_Address->setValue(17);
    w.ui->spinBox_Value->setValue(9);
    QCOMPARE(w.iAddress, 17);
    QCOMPARE(w.iValue, 9);
    QCOMPARE(proxy.count(), 1);
    QCOMPARE(sensor.count(), 1);
}

void TestCommands::proxyCommandWrittenAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("letters") << QStringLiteral("!1abcd") << QByteArray("!1abcd");
    QTest::newRow("highest digit") << QStringLiteral("!6ZZ9-") << QByteArray("!6ZZ9-");
    QTest::newRow("four blanks") << QStringLiteral("!1    ") << QByteArray("!1    ");
    QTest::newRow("looks like a sensor step") << QStringLiteral("!2E005") << QByteArray("!2E005");
    QTest::newRow("latin-1 letter is one byte") << QString::fromUtf8("!4abc\xc3\xa9")
                                                << QByteArray("!4abc\xe9");
    QTest::newRow("euro sign becomes ?") << QString::fromUtf8("!1abc\xe2\x82\xac")
                                         << QByteArray("!1abc?");
}

void TestCommands::proxyCommandWrittenAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(QByteArray, wire);
    type(typed);
    QCOMPARE(cmd().strCommand, typed);
    pressProxySend();

    QStringList afterFirstCycle;
    QVERIFY(runCycles([&](int n) {
        if (n == 1)
            afterFirstCycle = programLog();
        return n == 4;
    }));
    const QStringList expected{SentLine(wire, device->slavePath())};
    QCOMPARE(afterFirstCycle, expected);
    QCOMPARE(programLog(), expected);
    QCOMPARE(deviceBytes(wire.size()), wire);
    QCOMPARE(boxes->seen, QStringList());
}

void TestCommands::proxyCommandRejected_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("logLines");
    const QString tooShort = Warning(SIZE_TITLE, TOO_SHORT_TEXT);
    const QString tooLong = Warning(SIZE_TITLE, TOO_LONG_TEXT);
    const QString notValid = Warning(INVALID_TITLE, NOT_VALID_TEXT);
    const QString unknown = Warning(INVALID_TITLE, UNKNOWN_TEXT);
    const QStringList shortLog{QLatin1String(TOO_SHORT_LOG)};
    const QStringList longLog{QLatin1String(TOO_LONG_LOG)};
    const QStringList invalidLog{QLatin1String(NOT_VALID_LOG)};

    QTest::newRow("empty") << QString() << true << tooShort << shortLog;
    QTest::newRow("five") << QStringLiteral("!1abc") << true << tooShort << shortLog;
    QTest::newRow("one") << QStringLiteral("!") << true << tooShort << shortLog;
    QTest::newRow("seven") << QStringLiteral("!1abcde") << true << tooLong << longLog;
    QTest::newRow("long, not cut to six") << QStringLiteral("!1abcd and some more text") << true
                                          << tooLong << longLog;
    QTest::newRow("seven after conversion") << QString::fromUtf8("!1abc\xe2\x82\xac\xe2\x82\xac")
                                            << true << tooLong << longLog;
    QTest::newRow("length before first character") << QStringLiteral("?1abcdef") << true
                                                   << tooLong << longLog;
    QTest::newRow("no bang") << QStringLiteral("?1abcd") << true << notValid << invalidLog;
    QTest::newRow("blank first") << QStringLiteral(" !1abc") << true << notValid << invalidLog;
    QTest::newRow("euro first") << QString::fromUtf8("\xe2\x82\xac" "1abcd") << true << notValid
                                << invalidLog;
    QTest::newRow("first before second") << QStringLiteral("x7abcd") << true << notValid
                                         << invalidLog;
    QTest::newRow("digit 0") << QStringLiteral("!0abcd") << true << unknown << QStringList();
    QTest::newRow("digit 7") << QStringLiteral("!7abcd") << true << unknown << QStringList();
    QTest::newRow("letter") << QStringLiteral("!Eabcd") << true << unknown << QStringList();
    QTest::newRow("blank second") << QStringLiteral("! abcd") << true << unknown << QStringList();
    QTest::newRow("no port: short") << QStringLiteral("!1ab") << false << tooShort << shortLog;
    QTest::newRow("no port: unknown") << QStringLiteral("!9abcd") << false << unknown
                                      << QStringList();
    QTest::newRow("no port: not valid") << QStringLiteral("#1abcd") << false << notValid
                                        << invalidLog;
}

// One warning per press, nothing written, and the handshake untouched.
void TestCommands::proxyCommandRejected()
{
    QFETCH(QString, typed);
    QFETCH(bool, withPort);
    QFETCH(QString, box);
    QFETCH(QStringList, logLines);
    if (!withPort)
        window->fdSerial = 0;
    type(typed);
    QCOMPARE(cmd().strCommand, typed);
    pressProxySend();

    QList<int> boxesSeen;
    QVERIFY(runCycles([&](int n) {
        boxesSeen << boxes->seen.size();
        if (n == 3) {
            // Two presses before the next cycle: one more validation.
            pressProxySend();
            pressProxySend();
        }
        return n == 6;
    }));
    QCOMPARE(boxesSeen, (QList<int>{0, 1, 1, 1, 2, 2, 2}));
    QCOMPARE(boxes->seen, (QStringList{box, box}));
    QCOMPARE(programLog(), logLines + logLines);
    QCOMPARE(deviceBytes(), QByteArray());

    if (!withPort)
        return;
    // No command is in flight: the next valid one goes out without any
    // acknowledgement.
    log->clear();
    type(QStringLiteral("!5okay"));
    pressProxySend();
    QVERIFY(runCycles([](int n) { return n == 2; }));
    QCOMPARE(programLog(), QStringList{SentLine("!5okay", device->slavePath())});
    QCOMPARE(deviceBytes(6), QByteArray("!5okay"));
    QCOMPARE(boxes->seen.size(), 2);
}

void TestCommands::sensorWriteEncoding_data()
{
    QTest::addColumn<bool>("spinBoxes");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("step1");
    QTest::addColumn<QByteArray>("step2");
    QTest::newRow("untouched spin boxes") << true << 0 << 0 << QByteArray("!E0000")
                                          << QByteArray("!F0000");
    QTest::newRow("5 and 42") << true << 5 << 42 << QByteArray("!E0005") << QByteArray("!F0042");
    QTest::newRow("highest on the spin boxes") << true << 255 << 99 << QByteArray("!E0255")
                                               << QByteArray("!F0099");
    QTest::newRow("spin boxes clamp") << true << 300 << 4000 << QByteArray("!E0255")
                                      << QByteArray("!F0099");
    QTest::newRow("10 and 100") << true << 10 << 7 << QByteArray("!E0010") << QByteArray("!F0007");
    QTest::newRow("four digits") << false << 1000 << 2024 << QByteArray("!E1000")
                                 << QByteArray("!F2024");
    QTest::newRow("highest accepted") << false << 4095 << 4095 << QByteArray("!E4095")
                                      << QByteArray("!F4095");
}

// Step 1 carries the address, step 2 the value, and step 2 waits for the
// acknowledgement of step 1.
void TestCommands::sensorWriteEncoding()
{
    QFETCH(bool, spinBoxes);
    QFETCH(int, address);
    QFETCH(int, value);
    QFETCH(QByteArray, step1);
    QFETCH(QByteArray, step2);
    if (spinBoxes) {
        setSpins(address, value);
    } else {
        cmd().iAddress = address;
        cmd().iValue = value;
    }
    pressSensorSend();

    QByteArray beforeAck;
    Conversation talk{2};
    talk.before = [&](int) { beforeAck = deviceBytes(6); };
    talk.quietCycles = 5;
    QVERIFY(converse(talk));
    QCOMPARE(beforeAck, step1);
    const QByteArray port = device->slavePath();
    QCOMPARE(programLog(), (QStringList{SentLine(step1, port), ACK_LOG, SentLine(step2, port)}));
    QCOMPARE(deviceBytes(12), step1 + step2);
    QCOMPARE(boxes->seen, QStringList());
}

void TestCommands::sensorValueReadForEachStep()
{
    setSpins(5, 42);
    pressSensorSend();
    // Changed after the press, before the cycle takes the request: step 1
    // carries the new address.
    cmd().ui->spinBox_Address->setValue(6);
    Conversation talk{2};
    talk.before = [&](int) {
        cmd().ui->spinBox_Value->setValue(77);
        cmd().ui->spinBox_Address->setValue(200);
    };
    QVERIFY(converse(talk));
    QCOMPARE(deviceBytes(12), QByteArray("!E0006!F0077"));
}

void TestCommands::sensorRangeWarnsEveryCycle_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("tooLong");
    QTest::newRow("address -1") << -1 << 0 << false;
    QTest::newRow("value -1") << 0 << -1 << false;
    QTest::newRow("address 4096") << 4096 << 0 << true;
    QTest::newRow("value 4096") << 5 << 4096 << true;
    QTest::newRow("value 9999") << 5 << 9999 << true;
    QTest::newRow("address INT_MAX") << INT_MAX << 1 << true;
    QTest::newRow("address INT_MIN") << INT_MIN << 1 << false;
    QTest::newRow("negative checked first") << 5000 << -3 << false;
    QTest::newRow("negative checked first, too") << -3 << 5000 << false;
}

// The spin boxes cannot leave their ranges, so the numbers are set directly.
void TestCommands::sensorRangeWarnsEveryCycle()
{
    QFETCH(int, address);
    QFETCH(int, value);
    QFETCH(bool, tooLong);
    cmd().iAddress = address;
    cmd().iValue = value;
    pressSensorSend();

    QList<int> boxesSeen;
    QVERIFY(runCycles([&](int n) {
        boxesSeen << boxes->seen.size();
        if (n == 4) {
            cmd().iAddress = 3;
            cmd().iValue = 4;
        }
        return n == 4;
    }));
    QCOMPARE(boxesSeen, (QList<int>{0, 1, 2, 3, 4}));
    const QString box = tooLong ? Warning(SIZE_TITLE, TOO_LONG_TEXT)
                                : Warning(SIZE_TITLE, TOO_SHORT_TEXT);
    QCOMPARE(boxes->seen, (QStringList{box, box, box, box}));
    const QString line = QLatin1String(tooLong ? TOO_LONG_LOG : TOO_SHORT_LOG);
    // Back in range: the write starts from step 1 in the cycle that follows.
    QCOMPARE(programLog(), (QStringList{line, line, line, line,
                                        SentLine("!E0003", device->slavePath())}));
    QVERIFY(converse(Conversation{1, true}));
    QCOMPARE(deviceBytes(12), QByteArray("!E0003!F0004"));
    QCOMPARE(boxes->seen.size(), 4);
}

// Step 2 is checked again: an address out of range holds the value back too.
void TestCommands::sensorRangeCheckedBeforeStep2()
{
    setSpins(5, 42);
    pressSensorSend();
    QVERIFY(converse(Conversation{1}));
    QCOMPARE(deviceBytes(6), QByteArray("!E0005"));
    cmd().iAddress = 4096;
    log->clear();

    int acked = -1;
    QList<int> boxesSeen;
    QVERIFY(runCycles([&](int n) {
        if (n == 0) {
            device->send(QByteArray(1, static_cast<char>(ACK)));
            return false;
        }
        if (acked < 0 && log->count(QLatin1String(ACK_LOG)) == 1)
            acked = n;
        if (acked < 0)
            return false;
        boxesSeen << boxes->seen.size();
        if (n == acked + 3)
            cmd().iAddress = 5;
        return n == acked + 5;
    }));
    // The cycle that took the acknowledgement and each following one warned,
    // until the address was fixed.
    QCOMPARE(boxesSeen, (QList<int>{1, 2, 3, 4, 4, 4}));
    const QString box = Warning(SIZE_TITLE, TOO_LONG_TEXT);
    QCOMPARE(boxes->seen, (QStringList{box, box, box, box}));
    const QString line = QLatin1String(TOO_LONG_LOG);
    QCOMPARE(programLog(), (QStringList{ACK_LOG, line, line, line, line,
                                        SentLine("!F0042", device->slavePath())}));
    QCOMPARE(deviceBytes(12), QByteArray("!E0005!F0042"));
}

// A pending proxy command and a pending sensor write: the proxy command goes
// first, and each cycle writes at most one command.
void TestCommands::oneCommandPerCycleProxyFirst()
{
    setSpins(5, 42);
    type(QStringLiteral("!1abcd"));
    pressSensorSend();
    pressProxySend();
    QVERIFY(runCycles([](int n) { return n == 5; }));
    const QByteArray port = device->slavePath();
    QCOMPARE(programLog(), QStringList{SentLine("!1abcd", port)});
    QCOMPARE(deviceBytes(6), QByteArray("!1abcd"));

    log->clear();
    QVERIFY(converse(Conversation{2, true}));
    QCOMPARE(programLog(), (QStringList{ACK_LOG, SentLine("!E0005", port), ACK_LOG,
                                        SentLine("!F0042", port)}));
    QCOMPARE(deviceBytes(18), QByteArray("!1abcd!E0005!F0042"));
}

void TestCommands::proxyCommandBetweenSensorSteps()
{
    setSpins(12, 34);
    pressSensorSend();
    Conversation talk{3};
    talk.before = [&](int k) {
        if (k == 0) {
            type(QStringLiteral("!4wxyz"));
            pressProxySend();
        }
    };
    QVERIFY(converse(talk));
    const QByteArray port = device->slavePath();
    QCOMPARE(programLog(), (QStringList{SentLine("!E0012", port), ACK_LOG, SentLine("!4wxyz", port),
                                        ACK_LOG, SentLine("!F0034", port)}));
    QCOMPARE(deviceBytes(18), QByteArray("!E0012!4wxyz!F0034"));
}

void TestCommands::sensorPressAgainRepeatsStep1()
{
    setSpins(7, 8);
    pressSensorSend();
    Conversation talk{3};
    talk.before = [&](int k) {
        if (k == 0)
            pressSensorSend();
    };
    QVERIFY(converse(talk));
    QCOMPARE(deviceBytes(18), QByteArray("!E0007!E0007!F0008"));
}

void TestCommands::twoPressesGiveOneCommand_data()
{
    QTest::addColumn<bool>("sensor");
    QTest::addColumn<bool>("whileRunning");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("proxy, stopped") << false << false << QByteArray("!2abcd");
    QTest::newRow("proxy, running") << false << true << QByteArray("!2abcd");
    QTest::newRow("sensor, stopped") << true << false << QByteArray("!E0005!F0042");
    QTest::newRow("sensor, running") << true << true << QByteArray("!E0005!F0042");
}

// Every command is acknowledged, so a second request would go out.
void TestCommands::twoPressesGiveOneCommand()
{
    QFETCH(bool, sensor);
    QFETCH(bool, whileRunning);
    QFETCH(QByteArray, wire);
    type(QStringLiteral("!2abcd"));
    setSpins(5, 42);
    auto pressTwice = [&] {
        for (int i = 0; i < 2; ++i) {
            if (sensor)
                pressSensorSend();
            else
                pressProxySend();
        }
    };
    Conversation talk{sensor ? 2 : 1};
    if (whileRunning)
        talk.atCycle = [&](int n) {
            if (n == 2)
                pressTwice();
        };
    else
        pressTwice();
    talk.answerLast = true;
    talk.quietCycles = 5;
    QVERIFY(converse(talk));
    QCOMPARE(sentCount(), sensor ? 2 : 1);
    QCOMPARE(deviceBytes(wire.size()), wire);
}

// While a command waits for its acknowledgement, presses of either button
// have no visible effect, however long it takes; the acknowledgement then
// lets them through, one per cycle.
void TestCommands::noAcknowledgeHoldsEverything()
{
    type(QStringLiteral("!1abcd"));
    pressProxySend();
    QVERIFY(runCycles([](int n) { return n == 1; }));
    const QByteArray port = device->slavePath();
    QCOMPARE(programLog(), QStringList{SentLine("!1abcd", port)});

    type(QStringLiteral("abcdef"));
    pressProxySend();
    setSpins(9, 10);
    pressSensorSend();
    log->clear();
    QElapsedTimer clock;
    clock.start();
    // Long enough for the one-second tick to come by at least once.
    QVERIFY(runCycles([&](int n) { return n > 20 && clock.elapsed() > 1500; }));
    QCOMPARE(programLog(), QStringList());
    QCOMPARE(boxes->seen, QStringList());
    QCOMPARE(deviceBytes(6), QByteArray("!1abcd"));

    QVERIFY(converse(Conversation{1, true}));
    QCOMPARE(boxes->seen, QStringList{Warning(INVALID_TITLE, NOT_VALID_TEXT)});
    QCOMPARE(programLog(), (QStringList{ACK_LOG, NOT_VALID_LOG, SentLine("!E0009", port)}));
    QVERIFY(converse(Conversation{1, true}));
    QCOMPARE(deviceBytes(18), QByteArray("!1abcd!E0009!F0010"));
}

void TestCommands::requestWhileStoppedGoesOutInFirstCycle_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("logLines");
    QTest::addColumn<QStringList>("boxList");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("proxy") << QStringLiteral("proxy") << QStringList{SentLine("!3stop", "PORT")}
                           << QStringList() << QByteArray("!3stop");
    QTest::newRow("rejected proxy") << QStringLiteral("bad proxy") << QStringList{TOO_SHORT_LOG}
                                    << QStringList{Warning(SIZE_TITLE, TOO_SHORT_TEXT)}
                                    << QByteArray();
    QTest::newRow("sensor") << QStringLiteral("sensor") << QStringList{SentLine("!E0021", "PORT")}
                            << QStringList() << QByteArray("!E0021");
}

void TestCommands::requestWhileStoppedGoesOutInFirstCycle()
{
    QFETCH(QString, request);
    QFETCH(QStringList, logLines);
    QFETCH(QStringList, boxList);
    QFETCH(QByteArray, wire);
    logLines.replaceInStrings(QStringLiteral("PORT"), QString::fromUtf8(device->slavePath()));
    setSpins(21, 22);
    if (request == QLatin1String("sensor")) {
        pressSensorSend();
    } else {
        type(request == QLatin1String("proxy") ? QStringLiteral("!3stop") : QStringLiteral("!3"));
        pressProxySend();
    }
    QTest::qWait(100);
    QCOMPARE(programLog(), QStringList());
    QCOMPARE(boxes->seen, QStringList());
    QCOMPARE(deviceBytes(), QByteArray());

    QStringList logAtCycle1;
    QStringList boxesAtCycle1;
    QVERIFY(runCycles([&](int n) {
        logAtCycle1 = programLog();
        boxesAtCycle1 = boxes->seen;
        return n == 1;
    }));
    QCOMPARE(logAtCycle1, logLines);
    QCOMPARE(boxesAtCycle1, boxList);
    QCOMPARE(programLog(), logLines);
    QCOMPARE(deviceBytes(wire.size()), wire);
}

// The text sent is the one in the line when the cycle takes the request.
void TestCommands::textTakenWhenTheCycleSends()
{
    type(QStringLiteral("!1aaaa"));
    pressProxySend();
    type(QStringLiteral("!2bbbb"));
    QVERIFY(runCycles([&](int n) { return n == 2; }));
    QCOMPARE(programLog(), QStringList{SentLine("!2bbbb", device->slavePath())});
    QCOMPARE(deviceBytes(6), QByteArray("!2bbbb"));
}

// A Send button held down is no request yet; its release is.
void TestCommands::sendActsOnRelease()
{
    QPushButton *proxy = cmd().ui->pushButton_Send_Proxy;
    QPushButton *sensor = cmd().ui->pushButton_SendSensor;
    type(QStringLiteral("!1abcd"));
    setSpins(3, 4);
    QTest::mousePress(proxy, Qt::LeftButton);
    QVERIFY(runCycles([](int n) { return n == 3; }));
    QCOMPARE(programLog(), QStringList());
    QTest::mouseRelease(proxy, Qt::LeftButton);
    QVERIFY(runCycles([](int n) { return n == 2; }));
    QCOMPARE(programLog(), QStringList{SentLine("!1abcd", device->slavePath())});

    log->clear();
    QTest::mousePress(sensor, Qt::LeftButton);
    QVERIFY(converse(Conversation{0, true}));
    QCOMPARE(programLog(), QStringList{ACK_LOG});
    QTest::mouseRelease(sensor, Qt::LeftButton);
    QVERIFY(runCycles([](int n) { return n == 2; }));
    QCOMPARE(programLog(), (QStringList{ACK_LOG, SentLine("!E0003", device->slavePath())}));
    QCOMPARE(deviceBytes(12), QByteArray("!1abcd!E0003"));
}

void TestCommands::requestsKeptAcrossStopAndStart()
{
    type(QStringLiteral("!6keep"));
    pressProxySend();
    QVERIFY(runCycles([](int n) { return n == 2; }));
    setSpins(11, 12);
    pressSensorSend();
    QVERIFY(runCycles([](int n) { return n == 3; }));
    QCOMPARE(deviceBytes(6), QByteArray("!6keep"));
    QCOMPARE(sentCount(), 1);
    // Each run: the outstanding command is acknowledged, one more goes out.
    QVERIFY(converse(Conversation{1, true}));
    QCOMPARE(deviceBytes(12), QByteArray("!6keep!E0011"));
    QVERIFY(converse(Conversation{1, true}));
    QCOMPARE(deviceBytes(18), QByteArray("!6keep!E0011!F0012"));
    QCOMPARE(sentCount(), 3);
}

// Without a port the requests are taken and dropped, and the handshake stays
// as it was. Only the register write says so: its value must not follow.
void TestCommands::noPortDropsRequests()
{
    window->fdSerial = 0;
    type(QStringLiteral("!1lost"));
    setSpins(1, 2);
    pressProxySend();
    pressSensorSend();
    QVERIFY(runCycles([](int n) { return n == 4; }));
    QCOMPARE(programLog(), QStringList{DroppedLine(1)});
    QCOMPARE(boxes->seen, QStringList());

    attach(portFd, device->slavePath());
    log->clear();
    QVERIFY(runCycles([](int n) { return n == 4; }));
    QCOMPARE(programLog(), QStringList());
    QCOMPARE(deviceBytes(), QByteArray());

    // No acknowledgement is owed for the dropped commands.
    type(QStringLiteral("!2here"));
    pressProxySend();
    QVERIFY(runCycles([](int n) { return n == 2; }));
    QCOMPARE(programLog(), QStringList{SentLine("!2here", device->slavePath())});
    QCOMPARE(deviceBytes(6), QByteArray("!2here"));
}

void TestCommands::failedWriteLeavesChannelOpen_data()
{
    QTest::addColumn<int>("failure");
    QTest::addColumn<bool>("sensor");
    const QList<QPair<WriteFailure, QString>> failures{
        {PipeReadEnd, QStringLiteral("pipe read end")},
        {ReadOnlyFile, QStringLiteral("read-only file")},
        {PipeWithoutReader, QStringLiteral("pipe without reader")},
        {FileSizeLimit, QStringLiteral("file size limit")}};
    for (const auto &f : failures) {
        QTest::newRow(qPrintable(f.second + QStringLiteral(", proxy"))) << int(f.first) << false;
        QTest::newRow(qPrintable(f.second + QStringLiteral(", sensor"))) << int(f.first) << true;
    }
}

// A command that did not go out whole is reported and owes no
// acknowledgement: the next one goes out in the next cycle. A register write
// whose address did not go out is dropped whole.
void TestCommands::failedWriteLeavesChannelOpen()
{
    QFETCH(int, failure);
    QFETCH(bool, sensor);
    FailingPort bad;
    OpenFailingPort(WriteFailure(failure), bad);
    if (!bad.ready)
        return; // a check of the set-up failed, or the case is skipped here
    QVERIFY(bad.fd > 0);
    // However the test ends, the window is left with the good port (the
    // failing descriptor is closed once, by `bad`).
    struct GoodPortBack
    {
        MainWindow *w;
        int bad;
        int good;
        ~GoodPortBack()
        {
            if (w->fdSerial == bad)
                w->fdSerial = good;
        }
    } goodPortBack{window.get(), bad.fd, portFd};
    attach(bad.fd, device->slavePath());

    setSpins(5, 42);
    if (sensor) {
        pressSensorSend();
    } else {
        type(QStringLiteral("!1abcd"));
        pressProxySend();
    }
    QStringList logAfterFailure;
    QVERIFY(runCycles([&](int n) {
        if (n == 1) {
            logAfterFailure = programLog();
            attach(portFd, device->slavePath());
            type(QStringLiteral("!2wxyz"));
            pressProxySend();
        }
        return n == 4;
    }));
    QByteArray partial(3, '\0');
    if (failure == FileSizeLimit)
        QCOMPARE(pread(bad.fd, partial.data(), 3, kFileLimit - 3), ssize_t(3));
    const QByteArray first = sensor ? "!E0005" : "!1abcd";
    const QByteArray second = "!2wxyz";
    const QByteArray port = device->slavePath();
    QStringList failed{SentLine(first, port), NotSentLine(first, bad.why)};
    if (sensor)
        failed << DroppedLine(5);
    QCOMPARE(logAfterFailure, failed);
    QCOMPARE(programLog(), failed + QStringList{SentLine(second, port)});
    QCOMPARE(deviceBytes(6), second);
    QCOMPARE(boxes->seen, QStringList());
    if (failure == FileSizeLimit)
        QCOMPARE(partial, first.left(3));
}

void TestCommands::sensorValueNeverWithoutAddress_data()
{
    QTest::addColumn<bool>("stopOutput");
    QTest::newRow("no port in the address cycle") << false;
    QTest::newRow("output queue full in the address cycle") << true;
}

// The address step is not written, and in the next cycle the port works
// again: the value must not go out alone, or the device writes it into the
// register it was given last. The write is dropped; pressed again, it goes
// out whole.
void TestCommands::sensorValueNeverWithoutAddress()
{
    QFETCH(bool, stopOutput);
    // Output stopped, the pty takes nothing more, as when its queue is full.
    auto block = [&](bool blocked) {
        if (stopOutput)
            QVERIFY(tcflow(portFd, blocked ? TCOOFF : TCOON) == 0);
        else
            window->fdSerial = blocked ? 0 : portFd;
    };
    setSpins(7, 42);
    pressSensorSend();
    block(true);
    QVERIFY(runCycles([&](int n) {
        if (n == 1)
            block(false);
        return n == 4;
    }));
    QCOMPARE(deviceBytes(), QByteArray());
    QStringList expected;
    if (stopOutput)
        expected << SentLine("!E0007", device->slavePath())
                 << NotSentLine("!E0007", QString::fromLocal8Bit(strerror(EAGAIN)));
    QCOMPARE(programLog(), expected << DroppedLine(7));

    pressSensorSend();
    QVERIFY(converse(Conversation{2}));
    QCOMPARE(deviceBytes(12), QByteArray("!E0007!F0042"));
}

void TestCommands::acknowledgementByte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("acknowledges");
    const char ack = static_cast<char>(ACK);
    QTest::newRow("0x06") << QByteArray(1, ack) << true;
    QTest::newRow("0x06 among stray bytes") << QByteArray("\x01\x05\x06\x07\x7f", 5) << true;
    QTest::newRow("0x06 in pixel data") << QByteArray("\x02\x81\x82\x06\x83\x84", 6) << true;
    QTest::newRow("0x86, bit 7 set") << QByteArray("\x86", 1) << false;
    QTest::newRow("other control bytes") << QByteArray("\x00\x01\x04\x05\x07\x15\x7f", 7) << false;
    // End marker, then 0x06 as the first of the five checksum bytes.
    QTest::newRow("0x06 as checksum byte") << QByteArray("\x02\x81\x03\x06\x00\x00\x00\x00", 8)
                                           << false;
}

// What the device sends while a command waits for its answer.
void TestCommands::acknowledgementByte()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, acknowledges);
    type(QStringLiteral("!1abcd"));
    pressProxySend();
    QVERIFY(runCycles([](int n) { return n == 1; }));
    type(QStringLiteral("!2abcd"));
    pressProxySend();
    QCOMPARE(deviceBytes(6), QByteArray("!1abcd"));

    // Delivered while stopped, so the run below starts with all of it waiting.
    QVERIFY(device->send(bytes));
    int waiting = 0;
    QElapsedTimer clock;
    clock.start();
    while ((ioctl(portFd, FIONREAD, &waiting) != 0 || waiting < bytes.size())
           && clock.elapsed() < 5000)
        QTest::qWait(2);
    QCOMPARE(waiting, static_cast<int>(bytes.size()));
    log->clear();
    int drained = -1;
    QVERIFY(runCycles([&](int n) {
        if (drained < 0 && ioctl(portFd, FIONREAD, &waiting) == 0 && waiting == 0)
            drained = n;
        return drained >= 0 && n == drained + 3;
    }));
    QCOMPARE(log->count(QLatin1String(ACK_LOG)), acknowledges ? 1 : 0);
    QCOMPARE(sentCount(), acknowledges ? 1 : 0);
    if (acknowledges)
        QCOMPARE(programLog().filter(QStringLiteral("Command")),
                 QStringList{SentLine("!2abcd", device->slavePath())});

    // A plain acknowledgement still works afterwards.
    if (!acknowledges)
        QVERIFY(converse(Conversation{1, true}));
    QCOMPARE(deviceBytes(12), QByteArray("!1abcd!2abcd"));
}

void TestCommands::freshConnectionReopensChannel_data()
{
    QTest::addColumn<bool>("sameAdapter");
    QTest::newRow("same adapter plugged again") << true;
    QTest::newRow("another adapter") << false;
}

// An acknowledgement lost with the adapter: the channel opens again with the
// next connection, and the requests that waited go out there.
void TestCommands::freshConnectionReopensChannel()
{
    QFETCH(bool, sameAdapter);
    const QString link0 = portDir.node(0);
    const QString link1 = portDir.node(1);
    struct Unlink
    {
        QStringList paths;
        ~Unlink()
        {
            for (const QString &p : paths)
                QFile::remove(p);
        }
    } unlinkLater{{link0, link1}};
    const QByteArray port0 = QFile::encodeName(link0);
    const QByteArray port1 = QFile::encodeName(link1);

    window->fdSerial = 0;
    window->pPortName[0] = '\0';
    QVERIFY(QFile::link(QString::fromUtf8(device->slavePath()), link0));
    QMetaObject::invokeMethod(window.get(), "Timer1s_Timeout");
    QCOMPARE(programLog(), (QStringList{QString::fromUtf8(port0) + QStringLiteral(" detected"),
                                        QStringLiteral("Connecting to ") + QString::fromUtf8(port0),
                                        QStringLiteral("Connection to ") + QString::fromUtf8(port0)
                                            + QStringLiteral(" established")}));
    QVERIFY(window->fdSerial > 0);

    setSpins(5, 42);
    pressSensorSend();
    log->clear();
    QVERIFY(converse(Conversation{1}));
    QCOMPARE(programLog(), QStringList{SentLine("!E0005", port0)});
    QCOMPARE(deviceBytes(6), QByteArray("!E0005"));

    // Unplugged before the device answered.
    QVERIFY(QFile::remove(link0));
    log->clear();
    QMetaObject::invokeMethod(window.get(), "Timer1s_Timeout");
    QCOMPARE(programLog(), QStringList{QStringLiteral("Serial Port ") + QString::fromUtf8(port0)
                                       + QStringLiteral(" disconnected")});
    QCOMPARE(window->fdSerial, 0);

    // Requests wait while there is no port.
    type(QStringLiteral("!3back"));
    pressProxySend();
    log->clear();
    QVERIFY(runCycles([](int n) { return n == 4; }));
    QCOMPARE(programLog(), QStringList());

    Pty other;
    QVERIFY(other.isOpen());
    Pty *const adapter = sameAdapter ? device.get() : &other;
    const QString link = sameAdapter ? link0 : link1;
    const QByteArray port = sameAdapter ? port0 : port1;
    QVERIFY(QFile::link(QString::fromUtf8(adapter->slavePath()), link));
    log->clear();
    QMetaObject::invokeMethod(window.get(), "Timer1s_Timeout");
    QCOMPARE(programLog(), (QStringList{QString::fromUtf8(port) + QStringLiteral(" detected"),
                                        QStringLiteral("Connecting to ") + QString::fromUtf8(port),
                                        QStringLiteral("Connection to ") + QString::fromUtf8(port)
                                            + QStringLiteral(" established")}));
    log->clear();

    // The waiting proxy command first, then step 2 of the sensor write.
    peer = adapter;
    fromDevice.clear();
    QVERIFY(converse(Conversation{2}));
    QCOMPARE(programLog(),
             (QStringList{SentLine("!3back", port), ACK_LOG, SentLine("!F0042", port)}));
    QCOMPARE(deviceBytes(12), QByteArray("!3back!F0042"));
    if (!sameAdapter)
        QCOMPARE(device->received(), QByteArray());
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
