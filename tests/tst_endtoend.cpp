// The whole program against the sensor simulator: discovery finds the
// simulator's port, frames arrive through a real pseudo-terminal, bad frames
// are rejected and counted, the reference correction flattens the sensor's
// fixed pattern, and commands reach the device paced by its acknowledgements.
#include "testsupport.h"

#include "WindowCommand.h"
#include "ui_WindowCommand.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <vector>

using namespace testsupport;

namespace {

// The picture on screen, one value per frame pixel (the centre of its 6 x 6 block).
std::vector<int> PictureShown(const MainWindow &window)
{
    const QImage shown = ShownPixmap(window.ui->DisplayImage).toImage();
    std::vector<int> picture;
    for (int row = 0; row < FRAME_HEIGHT; ++row)
        for (int column = 0; column < FRAME_WIDTH; ++column)
            picture.push_back(qGray(shown.pixel(6 * column + 3, 6 * row + 3)));
    return picture;
}

// How much neighbouring pixels differ, typically: the fixed pattern makes
// this large, a flat background small. The median ignores the warm object.
int MedianNeighbourDifference(const std::vector<int> &picture)
{
    std::vector<int> steps;
    for (int row = 0; row < FRAME_HEIGHT; ++row)
        for (int column = 1; column < FRAME_WIDTH; ++column)
            steps.push_back(std::abs(picture[row * FRAME_WIDTH + column]
                                     - picture[row * FRAME_WIDTH + column - 1]));
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return steps[steps.size() / 2];
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void goodFramesShownBadFramesRejected();
    void referenceCorrectionFlattensTheFixedPattern();
    void commandsPacedByAcknowledgements();

private:
    QString node() const { return ports->node(0); }
    int shown() const { return window->iTotalFramesShown + window->iFramesShown; }

    std::unique_ptr<PortDirectory> ports;
    std::unique_ptr<MainWindow> window;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE_SIM")).isExecutable());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
}

void TestEndToEnd::init()
{
    window.reset(new MainWindow);
    ResetReceiver(*window);
    f_Acknowledge = true;
}

void TestEndToEnd::cleanup()
{
    if (window->fdSerial > 0)
        close(window->fdSerial);
    window.reset();
}

// Every frame the simulator calls good is shown once; every bad one gives
// exactly one mismatch line and no picture.
void TestEndToEnd::goodFramesShownBadFramesRejected()
{
    Simulator sim(node(), QStringList() << "--fast" << "--frames" << "40" << "--bad-checksum" << "5"
                                        << "--lose-start" << "7" << "--extra-byte" << "11"
                                        << "--ack-in-data" << "3" << "--stray" << "4");
    QVERIFY(sim.started());
    LogCapture log;
    QVERIFY(RunUntil(*window, [&] { return sim.finished(); }, 30000));

    const QStringList summary = sim.lines("sent: ");
    QCOMPARE(summary.size(), 1);
    const QRegularExpressionMatch counts =
        QRegularExpression("^sent: 40 frames \\((\\d+) good, (\\d+) bad\\)").match(summary.first());
    QVERIFY2(counts.hasMatch(), qPrintable(summary.first()));
    const int good = counts.captured(1).toInt();
    const int bad = counts.captured(2).toInt();
    QVERIFY(bad >= 3 && good + bad == 40);

    QCOMPARE(shown(), good);
    const QStringList mismatches = log.lines().filter(QRegularExpression("^Serial 0 : Calc : "));
    QCOMPARE(mismatches.size(), bad);
    QVERIFY(log.count("Acknowledge received") >= 40 / 3); // the ones inside pixel data
    QVERIFY(log.lines().contains("Connection to " + node() + " established"));
}

// The simulator adds a fixed per-pixel pattern to its scene. Taken as the
// reference and subtracted, it leaves a flat background.
void TestEndToEnd::referenceCorrectionFlattensTheFixedPattern()
{
    Simulator sim(node(), QStringList());
    QVERIFY(sim.started());
    int before = -1;
    int after = -1;
    int shownAtCheck = 0;
    enum { Waiting, Referencing, Correcting, Done } phase = Waiting;
    auto step = [&] {
        if (phase == Waiting && shown() >= 3) {
            before = MedianNeighbourDifference(PictureShown(*window));
            QTest::mouseClick(window->ui->pushButton_TakeFPN, Qt::LeftButton);
            phase = Referencing;
        } else if (phase == Referencing && window->ui->checkBox_ApplyNUC->isEnabled()) {
            window->ui->spinBox_Offset->setValue(16384); // the corrected zero shows as grey 64
            QTest::mouseClick(window->ui->checkBox_ApplyNUC, Qt::LeftButton);
            shownAtCheck = shown();
            phase = Correcting;
        } else if (phase == Correcting && shown() >= shownAtCheck + 2) {
            after = MedianNeighbourDifference(PictureShown(*window));
            phase = Done;
        }
    };
    QVERIFY(RunUntil(*window, [&] { return phase == Done; }, 20000, step));
    QVERIFY(window->bApplyNUC == false); // the run's end switches the correction off
    QVERIFY2(before >= 3 * std::max(after, 1),
             qPrintable(QString("neighbour difference %1 before, %2 after").arg(before).arg(after)));
}

// Proxy commands and a sensor register write, typed into the command window
// as the operator does: the device receives them in order, one per
// acknowledgement.
void TestEndToEnd::commandsPacedByAcknowledgements()
{
    Simulator sim(node(), QStringList());
    QVERIFY(sim.started());
    WindowCommand *commands = window->pWindowCommand;
    QTest::mouseClick(window->ui->pushButton, Qt::LeftButton);
    QVERIFY(commands->isVisible());
    LogCapture log;

    int pressed = 0;
    auto step = [&] {
        if (window->fdSerial <= 0 || pressed > 0)
            return;
        commands->ui->lineEdit_Command->setText(QString());
        QTest::keyClicks(commands->ui->lineEdit_Command, "!10000");
        QTest::mouseClick(commands->ui->pushButton_Send_Proxy, Qt::LeftButton);
        commands->ui->spinBox_Address->setValue(5);
        commands->ui->spinBox_Value->setValue(42);
        QTest::mouseClick(commands->ui->pushButton_SendSensor, Qt::LeftButton);
        pressed = 1;
    };
    QVERIFY(RunUntil(*window, [&] { return sim.lines("command: ").size() >= 3; }, 20000, step));
    QTest::qWait(300); // anything more would arrive now
    QCOMPARE(sim.lines("command: "),
             QStringList() << "command: !10000" << "command: !E0005" << "command: !F0042");
    QCOMPARE(log.lines().filter(QRegularExpression("^Command : ")),
             QStringList() << "Command : !10000 sent to " + node()
                           << "Command : !E0005 sent to " + node()
                           << "Command : !F0042 sent to " + node());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
