// An adapter pulled out and plugged in again between two ticks of the port
// check, coming back under the same path: the viewer must not keep reading
// the descriptor of the device that has gone.
#include "testsupport.h"

#include <QFile>
#include <QtTest>
#include <memory>

using namespace testsupport;

class TestReplug : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void nodeReplacedBetweenTwoTicksIsAnUnplug();
    void replacedDuringARunFramesResume();

private:
    std::unique_ptr<PortDirectory> ports;
};

void TestReplug::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
}

void TestReplug::init()
{
    QFile::remove(ports->node(0));
}

// The path stays, the device behind it changes: the next tick treats it as
// an unplug (closing the old descriptor), the one after connects the new one.
void TestReplug::nodeReplacedBetweenTwoTicksIsAnUnplug()
{
    MainWindow window;
    std::unique_ptr<Pty> first(new Pty);
    Pty second;
    QVERIFY(ports->link(*first, 0));
    window.CheckSerialAvailable();
    const int oldFd = window.fdSerial;
    QVERIFY(oldFd > 0);

    // Still the same device: nothing happens.
    LogCapture log;
    window.CheckSerialAvailable();
    QCOMPARE(window.fdSerial, oldFd);
    QVERIFY(log.lines().isEmpty());

    first.reset(); // pulled out: the old device is gone
    QVERIFY(QFile::remove(ports->node(0)));
    QVERIFY(ports->link(second, 0)); // back under the same name before the next tick
    window.CheckSerialAvailable();
    QCOMPARE(log.lines(), QStringList() << "Serial Port " + ports->node(0) + " disconnected");
    QCOMPARE(window.fdSerial, 0);
    QCOMPARE(fcntl(oldFd, F_GETFD), -1);

    window.CheckSerialAvailable();
    QVERIFY(window.fdSerial > 0);
    QVERIFY(second.send("\x81\x82"));
    QCOMPARE(ReadFrom(window.fdSerial, 2), QByteArray("\x81\x82"));
    close(window.fdSerial);
    window.fdSerial = 0;
}

// The same during a run: frames stop with the old device and come back with
// the new one, although the path never went away.
void TestReplug::replacedDuringARunFramesResume()
{
    MainWindow window;
    ResetReceiver(window);
    std::unique_ptr<Pty> first(new Pty);
    Pty second;
    QVERIFY(ports->link(*first, 0));
    const QByteArray frame = WireFrame(RawFrame([](int i) { return (i * 53) % 16384; }));
    auto shown = [&] { return window.iTotalFramesShown + window.iFramesShown; };
    enum { Streaming, Replaced, Noticed, Done } phase = Streaming;
    int shownBefore = 0;
    QElapsedTimer pace;
    pace.start();
    auto step = [&] {
        if (phase == Replaced && window.fdSerial == 0)
            phase = Noticed;
        if (window.fdSerial <= 0 || pace.elapsed() < 150)
            return;
        pace.restart();
        if (phase == Streaming) {
            first->send(frame);
            if (shown() > 0) {
                first.reset();
                QFile::remove(ports->node(0));
                ports->link(second, 0);
                shownBefore = shown();
                phase = Replaced;
            }
        } else if (phase == Noticed) {
            second.send(frame);
            if (shown() > shownBefore)
                phase = Done;
        }
    };
    QVERIFY(RunUntil(window, [&] { return phase == Done; }, 15000, step));
    if (window.fdSerial > 0)
        close(window.fdSerial);
}

QTEST_MAIN(TestReplug)
#include "tst_replug.moc"
