// The two endless knobs and the read-only spin boxes beside them: a knob report
// is one step of 1 (gain) or 100 (offset) at most, the seam between positions
// 16 and 1 counts as no movement, a step that starts on a seam position keeps
// the direction it came from, and the spin boxes bound the values that the
// conversion reads.
//
// The knobs remember their last position in static variables shared by every
// window of the process. Every sequence below therefore first brings the knob
// to a known position through a middle position, so that each case starts from
// a known remembered position whatever ran before it. The very first movement
// after start-up (compared with 0) can only be seen once per process, so those
// cases run in a child process of this test program each.

#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QDial>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSpinBox>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>

using namespace testsupport;

namespace {

enum Knob { Gain, Offset };

const char CHILD_KNOB[] = "FRAMESCOPE_TEST_KNOB";
const char CHILD_STEPS[] = "FRAMESCOPE_TEST_KNOB_STEPS";
const char CHILD_RESULT[] = "KNOB-RESULT";

QDial *DialOf(MainWindow &w, Knob knob)
{
    return knob == Gain ? w.ui->dial_Gain : w.ui->dial_Offset;
}

QSpinBox *SpinOf(MainWindow &w, Knob knob)
{
    return knob == Gain ? w.ui->spinBox_Gain : w.ui->spinBox_Offset;
}

int &MemberOf(MainWindow &w, Knob knob)
{
    return knob == Gain ? w.iGain : w.iOffset;
}

QList<int> ParseList(const QString &text)
{
    QList<int> values;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        values << part.trimmed().toInt();
    return values;
}

// Turns the knob to position v as the mouse does: the dial reports the new
// position through valueChanged(int) if it differs from the shown one.
void TurnTo(QDial *dial, int v)
{
    dial->setValue(v);
    if (dial->value() != v)
        qFatal("dial refused position %d", v);
}

// Leaves the knob at `position` with the remembered position equal to it, and
// the value (member and spin box) at `start`. A middle position is never a
// seam position, so the report of 8 is always taken into account, and so is
// the report of `position` after it.
void Prepare(MainWindow &w, Knob knob, int position, int start)
{
    QDial *dial = DialOf(w, knob);
    if (dial->value() != 8)
        TurnTo(dial, 8);
    if (position != 8)
        TurnTo(dial, position);
    SpinOf(w, knob)->setValue(start);
}

// A convertible frame (equal to its reference plus `above` per sample) with
// the correction on, for checking the values that reach the conversion.
void PrepareCorrection(MainWindow &w, int above, int fd)
{
    const QByteArray reference = RawFrame([](int i) { return 1000 + (i * 37) % 2000; });
    const QByteArray frame = RawFrame([above](int i) { return 1000 + (i * 37) % 2000 + above; });
    memcpy(w.pRefFrame, reference.constData(), RAW_FRAME_SIZE);
    memcpy(w.pRawFrame2, frame.constData(), RAW_FRAME_SIZE);
    f_SwitchImage = false;
    f_FrameRdy = true;
    w.bTakeReference = false;
    w.bApplyNUC = true;
    w.fdSerial = fd;
}

} // namespace

class TestKnobs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startingValues();
    void firstMovementComparedWithZero_data();
    void firstMovementComparedWithZero();
    void stepSequence_data();
    void stepSequence();
    void sameReportIsNoStep_data();
    void sameReportIsNoStep();
    void spinBoxesSetTheMembers_data();
    void spinBoxesSetTheMembers();
    void knobsFeedTheConversion();
    void knobsSendNothingToTheDevice();

private:
    std::unique_ptr<MainWindow> window;
};

void TestKnobs::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
}

void TestKnobs::init()
{
    window.reset(new MainWindow);
    f_FrameRdy = false;
    f_SwitchImage = false;
}

void TestKnobs::cleanup()
{
    window->fdSerial = 0;
    window.reset();
    f_FrameRdy = false;
}

void TestKnobs::startingValues()
{
    MainWindow &w = *window;
    QCOMPARE(w.iGain, 1);
    QCOMPARE(w.iOffset, 0);
    QCOMPARE(w.ui->spinBox_Gain->value(), 1);
    QCOMPARE(w.ui->spinBox_Offset->value(), 0);
    QCOMPARE(w.ui->dial_Gain->value(), 1);
    QCOMPARE(w.ui->dial_Offset->value(), 1);
}

// Each row runs in a fresh process, where the knob has never been turned.
void TestKnobs::firstMovementComparedWithZero_data()
{
    QTest::addColumn<int>("knob");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("expected");

    // From the starting position 1 one notch forward reports 2.
    QTest::newRow("gain forward to 2") << int(Gain) << "2" << "2";
    // One notch backward reports 16, a quick turn 15: both are above 0.
    QTest::newRow("gain back to 16") << int(Gain) << "16" << "2";
    QTest::newRow("gain back to 15") << int(Gain) << "15" << "2";
    // The first report is remembered as it came: 15 after 16 starts from the
    // seam and counts forward; 14 after 15 counts backward.
    QTest::newRow("gain 16 then 15") << int(Gain) << "16,15" << "2,3";
    QTest::newRow("gain 15 then 14") << int(Gain) << "15,14" << "2,1";
    QTest::newRow("offset forward to 2") << int(Offset) << "2" << "100";
    QTest::newRow("offset back to 16") << int(Offset) << "16" << "100";
    QTest::newRow("offset back to 15") << int(Offset) << "15" << "100";
    QTest::newRow("offset 16 then 1 then 2") << int(Offset) << "16,1,2" << "100,100,200";
}

void TestKnobs::firstMovementComparedWithZero()
{
    QFETCH(int, knob);
    QFETCH(QString, steps);
    QFETCH(QString, expected);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(CHILD_KNOB), knob == Gain ? QStringLiteral("gain") : QStringLiteral("offset"));
    env.insert(QLatin1String(CHILD_STEPS), steps);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    testsupport::StartThisProgram(child, QStringList());
    QVERIFY2(child.waitForStarted(10000), qPrintable(child.errorString()));
    QVERIFY(child.waitForFinished(120000));
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(child.readAllStandardError());
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             qPrintable(out + err));

    QList<int> members;
    QList<int> spins;
    QList<int> others;
    for (const QString &line : out.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String(CHILD_RESULT)))
            continue;
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QCOMPARE(f.size(), 4);
        members << f[1].toInt();
        spins << f[2].toInt();
        others << f[3].toInt();
    }
    const QList<int> want = ParseList(expected);
    QCOMPARE(members, want);
    QCOMPARE(spins, want);
    // The other knob's value stays at its start (gain 1, offset 0).
    for (int other : others)
        QCOMPARE(other, knob == Gain ? 0 : 1);
    QCOMPARE(others.size(), want.size());
}

void TestKnobs::stepSequence_data()
{
    QTest::addColumn<int>("knob");
    QTest::addColumn<int>("position"); // where the knob stands, remembered, before the steps
    QTest::addColumn<int>("start");    // the value before the steps
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("expected"); // the value after each step

    // Remembered at 1 after a turn backward, 2 is a turn back across the seam.
    QTest::newRow("gain 2 after 1 reached backward") << int(Gain) << 1 << 10 << "2" << "9";
    QTest::newRow("gain forward notches") << int(Gain) << 4 << 10 << "5,6,7" << "11,12,13";
    QTest::newRow("gain backward notches") << int(Gain) << 7 << 10 << "6,5,4" << "9,8,7";
    // 15 to 16 counts, 16 to 1 is ignored, 1 to 2 counts from 16.
    QTest::newRow("gain forward through the seam") << int(Gain) << 14 << 10 << "15,16,1,2" << "11,12,12,13";
    // 2 to 1 counts, 1 to 16 is ignored, 16 to 15 counts from 1.
    QTest::newRow("gain backward through the seam") << int(Gain) << 3 << 10 << "2,1,16,15" << "9,8,8,7";
    QTest::newRow("gain reverses at 16") << int(Gain) << 14 << 10 << "15,16,15" << "11,12,13";
    QTest::newRow("gain reverses at 1") << int(Gain) << 3 << 10 << "2,1,2" << "9,8,7";
    QTest::newRow("gain 2 right after 16") << int(Gain) << 15 << 10 << "16,2" << "11,12";
    QTest::newRow("gain 15 right after 1") << int(Gain) << 2 << 10 << "1,15" << "9,8";
    QTest::newRow("gain 1 after 16 after 1") << int(Gain) << 2 << 10 << "1,16,1,16" << "9,9,9,9";
    QTest::newRow("gain jump 3 to 9") << int(Gain) << 3 << 10 << "9" << "11";
    QTest::newRow("gain jump back 9 to 3") << int(Gain) << 9 << 10 << "3" << "9";
    QTest::newRow("gain jump 2 to 16") << int(Gain) << 2 << 10 << "16" << "11";
    QTest::newRow("gain jump 15 to 1") << int(Gain) << 15 << 10 << "1" << "9";
    QTest::newRow("gain up to 99 and held") << int(Gain) << 5 << 97 << "6,7,8,9,8" << "98,99,99,99,98";
    QTest::newRow("gain down to 1 and held") << int(Gain) << 9 << 3 << "8,7,6,5,6" << "2,1,1,1,2";
    QTest::newRow("gain held at 99 over the seam") << int(Gain) << 15 << 99 << "16,1,2,3,2" << "99,99,99,99,98";

    QTest::newRow("offset forward in hundreds") << int(Offset) << 5 << 0 << "6,7,8,7" << "100,200,300,200";
    QTest::newRow("offset backward below zero") << int(Offset) << 5 << 0 << "4,3" << "-100,-200";
    QTest::newRow("offset forward through the seam") << int(Offset) << 14 << 0 << "15,16,1,2" << "100,200,200,300";
    QTest::newRow("offset backward through the seam") << int(Offset) << 3 << 0 << "2,1,16,15" << "-100,-200,-200,-300";
    QTest::newRow("offset reverses at 16") << int(Offset) << 14 << 0 << "15,16,15" << "100,200,300";
    QTest::newRow("offset reverses at 1") << int(Offset) << 3 << 0 << "2,1,2" << "-100,-200,-300";
    QTest::newRow("offset jump 3 to 9") << int(Offset) << 3 << 0 << "9" << "100";
    QTest::newRow("offset 32700 up to 32767 and back") << int(Offset) << 5 << 32700 << "6,7,6" << "32767,32767,32667";
    QTest::newRow("offset -32700 down to -32768 and back") << int(Offset) << 9 << -32700 << "8,7,8" << "-32768,-32768,-32668";
}

void TestKnobs::stepSequence()
{
    QFETCH(int, knob);
    QFETCH(int, position);
    QFETCH(int, start);
    QFETCH(QString, steps);
    QFETCH(QString, expected);

    MainWindow &w = *window;
    const Knob k = static_cast<Knob>(knob);
    const Knob other = k == Gain ? Offset : Gain;
    Prepare(w, k, position, start);
    QCOMPARE(MemberOf(w, k), start);
    const int otherValue = MemberOf(w, other);
    const int otherSpin = SpinOf(w, other)->value();

    const QList<int> positions = ParseList(steps);
    const QList<int> values = ParseList(expected);
    QCOMPARE(positions.size(), values.size());
    for (int n = 0; n < positions.size(); ++n) {
        TurnTo(DialOf(w, k), positions[n]);
        const QByteArray where = QByteArray("after report ") + QByteArray::number(positions[n])
                                 + " (step " + QByteArray::number(n + 1) + ")";
        QVERIFY2(MemberOf(w, k) == values[n],
                 (where + ": value " + QByteArray::number(MemberOf(w, k)) + ", expected "
                  + QByteArray::number(values[n])).constData());
        QVERIFY2(SpinOf(w, k)->value() == values[n],
                 (where + ": spin box shows " + QByteArray::number(SpinOf(w, k)->value())).constData());
        QCOMPARE(MemberOf(w, other), otherValue);
        QCOMPARE(SpinOf(w, other)->value(), otherSpin);
    }
}

// A report equal to the remembered position (which the dial itself never
// sends) is no step; the slots are reached directly for it.
void TestKnobs::sameReportIsNoStep_data()
{
    QTest::addColumn<int>("knob");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("next");       // a following report
    QTest::addColumn<int>("afterNext");  // the value after it
    QTest::newRow("gain at 7") << int(Gain) << 7 << "Dial_Gain" << 40 << 8 << 41;
    QTest::newRow("gain at 16") << int(Gain) << 16 << "Dial_Gain" << 40 << 15 << 41;
    QTest::newRow("gain at 1") << int(Gain) << 1 << "Dial_Gain" << 40 << 2 << 39;
    QTest::newRow("offset at 7") << int(Offset) << 7 << "Dial_Offset" << -500 << 6 << -600;
    QTest::newRow("offset at 16") << int(Offset) << 16 << "Dial_Offset" << -500 << 1 << -500;
}

void TestKnobs::sameReportIsNoStep()
{
    QFETCH(int, knob);
    QFETCH(int, position);
    QFETCH(QString, slot);
    QFETCH(int, start);
    QFETCH(int, next);
    QFETCH(int, afterNext);
    MainWindow &w = *window;
    const Knob k = static_cast<Knob>(knob);
    Prepare(w, k, position, start);
    for (int n = 0; n < 3; ++n) {
        QVERIFY(QMetaObject::invokeMethod(&w, slot.toLatin1().constData(), Qt::DirectConnection,
                                          Q_ARG(int, position)));
        QCOMPARE(MemberOf(w, k), start);
        QCOMPARE(SpinOf(w, k)->value(), start);
    }
    // The remembered position is still `position`.
    TurnTo(DialOf(w, k), next);
    QCOMPARE(MemberOf(w, k), afterNext);
    QCOMPARE(SpinOf(w, k)->value(), afterNext);
}

// The spin boxes are the bound: whatever they are given, the members follow
// their clamped value.
void TestKnobs::spinBoxesSetTheMembers_data()
{
    QTest::addColumn<int>("knob");
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("expected");
    QTest::newRow("gain 50") << int(Gain) << 50 << 50;
    QTest::newRow("gain 150") << int(Gain) << 150 << 99;
    QTest::newRow("gain 0") << int(Gain) << 0 << 1;
    QTest::newRow("gain -7") << int(Gain) << -7 << 1;
    QTest::newRow("offset -1234") << int(Offset) << -1234 << -1234;
    QTest::newRow("offset 40000") << int(Offset) << 40000 << 32767;
    QTest::newRow("offset -40000") << int(Offset) << -40000 << -32768;
}

void TestKnobs::spinBoxesSetTheMembers()
{
    QFETCH(int, knob);
    QFETCH(int, set);
    QFETCH(int, expected);
    MainWindow &w = *window;
    const Knob k = static_cast<Knob>(knob);
    SpinOf(w, k)->setValue(set);
    QCOMPARE(SpinOf(w, k)->value(), expected);
    QCOMPARE(MemberOf(w, k), expected);
    // The slot stores whatever it is handed.
    const char *slot = k == Gain ? "SpinBox_Gain" : "SpinBox_Offset";
    QVERIFY(QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection, Q_ARG(int, 42)));
    QCOMPARE(MemberOf(w, k), 42);
}

// A full turn and a notch of the gain knob (the seam counts once) and three
// notches of the offset knob: the next converted frame uses gain 16 and
// offset 300.
void TestKnobs::knobsFeedTheConversion()
{
    MainWindow &w = *window;
    Pipe line;
    Prepare(w, Gain, 8, 1);
    Prepare(w, Offset, 8, 0);
    for (int v : {9, 10, 11, 12, 13, 14, 15, 16, 1, 2, 3, 4, 5, 6, 7, 8})
        TurnTo(w.ui->dial_Gain, v);
    for (int v : {9, 10, 11})
        TurnTo(w.ui->dial_Offset, v);
    QCOMPARE(w.ui->spinBox_Gain->value(), 16);
    QCOMPARE(w.ui->spinBox_Offset->value(), 300);

    // Samples 100 above their reference: 16 x (400 + 300) / 256 = 43.75.
    PrepareCorrection(w, 100, line.readFd());
    w.ProcessImage();
    QVERIFY(w.bImageProcessed);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(w.pImage8), FRAME_PIXELS), QByteArray(FRAME_PIXELS, char(43)));

    // Back to offset 0: 16 x 400 / 256 = 25.
    for (int v : {10, 9, 8})
        TurnTo(w.ui->dial_Offset, v);
    QCOMPARE(w.iOffset, 0);
    w.ProcessImage();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(w.pImage8), FRAME_PIXELS), QByteArray(FRAME_PIXELS, char(25)));
}

// Gain and offset are the host's own: turning the knobs during a run writes
// nothing to the device.
void TestKnobs::knobsSendNothingToTheDevice()
{
    MainWindow &w = *window;
    Pty pty;
    QVERIFY(pty.isOpen());
    QByteArray path = pty.slavePath();
    QCOMPARE(ConnectToSerial_0(&w.fdSerial, path.data()), int(SERIAL_CONNECTED));
    qstrncpy(w.pPortName, path.constData(), PORT_NAME_SIZE);
    Prepare(w, Gain, 8, 1);
    Prepare(w, Offset, 8, 0);

    int turns = 0;
    const bool finished = RunUntil(
        w, [&] { return turns >= 40; }, 10000,
        [&] {
            if (turns >= 40)
                return;
            QDial *dial = turns % 2 ? w.ui->dial_Offset : w.ui->dial_Gain;
            TurnTo(dial, (dial->value() % 16) + 1);
            ++turns;
        });
    QVERIFY(finished);
    // Twenty notches forward from 8 on each knob: 9..16, 1 (the seam), 2..12.
    QCOMPARE(w.iGain, 1 + 19);
    QCOMPARE(w.iOffset, 1900);
    QCOMPARE(pty.received(), QByteArray());
    QVERIFY(!w.bSendProxyCommand);
    QVERIFY(!w.bSendSensorCommand);
    w.close();
    QCOMPARE(w.fdSerial, 0);
}

// The child of firstMovementComparedWithZero: turns a knob of a new window, in
// a process where no knob was turned before, and prints the knob's value, its
// spin box and the other knob's value after each report.
static int FirstMovementChild(const QByteArray &which)
{
    const Knob knob = which == "gain" ? Gain : Offset;
    MainWindow w;
    if (DialOf(w, knob)->value() != 1)
        return 2;
    for (int v : ParseList(QString::fromLocal8Bit(qgetenv(CHILD_STEPS)))) {
        TurnTo(DialOf(w, knob), v);
        std::printf("%s %d %d %d\n", CHILD_RESULT, MemberOf(w, knob), SpinOf(w, knob)->value(),
                    MemberOf(w, knob == Gain ? Offset : Gain));
    }
    std::fflush(stdout);
    return 0;
}

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    const QByteArray which = qgetenv(CHILD_KNOB);
    if (!which.isEmpty())
        return FirstMovementChild(which);
    TestKnobs test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_knobs.moc"
