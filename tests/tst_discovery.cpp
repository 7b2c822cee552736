// Port discovery and supervision: finding the adapter among the device
// nodes, connecting, retrying, noticing an unplug and reconnecting. The
// device nodes are symlinks to real pseudo-terminals in a directory of the
// test's own.
#include "testsupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <memory>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace testsupport;

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void patternsAreCheckedBeforeUse_data();
    void patternsAreCheckedBeforeUse();
    void noDeviceChangesNothing();
    void lowestNumberWinsAndConnects();
    void failedAttemptRetriesTheSamePath_data();
    void failedAttemptRetriesTheSamePath();
    void numbersFrom255AreNeverProbed();
    void unplugRestoresTheUnconnectedLook();
    void replugUnderAnotherNumberDuringARun();

private:
    QString node(int n) const { return ports->node(n); }
    bool link(const Pty &pty, int n) const { return ports->link(pty, n); }
    void fillBuffers(unsigned char value);
    bool buffersAreZero() const;

    std::unique_ptr<PortDirectory> ports;
    std::unique_ptr<MainWindow> window;
};

void TestDiscovery::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
    ports.reset(new PortDirectory);
    QVERIFY(ports->isActive());
}

void TestDiscovery::init()
{
    QDir nodes(ports->path());
    for (const QString &name : nodes.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        nodes.remove(name) || nodes.rmdir(name);
    window.reset(new MainWindow);
}

void TestDiscovery::cleanup()
{
    if (window->fdSerial > 0)
        close(window->fdSerial);
    window.reset();
}

void TestDiscovery::fillBuffers(unsigned char value)
{
    memset(window->pRawFrame1, value, RAW_FRAME_SIZE);
    memset(window->pRawFrame2, value, RAW_FRAME_SIZE);
    memset(window->pRefFrame, value, RAW_FRAME_SIZE);
    memset(window->pImage8, value, FRAME_PIXELS);
}

bool TestDiscovery::buffersAreZero() const
{
    const QByteArray zeroRaw(RAW_FRAME_SIZE, '\0');
    const QByteArray zeroImage(FRAME_PIXELS, '\0');
    return memcmp(window->pRawFrame1, zeroRaw.constData(), RAW_FRAME_SIZE) == 0
           && memcmp(window->pRawFrame2, zeroRaw.constData(), RAW_FRAME_SIZE) == 0
           && memcmp(window->pRefFrame, zeroRaw.constData(), RAW_FRAME_SIZE) == 0
           && memcmp(window->pImage8, zeroImage.constData(), FRAME_PIXELS) == 0;
}

void TestDiscovery::patternsAreCheckedBeforeUse_data()
{
    QTest::addColumn<QByteArray>("candidate");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("device pattern") << QByteArray("/dev/ttyUSB%d") << true;
    QTest::newRow("literal percent") << QByteArray("/tmp/100%%/tty%d") << true;
    QTest::newRow("no number") << QByteArray("/dev/ttyUSB") << false;
    QTest::newRow("two numbers") << QByteArray("/dev/tty%dUSB%d") << false;
    QTest::newRow("string conversion") << QByteArray("/dev/%s%d") << false;
    QTest::newRow("width") << QByteArray("/dev/ttyUSB%300d") << false;
    QTest::newRow("trailing percent") << QByteArray("/dev/tty%d%") << false;
    QTest::newRow("longer than a path buffer") << QByteArray(PORT_NAME_SIZE, 'x') + "%d" << false;
}

// Discovery formats the pattern with every number up to 254: a pattern that
// could read an argument it was not given, or overrun the path buffer, is
// refused and the previous one stays.
void TestDiscovery::patternsAreCheckedBeforeUse()
{
    QFETCH(QByteArray, candidate);
    QFETCH(bool, accepted);
    static QByteArray kept; // must outlive its use when accepted
    kept = candidate;
    QCOMPARE(SetPortPattern(kept.constData()), accepted);
    QCOMPARE(QByteArray(PortPattern()), accepted ? kept : ports->patternText());
    QVERIFY(SetPortPattern(ports->patternText().constData()));
}

void TestDiscovery::noDeviceChangesNothing()
{
    LogCapture log;
    fillBuffers(0x55);
    window->CheckSerialAvailable();
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(window->fdSerial, 0);
    QCOMPARE(window->pPortName[0], '\0');
    QVERIFY(!window->ui->pushButton_TakeFPN->isEnabled());
    QCOMPARE(window->pRefFrame[0], static_cast<unsigned char>(0x55));
}

void TestDiscovery::lowestNumberWinsAndConnects()
{
    Pty low, high;
    QVERIFY(link(high, 3) && link(low, 7) && link(high, 12));
    fillBuffers(0x55);
    LogCapture log;
    window->CheckSerialAvailable();

    const QString path = node(3);
    QCOMPARE(log.lines(), QStringList() << path + " detected" << "Connecting to " + path
                                        << "Connection to " + path + " established");
    QVERIFY(window->fdSerial > 0);
    QCOMPARE(QString::fromLocal8Bit(window->pPortName), path);
    QVERIFY(window->ui->pushButton_TakeFPN->isEnabled());
    QVERIFY(buffersAreZero());

    // Connected and the node still there: supervision only, no new attempt.
    log.clear();
    const int fd = window->fdSerial;
    window->CheckSerialAvailable();
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(window->fdSerial, fd);
    // The descriptor really is the device: bytes from the sensor arrive.
    QVERIFY(high.send("\x81\x82"));
    QCOMPARE(ReadFrom(fd, 2), QByteArray("\x81\x82"));
}

void TestDiscovery::failedAttemptRetriesTheSamePath_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("why");
    auto text = [](int error) { return QString::fromLocal8Bit(strerror(error)); };
    QTest::newRow("not a terminal") << "file" << "can't be configurable" << text(ENOTTY);
    QTest::newRow("cannot be opened") << "directory" << "not available" << text(EISDIR);
    QTest::newRow("no access, not in the node's group")
        << "pty, another group" << "not available"
        << text(EACCES) + " - add the user to the group dialout and log in again";
    // Joining a group the process is in already would change nothing.
    QTest::newRow("no access, in the node's group") << "pty, a group of ours" << "not available" << text(EACCES);
    // udev has not handed the node to its group yet: the next tick opens it.
    QTest::newRow("no access, the node still root's") << "pty, root's group" << "not available" << text(EACCES);
}

namespace {

std::vector<gid_t> Groups()
{
    std::vector<gid_t> groups(static_cast<size_t>(std::max(0, getgroups(0, nullptr))) + 1);
    groups.resize(static_cast<size_t>(std::max(0, getgroups(static_cast<int>(groups.size()), groups.data()))));
    return groups;
}

bool InGroup(gid_t group)
{
    const std::vector<gid_t> groups = Groups();
    return group == getegid() || std::find(groups.begin(), groups.end(), group) != groups.end();
}

// The credentials a tick runs with. Root passes every permission check and is
// in group root: it opens the ports as nobody and, where a row asks, with a
// group of its choice as its effective or only supplementary group. Another
// user ticks as it is.
class TickIdentity
{
public:
    gid_t borrowed = 0; // root's: a group it is not in, neither root's
    bool asNobody = false;
    bool joinBorrowed = false;
    bool becomeBorrowed = false;

    TickIdentity()
    {
        if (geteuid() != 0)
            return;
        borrowed = 64000;
        while (InGroup(borrowed))
            --borrowed;
    }
    bool enter()
    {
        saved = Groups();
        if ((joinBorrowed || becomeBorrowed) && setgroups(1, &borrowed) != 0)
            return false;
        if (becomeBorrowed && setegid(borrowed) != 0)
            return false;
        if (asNobody)
            setfsuid(65534);
        return true;
    }
    bool leave()
    {
        setfsuid(geteuid());
        if (becomeBorrowed && setegid(0) != 0)
            return false;
        return !(joinBorrowed || becomeBorrowed) || setgroups(saved.size(), saved.data()) == 0;
    }

private:
    std::vector<gid_t> saved;
};

} // namespace

// A node that exists but cannot be used is tried again at every tick; a
// working adapter with a higher number is not tried while it exists. Each
// attempt still enables "Take FPN Ref" and clears the buffers. Why it failed
// is told once, and again after a connection; the remedy for a denied access
// only where joining the node's group would help.
void TestDiscovery::failedAttemptRetriesTheSamePath()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QFETCH(QString, why);
    Pty locked;
    const bool pty = kind.startsWith("pty");
    const bool root = geteuid() == 0;
    TickIdentity identity;
    // The group the locked pseudo-terminal gets: root gives it any; a user can
    // give it only one of its own, and otherwise takes the one it came with.
    gid_t group = 0;
    if (pty) {
        struct stat made;
        QVERIFY(stat(locked.slavePath().constData(), &made) == 0);
        group = made.st_gid;
        if (kind == "pty, another group") {
            if (root)
                group = identity.borrowed;
            else if (group == 0 || InGroup(group))
                QSKIP("a user cannot give a node a group it is not in, and the pseudo-terminal has one of ours");
        } else if (kind == "pty, a group of ours") {
            group = root ? identity.borrowed : getegid();
            identity.joinBorrowed = root;
            if (group == 0)
                QSKIP("this user's own group is root's");
        } else {
            identity.becomeBorrowed = root;
            if (!root && (group != 0 || InGroup(0)))
                QSKIP("a user cannot give a node root's group, nor leave it");
            group = 0;
        }
    }
    auto makeBroken = [&] {
        QFile file(node(1));
        if (kind == "file")
            return file.open(QIODevice::WriteOnly);
        if (kind == "directory")
            return QDir().mkdir(node(1));
        return link(locked, 1) && chown(locked.slavePath().constData(), static_cast<uid_t>(-1), group) == 0
               && chmod(locked.slavePath().constData(), 0) == 0;
    };
    window->CheckSerialAvailable(); // no device: the reason the row before told is forgotten
    QVERIFY(makeBroken());
    Pty working;
    QVERIFY(link(working, 2));
    identity.asNobody = pty && root;
    QVERIFY(!identity.asNobody || chmod(QFile::encodeName(ports->path()).constData(), 0711) == 0);
    auto tick = [&](LogCapture &log) {
        const bool entered = identity.enter();
        if (entered)
            window->CheckSerialAvailable();
        const bool left = identity.leave();
        if (!entered || !left)
            qFatal("the tick's credentials could not be taken or given back");
        return log.count(node(1) + ": " + why);
    };

    int told = 0;
    for (int n = 0; n < 2; ++n) {
        fillBuffers(0x55);
        LogCapture log;
        told += tick(log);
        if (window->fdSerial > 0)
            QSKIP("access to a pseudo-terminal cannot be denied here");
        QVERIFY(log.lines().contains(node(1) + " detected"));
        QVERIFY(log.lines().contains(node(1) + " " + reason));
        QVERIFY(!log.lines().join('\n').contains(node(2)));
        QCOMPARE(window->fdSerial, 0);
        QCOMPARE(window->pPortName[0], '\0');
        QVERIFY(window->ui->pushButton_TakeFPN->isEnabled());
        QVERIFY(buffersAreZero());
    }
    QCOMPARE(told, 1);

    // Once the broken node is gone, the next tick takes the working one.
    QVERIFY(kind == "directory" ? QDir().rmdir(node(1)) : QFile::remove(node(1)));
    window->CheckSerialAvailable();
    QVERIFY(window->fdSerial > 0);
    QCOMPARE(QString::fromLocal8Bit(window->pPortName), node(2));

    QVERIFY(QFile::remove(node(2)));
    window->CheckSerialAvailable(); // unplugged
    QVERIFY(makeBroken());
    LogCapture log;
    QCOMPARE(tick(log), 1);
}

void TestDiscovery::numbersFrom255AreNeverProbed()
{
    Pty pty;
    QVERIFY(link(pty, 255) && link(pty, 1000));
    LogCapture log;
    window->CheckSerialAvailable();
    QVERIFY(log.lines().isEmpty());
    QCOMPARE(window->fdSerial, 0);

    QVERIFY(link(pty, 254));
    window->CheckSerialAvailable();
    QVERIFY(window->fdSerial > 0);
    QCOMPARE(QString::fromLocal8Bit(window->pPortName), node(254));
}

void TestDiscovery::unplugRestoresTheUnconnectedLook()
{
    Pty pty;
    QVERIFY(link(pty, 0));
    window->CheckSerialAvailable();
    const int fd = window->fdSerial;
    QVERIFY(fd > 0);
    window->ui->checkBox_ApplyNUC->setEnabled(true);
    window->ui->checkBox_ApplyNUC->setChecked(true);
    QVERIFY(window->bApplyNUC);
    window->ui->label_FrameRate->setText("7FPS");
    window->ui->DisplayImage->clear();
    iErrorFrame = 3;

    QVERIFY(QFile::remove(node(0)));
    LogCapture log;
    window->CheckSerialAvailable();

    QCOMPARE(log.lines(), QStringList() << "Serial Port " + node(0) + " disconnected");
    QCOMPARE(window->fdSerial, 0);
    QCOMPARE(fcntl(fd, F_GETFD), -1); // closed, not left open
    QCOMPARE(window->ui->label_FrameRate->text(), QString());
    QVERIFY(!window->ui->pushButton_TakeFPN->isEnabled());
    QVERIFY(!window->ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(!window->ui->checkBox_ApplyNUC->isChecked());
    QVERIFY(!window->bApplyNUC);
    QCOMPARE(iErrorFrame, -1);
    QCOMPARE(QString::fromLocal8Bit(window->pPortName), node(0)); // until the next discovery
    QCOMPARE(ShownPixmap(window->ui->DisplayImage).toImage(),
             QPixmap(QStringLiteral("Logo.png")).toImage());
}

// The adapter goes away during a run and comes back under another number:
// the run goes on, frames stop and resume, and the readout follows.
void TestDiscovery::replugUnderAnotherNumberDuringARun()
{
    Pty first, second;
    QVERIFY(link(first, 0));
    ResetReceiver(*window);
    const QByteArray frame = WireFrame(RawFrame([](int i) { return (i * 37) % 16384; }));
    QElapsedTimer pace;
    pace.start();
    auto sendPaced = [&](const Pty &pty) { // about the link's frame rate
        if (pace.elapsed() >= 150) {
            pty.send(frame);
            pace.restart();
        }
    };
    auto shown = [&] { return window->iTotalFramesShown + window->iFramesShown; };
    enum { Streaming, Unplugged, Replugged, Done } phase = Streaming;
    int shownBeforeReplug = 0;
    QString rateWhileUnplugged = QStringLiteral("not seen");

    auto step = [&] {
        if (phase == Streaming && window->fdSerial > 0) {
            sendPaced(first);
            if (shown() > 0) {
                QFile::remove(node(0));
                phase = Unplugged;
            }
        } else if (phase == Unplugged && window->fdSerial == 0) {
            rateWhileUnplugged = window->ui->label_FrameRate->text();
            shownBeforeReplug = shown();
            link(second, 4);
            phase = Replugged;
        } else if (phase == Replugged && window->fdSerial > 0) {
            sendPaced(second);
            if (shown() > shownBeforeReplug)
                phase = Done;
        }
    };
    QVERIFY(RunUntil(*window, [&] { return phase == Done; }, 15000, step));
    QCOMPARE(rateWhileUnplugged, QString());
    QCOMPARE(QString::fromLocal8Bit(window->pPortName), node(4));
    QVERIFY(window->fdSerial > 0);
}

QTEST_MAIN(TestDiscovery)
#include "tst_discovery.moc"
