// Publishing to a real broker: Debian's mosquitto on a reserved loopback
// port with a configuration of each test's own (a password file, a TLS
// listener with an authority made here with openssl), watched with
// mosquitto_sub. The built program fed by the simulator, the real window
// offscreen, and the client alone.
#include "testsupport.h"

#include "ViewerOptions.h"
#include "mqtt/MqttClient.h"
#include "regions/RegionMonitor.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace testsupport;

namespace {

bool Run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// Debian's broker with the test's configuration, on the loopback, as the
// test's own user (started by root it would otherwise become mosquitto,
// who cannot read the test's files).
class Broker
{
public:
    Broker(const QString &dir, quint16 port, const QString &settings) : conf(dir + "/mosquitto.conf")
    {
        QFile file(conf);
        if (file.open(QIODevice::WriteOnly))
            file.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\nuser %2\n%3\n")
                           .arg(port)
                           .arg(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name), settings)
                           .toUtf8());
        process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~Broker() { stop(); }
    // Once it says it runs.
    bool start()
    {
        said.clear();
        process.start("mosquitto", {"-c", conf});
        return process.waitForStarted(5000)
            && QTest::qWaitFor([this] { return log().contains(" running"); }, 10000);
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        kill(process.processId(), SIGCONT); // a stopped broker hears no TERM
        process.terminate();
        process.waitForFinished(5000);
    }
    qint64 pid() const { return process.processId(); }
    QString log()
    {
        said += QString::fromUtf8(process.readAll());
        return said;
    }

private:
    QString conf;
    QProcess process;
    QString said;
};

// mosquitto_sub on every topic: the payloads of each, in order.
class Subscriber
{
public:
    explicit Subscriber(quint16 port)
    {
        process.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(port), "-v", "-t", "#"});
    }
    ~Subscriber()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    QStringList payloads(const QString &topic)
    {
        heard += QString::fromUtf8(process.readAllStandardOutput());
        QStringList found;
        for (const QString &line : heard.split('\n')) {
            if (line.startsWith(topic + ' '))
                found << line.mid(topic.size() + 1);
        }
        return found;
    }
    QJsonObject lastJson(const QString &topic)
    {
        return QJsonDocument::fromJson(payloads(topic).value(payloads(topic).size() - 1).toUtf8()).object();
    }
    QStringList topics()
    {
        payloads(QString());
        QStringList all;
        for (const QString &line : heard.split('\n', Qt::SkipEmptyParts))
            all << line.section(' ', 0, 0);
        return all;
    }

private:
    QProcess process;
    QString heard;
};

int GradientSample(int i)
{
    return i * 16383 / 6719;
}

double GradientMean(const QRect &area)
{
    double sum = 0;
    for (int row = area.top(); row <= area.bottom(); ++row)
        for (int column = area.left(); column <= area.right(); ++column)
            sum += GradientSample(row * FRAME_WIDTH + column);
    return sum / (area.width() * area.height());
}

QByteArray FrameAt(int level)
{
    return RawFrame([level](int i) { return i == 100 ? level : 500; });
}

QStringList MqttLines(const LogCapture &log)
{
    return log.lines().filter(QRegularExpression("^MQTT broker "));
}

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void discoveryAndReadingsOfAKnownFrame();
    void stalledBrokerNeverSlowsThePicture();
    void alarmTransitionsOutliveABrokerRestart();
    void wrongPasswordIsOneLineAndRetries();
    void tlsTrustsTheGivenAuthorityOnly_data();
    void tlsTrustsTheGivenAuthorityOnly();

private:
    QString path(const QString &name) const { return files.filePath(name); }
    int count(const QString &text) const;
    bool makeAuthorities();

    QTemporaryDir files;
    ReservedTcpPort brokerPort;
    ReservedTcpPort httpPort;
    std::unique_ptr<Broker> broker;
    std::unique_ptr<Simulator> sim;
    std::unique_ptr<Subscriber> subscriber;
    QProcess viewer;
};

// The built viewer on the simulator's gradient, publishing every second.
void TestMqtt::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    QVERIFY(makeAuthorities());
    QDir().mkpath(path("main"));
    broker.reset(new Broker(path("main"), brokerPort.number(), "allow_anonymous true"));
    QVERIFY(broker->start());
    subscriber.reset(new Subscriber(brokerPort.number()));
    sim.reset(new Simulator(path("tty"), {"--pattern", "gradient", "--timing"}));
    QVERIFY(sim->started());
    QTRY_VERIFY(QFileInfo::exists(path("tty")));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_LOGGING_RULES", "framescope.frames.debug=true");
    viewer.setProcessEnvironment(environment);
    viewer.setStandardErrorFile(path("viewer.log"));
    StartBuiltProgram(viewer, qEnvironmentVariable("FRAMESCOPE"),
        {"--start", "--device", path("tty"), "--mqtt",
            QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort.number()), "--mqtt-id", "kiosk",
            "--mqtt-interval", "1", "--spot", "10,20", "--box", "0,0,9,9", "--alarm", "hot:max>16000",
            "--http", QString::number(httpPort.number())});
    QVERIFY(viewer.waitForStarted(5000));
}

void TestMqtt::cleanupTestCase()
{
    viewer.terminate();
    QVERIFY(viewer.waitForFinished(10000));
    QTRY_COMPARE(subscriber->payloads("framescope/kiosk/availability").last(), QString("offline"));
    const QString log = QString::fromLocal8Bit([this] {
        QFile f(path("viewer.log"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }());
    QVERIFY2(!log.contains("Sanitizer") && !log.contains("runtime error"), qPrintable(log.right(4000)));
}

int TestMqtt::count(const QString &text) const
{
    QFile file(path("viewer.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).count(text) : -1;
}

// An authority with the broker's certificate for localhost, and another.
bool TestMqtt::makeAuthorities()
{
    const QStringList key {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    QFile extensions(path("server.ext"));
    return extensions.open(QIODevice::WriteOnly) && extensions.write("subjectAltName=DNS:localhost\n") > 0
        && (extensions.close(), true)
        && Run("openssl",
            QStringList {"req", "-x509"} + key
                + QStringList {"-keyout", path("ca.key"), "-out", path("ca.crt"), "-days", "2", "-subj",
                    "/CN=test authority"})
        && Run("openssl",
            QStringList {"req", "-x509"} + key
                + QStringList {"-keyout", path("other.key"), "-out", path("other.crt"), "-days", "2", "-subj",
                    "/CN=other authority"})
        && Run("openssl",
            QStringList {"req"} + key
                + QStringList {"-keyout", path("server.key"), "-out", path("server.csr"), "-subj",
                    "/CN=localhost"})
        && Run("openssl",
            {"x509", "-req", "-in", path("server.csr"), "-CA", path("ca.crt"), "-CAkey", path("ca.key"),
                "-CAcreateserial", "-out", path("server.crt"), "-days", "2", "-extfile", path("server.ext")});
}

// Discovery: retained JSON with what Home Assistant needs, for every
// reading, the alarm and the picture; readings: the gradient's own values.
void TestMqtt::discoveryAndReadingsOfAKnownFrame()
{
    const QString prefix = "framescope/kiosk/";
    QTRY_VERIFY_WITH_TIMEOUT(subscriber->lastJson(prefix + "readings")["connected"].toBool()
            && subscriber->lastJson(prefix + "readings").contains("max"),
        30000);
    const QJsonObject readings = subscriber->lastJson(prefix + "readings");
    QCOMPARE(readings["unit"].toString(), QString("counts"));
    QCOMPARE(readings["min"].toDouble(), 0.0);
    QCOMPARE(readings["max"].toDouble(), 16383.0);
    QVERIFY(qAbs(readings["mean"].toDouble() - GradientMean(QRect(0, 0, FRAME_WIDTH, FRAME_HEIGHT))) < 0.006);
    QCOMPARE(readings["spot1"].toDouble(), double(GradientSample(20 * FRAME_WIDTH + 10)));
    QCOMPARE(readings["box1_min"].toDouble(), 0.0);
    QCOMPARE(readings["box1_max"].toDouble(), double(GradientSample(9 * FRAME_WIDTH + 9)));
    QVERIFY(qAbs(readings["box1_mean"].toDouble() - GradientMean(QRect(0, 0, 10, 10))) < 0.006);
    QVERIFY(readings["frame_rate"].toDouble() > 0);
    QCOMPARE(subscriber->payloads(prefix + "availability").last(), QString("online"));
    QCOMPARE(subscriber->payloads(prefix + "alarm/hot").last(), QString("raised"));
    QCOMPARE(subscriber->payloads(prefix + "picture_url").last(),
        QStringLiteral("http://127.0.0.1:%1/frame.png").arg(httpPort.number()));

    QStringList configs = subscriber->topics().filter(QRegularExpression("^homeassistant/.*/config$"));
    configs.removeDuplicates();
    configs.sort();
    QStringList expected {
        "binary_sensor/kiosk/alarm_hot", "binary_sensor/kiosk/connected", "image/kiosk/picture"};
    for (const char *key : {"frame_rate", "min", "max", "mean", "spot1", "box1_min", "box1_max", "box1_mean"})
        expected << QStringLiteral("sensor/kiosk/%1").arg(key);
    for (QString &topic : expected)
        topic = "homeassistant/" + topic + "/config";
    expected.sort();
    QCOMPARE(configs, expected);
    for (const QString &topic : configs) {
        const QJsonObject config = subscriber->lastJson(topic);
        for (const char *key : {"name", "unique_id", "availability_topic", "device"})
            QVERIFY2(config.contains(key), qPrintable(topic + " lacks " + key));
        QVERIFY2(config.contains(topic.startsWith("homeassistant/image/") ? "url_topic" : "state_topic"),
            qPrintable(topic));
        QCOMPARE(config["availability_topic"].toString(), prefix + "availability");
        QCOMPARE(config["device"].toObject()["identifiers"].toArray().first().toString(), QString("kiosk"));
    }
}

// A broker that takes nothing in for four seconds: every good frame the
// simulator sent meanwhile is shown all the same.
void TestMqtt::stalledBrokerNeverSlowsThePicture()
{
    QTRY_VERIFY_WITH_TIMEOUT(count("framescope.frames: shown ") > 10, 30000);
    QCOMPARE(kill(broker->pid(), SIGSTOP), 0);
    QTest::qWait(500); // what was in flight before the stop
    const int sent = sim->lines("timing: ").filter(" good").size();
    const int shown = count("framescope.frames: shown ");
    QTest::qWait(4000);
    const int sentStalled = sim->lines("timing: ").filter(" good").size() - sent;
    const int shownStalled = count("framescope.frames: shown ") - shown;
    QCOMPARE(kill(broker->pid(), SIGCONT), 0);
    QVERIFY2(sentStalled > 10 && qAbs(shownStalled - sentStalled) <= 1,
        qPrintable(QStringLiteral("%1 good frames sent, %2 shown").arg(sentStalled).arg(shownStalled)));
}

// On the real window: raised after its hold, cleared past the hysteresis;
// the broker stopped, a transition made, the broker back: online again, and
// the transition arrives.
void TestMqtt::alarmTransitionsOutliveABrokerRestart()
{
    QDir().mkpath(path("restart"));
    const ReservedTcpPort port;
    Broker own(path("restart"), port.number(), "allow_anonymous true");
    QVERIFY(own.start());
    std::unique_ptr<Subscriber> watcher(new Subscriber(port.number()));
    LogCapture log;
    std::unique_ptr<MainWindow> window(new MainWindow);
    Pipe standIn;
    ResetReceiver(*window);
    ApplyOrFail(*window,
        {"--alarm", "hot:max>1000", "--alarm-hysteresis", "100", "--alarm-hold", "1", "--mqtt",
            QStringLiteral("mqtt://127.0.0.1:%1").arg(port.number()), "--mqtt-id", "window"});
    int level = 1500;
    QTimer frames;
    connect(&frames, &QTimer::timeout, [&] { ShowFrame(*window, FrameAt(level), standIn.readFd()); });
    frames.start(200);
    const QString topic = "framescope/window/alarm/hot";
    QTRY_COMPARE_WITH_TIMEOUT(watcher->payloads(topic).filter("raised").size(), 1, 5000);
    QVERIFY(watcher->payloads(topic).indexOf("cleared")
        < watcher->payloads(topic).indexOf("raised")); // held first
    level = 950;
    QTest::qWait(500);
    level = 850;
    QTRY_COMPARE(watcher->payloads(topic).last(), QString("cleared"));
    QCOMPARE(watcher->payloads(topic).filter("raised").size(), 1);

    watcher.reset();
    own.stop();
    level = 1500;
    QTRY_COMPARE_WITH_TIMEOUT(window->pRegions->Alarms().first().state, AlarmState::Raised, 5000);
    QTest::qWait(3000); // tries meanwhile, one line
    QVERIFY(own.start());
    watcher.reset(new Subscriber(port.number()));
    QTRY_COMPARE_WITH_TIMEOUT(
        watcher->payloads("framescope/window/availability").value(0), QString("online"), 15000);
    QTRY_COMPARE(watcher->payloads(topic).value(0), QString("raised"));
    frames.stop();
    EndWindow(window, standIn.readFd());
    const QString server = QStringLiteral("MQTT broker 127.0.0.1:%1: ").arg(port.number());
    QCOMPARE(MqttLines(log),
        QStringList({server + "online", server + "connection lost: The connection was lost.",
            server + "unreachable: Connection refused", server + "online"}));
}

// Refused credentials: one line with the reason, and tries again.
void TestMqtt::wrongPasswordIsOneLineAndRetries()
{
    QDir().mkpath(path("password"));
    QVERIFY(Run("mosquitto_passwd", {"-c", "-b", path("password/users"), "kiosk", "right"}));
    const ReservedTcpPort port;
    Broker own(
        path("password"), port.number(), "allow_anonymous false\npassword_file " + path("password/users"));
    QVERIFY(own.start());
    LogCapture log;
    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port.number();
    settings.id = "password";
    settings.user = "kiosk";
    settings.password = "wrong";
    std::unique_ptr<MqttClient> client(new MqttClient(settings));
    QTRY_VERIFY_WITH_TIMEOUT(own.log().count("New connection from") >= 3, 10000); // after 1 s and 2 s
    client.reset();
    const QString server = QStringLiteral("MQTT broker 127.0.0.1:%1: ").arg(port.number());
    QCOMPARE(MqttLines(log), QStringList {server + "refused: Connection Refused: not authorised."});
    settings.password = "right";
    client.reset(new MqttClient(settings));
    QTRY_COMPARE(MqttLines(log).last(), server + "online");
}

void TestMqtt::tlsTrustsTheGivenAuthorityOnly_data()
{
    QTest::addColumn<QString>("authority");
    QTest::addColumn<QString>("state");
    QTest::newRow("the test's") << "ca.crt"
                                << "online";
    QTest::newRow("another") << "other.crt"
                             << "TLS failure: ";
}

void TestMqtt::tlsTrustsTheGivenAuthorityOnly()
{
    QFETCH(QString, authority);
    QFETCH(QString, state);
    QDir().mkpath(path("tls"));
    const ReservedTcpPort port;
    Broker own(path("tls"), port.number(),
        QStringLiteral("allow_anonymous true\ncafile %1\ncertfile %2\nkeyfile %3")
            .arg(path("ca.crt"), path("server.crt"), path("server.key")));
    QVERIFY(own.start());
    LogCapture log;
    MqttSettings settings;
    settings.host = "localhost";
    settings.port = port.number();
    settings.bTls = true;
    settings.caFile = path(authority);
    settings.id = "tls";
    MqttClient client(settings);
    QTRY_COMPARE_WITH_TIMEOUT(MqttLines(log).size(), 1, 5000);
    QTest::qWait(3500); // a retry or two
    QCOMPARE(MqttLines(log).size(), 1);
    QVERIFY2(MqttLines(log).first().startsWith(
                 QStringLiteral("MQTT broker localhost:%1: ").arg(port.number()) + state),
        qPrintable(MqttLines(log).first()));
}

QTEST_MAIN(TestMqtt)
#include "tst_mqtt.moc"
