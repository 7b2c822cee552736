// The web server (--http) of the real program, fed by the simulator, through
// plain sockets: the endpoints and their errors, the raw samples against the
// frame sent, the stream's pictures, twenty clients that never read, broken
// requests (with AddressSanitizer in the asan configuration), a port in use.
#include "testsupport.h"

#include "http/HttpServer.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>
#include <csignal>
#include <memory>

using namespace testsupport;

namespace {

// An answer's status line, headers and body.
struct Answer {
    explicit Answer(const QByteArray &bytes)
    {
        const int end = bytes.indexOf("\r\n\r\n");
        head = bytes.left(end);
        body = end < 0 ? QByteArray() : bytes.mid(end + 4);
    }
    QByteArray statusLine() const { return head.left(head.indexOf("\r\n")); }
    QByteArray header(const QByteArray &name) const
    {
        const QRegularExpression line("\r\n" + name + ": ([^\r]*)", QRegularExpression::CaseInsensitiveOption);
        return line.match(QString::fromLatin1(head)).captured(1).toLatin1();
    }
    QByteArray head;
    QByteArray body;
};

QByteArray Get(const QByteArray &path, const QByteArray &method = "GET", const QByteArray &host = "localhost")
{
    return method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
}

// The loopback addresses the tests connect from, 127.0.0.<n>: one block of
// them for each kind of client, so that the server's limit per address
// meets only the clients meant to meet it.
enum { FRESH_CLIENT = 2, STALLED_CLIENTS = 10, IDLE_CLIENTS = 40, TRICKLING_CLIENTS = 50, CROWD = 60,
       RESET_CLIENTS = 70, RETURNING_CLIENTS = 80 };

// The whole JPEGs of a multipart stream read for a while (asked with
// HTTP/1.0, which has no chunks).
QVector<QByteArray> StreamParts(quint16 port, int ms)
{
    TcpClient client(port);
    client.send("GET /stream.mjpg HTTP/1.0\r\n\r\n");
    const QByteArray bytes = client.receive(1 << 24, ms);
    QVector<QByteArray> parts;
    const QByteArray head = "--framescope\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    for (int at = bytes.indexOf(head); at >= 0; at = bytes.indexOf(head, at + 1)) {
        const int start = bytes.indexOf("\r\n\r\n", at) + 4;
        const int size = bytes.mid(at + head.size(), start - 4 - at - head.size()).toInt();
        if (start + size <= bytes.size())
            parts << bytes.mid(start, size);
    }
    return parts;
}

int DescriptorsOf(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size();
}

} // namespace

class TestHttp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void endpointsAnswer_data();
    void endpointsAnswer();
    void statusTellsTheViewer();
    void rawPngIsTheFrameSent();
    void streamHasDistinctPictures();
    void stalledClientsChangeNothing();
    void brokenRequestsAreSurvived_data();
    void brokenRequestsAreSurvived();
    void badAddressIsRefused_data();
    void badAddressIsRefused();
    void portInUseIsRefused();
    void idleAndTricklingSocketsLockNobodyOut();
    void pipelinedRequestsAreAllAnswered_data();
    void pipelinedRequestsAreAllAnswered();
    void halfClosedClientGetsItsStream();
    void resetStreamsGiveTheirPlacesBack();
    void stopSignalEndsCleanly_data();
    void stopSignalEndsCleanly();

private:
    // The built viewer with --http on `port`, fed by the simulator.
    void startViewer(QProcess &viewer, Simulator &sim, const QString &link, quint16 port,
                     const QStringList &options);
    QJsonObject status() { return QJsonDocument::fromJson(Answer(HttpExchange(port, Get("/status.json"))).body).object(); }
    // Frames shown, as the viewer's frame log counts them, within ms.
    int framesShownWithin(int ms);

    QTemporaryDir files;
    ReservedTcpPort reserved; // the viewer's, kept from others until the suite ends
    quint16 port = 0;
    std::unique_ptr<Simulator> sim;
    QProcess viewer;
    QString viewerLog()
    {
        QFile file(files.filePath("tty.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    }
};

void TestHttp::startViewer(QProcess &child, Simulator &feeder, const QString &link, quint16 onPort,
                           const QStringList &options)
{
    QVERIFY(feeder.started());
    QTRY_VERIFY(QFileInfo::exists(link));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_LOGGING_RULES", "framescope.frames.debug=true");
    child.setProcessEnvironment(environment);
    // Into a file: a pipe nobody reads would hold the viewer up once full.
    child.setStandardErrorFile(files.filePath(link.section('/', -1) + ".log"));
    StartBuiltProgram(child, qEnvironmentVariable("FRAMESCOPE"),
                      QStringList{"--start", "--device", link, "--http", QString::number(onPort)} + options);
    QVERIFY(child.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(
        Answer(HttpExchange(onPort, Get("/raw.png"), 1000)).statusLine() == "HTTP/1.1 200 OK", 30000);
}

void TestHttp::initTestCase()
{
    QVERIFY(StandardDescriptorsTaken());
    QVERIFY(QFileInfo(qEnvironmentVariable("FRAMESCOPE")).isExecutable());
    port = reserved.number();
    QVERIFY(port != 0);
    sim.reset(new Simulator(files.filePath("tty"), {}));
    startViewer(viewer, *sim, files.filePath("tty"), port, {"--palette", "iron", "--rotate", "90"});
}

void TestHttp::cleanupTestCase()
{
    viewer.terminate();
    viewer.waitForFinished(10000);
    const QString log = viewerLog();
    // A sanitizer's report ends the viewer at once: none may be in its log.
    QVERIFY2(!log.contains("Sanitizer") && !log.contains("runtime error"), qPrintable(log.right(4000)));
}

void TestHttp::endpointsAnswer_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("type");
    const QByteArray megabyte(1 << 20, 'a');
    QTest::newRow("page") << Get("/") << QByteArray("200 OK") << QByteArray("text/html");
    QTest::newRow("status") << Get("/status.json") << QByteArray("200 OK") << QByteArray("application/json");
    QTest::newRow("picture") << Get("/frame.png") << QByteArray("200 OK") << QByteArray("image/png");
    QTest::newRow("raw") << Get("/raw.png") << QByteArray("200 OK") << QByteArray("image/png");
    QTest::newRow("stream head") << Get("/stream.mjpg", "HEAD") << QByteArray("200 OK")
                                 << QByteArray("multipart/x-mixed-replace; boundary=framescope");
    QTest::newRow("host with port") << Get("/status.json", "GET", "LOCALHOST:8080") << QByteArray("200 OK")
                                    << QByteArray("application/json");
    QTest::newRow("address as host") << Get("/status.json", "GET", "[::1]:80") << QByteArray("200 OK")
                                     << QByteArray("application/json");
    QTest::newRow("absolute target") << Get("http://127.0.0.1/status.json", "GET", "elsewhere")
                                     << QByteArray("200 OK") << QByteArray("application/json");
    QTest::newRow("another host") << Get("/raw.png", "GET", "evil.example") << QByteArray("421 Misdirected Request")
                                  << QByteArray("text/plain");
    QTest::newRow("absolute target elsewhere") << Get("http://evil.example/raw.png")
                                               << QByteArray("421 Misdirected Request") << QByteArray("text/plain");
    QTest::newRow("escaped nul") << Get("/raw.png%00/x") << QByteArray("400 Bad Request") << QByteArray("text/plain");
    QTest::newRow("unknown") << Get("/index.html") << QByteArray("404 Not Found") << QByteArray("text/plain");
    QTest::newRow("dot dot") << Get("/../../etc/passwd") << QByteArray("404 Not Found") << QByteArray("text/plain");
    QTest::newRow("encoded dot dot") << Get("/%2e%2e/%2e%2e/etc/passwd") << QByteArray("404 Not Found")
                                     << QByteArray("text/plain");
    QTest::newRow("post") << Get("/", "POST") << QByteArray("405 Method Not Allowed") << QByteArray("text/plain");
    QTest::newRow("delete") << Get("/raw.png", "DELETE") << QByteArray("405 Method Not Allowed")
                            << QByteArray("text/plain");
    QTest::newRow("1 MB path") << Get("/" + megabyte) << QByteArray("414 URI Too Long") << QByteArray();
    QTest::newRow("1 MB header") << "GET / HTTP/1.1\r\nX-Big: " + megabyte + "\r\n\r\n"
                                 << QByteArray("431 Request Header Fields Too Large") << QByteArray();
    QTest::newRow("1 MB body") << "PUT /raw.png HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + megabyte
                               << QByteArray("405 Method Not Allowed") << QByteArray("text/plain");
}

void TestHttp::endpointsAnswer()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, type);
    const Answer answer(HttpExchange(port, request));
    QCOMPARE(answer.statusLine(), "HTTP/1.1 " + status);
    QVERIFY2(answer.header("Content-Type").startsWith(type), answer.head.constData());
    if (status.startsWith("405"))
        QCOMPARE(answer.header("Allow"), QByteArray("GET, HEAD"));
    if (request.startsWith("HEAD"))
        QVERIFY(answer.body.isEmpty());
    // A stream's length is unknown: a client told 0 would take it for empty.
    if (type.startsWith("multipart"))
        QVERIFY2(!answer.head.contains("Content-Length"), answer.head.constData());
    if (type == "image/png")
        QVERIFY(!QImage::fromData(answer.body, "PNG").isNull());
    // It goes on: the next request is answered.
    QCOMPARE(Answer(HttpExchange(port, Get("/status.json"))).statusLine(), QByteArray("HTTP/1.1 200 OK"));
}

void TestHttp::statusTellsTheViewer()
{
    QTRY_VERIFY(status()["connected"].toBool()); // told within a quarter of a second
    const QJsonObject first = status();
    QCOMPARE(first["port"].toString(), files.filePath("tty"));
    QCOMPARE(first["palette"].toString(), QString("iron"));
    QCOMPARE(first["range"].toString(), QString("design"));
    QCOMPARE(first["rotation"].toInt(), 90);
    QVERIFY(QRegularExpression("^\\d+\\.\\d+").match(first["version"].toString()).hasMatch());
    QTRY_VERIFY(status()["framesShown"].toInt() > first["framesShown"].toInt());
    QTRY_VERIFY(status()["framesLastSecond"].toInt() > 0);
    // The page says the same, and takes nothing from elsewhere.
    const QByteArray page = Answer(HttpExchange(port, Get("/"))).body;
    QVERIFY(page.contains("<td id=\"palette\">iron</td>"));
    QVERIFY(page.contains("src=\"/stream.mjpg\""));
    QVERIFY(!page.contains("http://") && !page.contains("https://"));
    // The picture as shown, turned: 80 x 84 pixels five times enlarged, in
    // colour, black beside.
    const QImage shown = QImage::fromData(Answer(HttpExchange(port, Get("/frame.png"))).body, "PNG");
    QCOMPARE(shown.size(), QSize(504, 480));
    QVERIFY(!shown.allGray());
    QVERIFY(BlackOutside(shown, QRect(52, 30, 400, 420)));
}

// Turned a quarter clockwise, the viewer serves the samples as the sensor
// sent them, and the picture as shown turned: each of the gradient's pixels
// where the turn puts it, black beside.
void TestHttp::rawPngIsTheFrameSent()
{
    const QString link = files.filePath("gradient");
    Simulator gradient(link, {"--pattern", "gradient"});
    QProcess child;
    const ReservedTcpPort own;
    QVERIFY(own.number() != 0);
    startViewer(child, gradient, link, own.number(), {"--rotate", "90"});
    const QImage raw = QImage::fromData(Answer(HttpExchange(own.number(), Get("/raw.png"))).body, "PNG");
    const QImage shown = QImage::fromData(Answer(HttpExchange(own.number(), Get("/frame.png"))).body, "PNG");
    child.terminate();
    child.waitForFinished(10000);
    QCOMPARE(raw.format(), QImage::Format_Grayscale16);
    QCOMPARE(raw.size(), QSize(FRAME_WIDTH, FRAME_HEIGHT));
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const quint16 sample = reinterpret_cast<const quint16 *>(raw.constScanLine(i / FRAME_WIDTH))[i % FRAME_WIDTH];
        QCOMPARE(int(sample), i * 16383 / 6719);
    }
    QCOMPARE(shown.size(), QSize(504, 480));
    const QRect turned(52, 30, 400, 420); // 80 x 84 pixels five times enlarged, centred
    QVERIFY(BlackOutside(shown, turned));
    for (int v = 0; v < FRAME_WIDTH; ++v) {
        for (int u = 0; u < FRAME_HEIGHT; ++u) {
            const int i = (FRAME_HEIGHT - 1 - u) * FRAME_WIDTH + v; // the sensor's pixel shown there
            const int level = i * 16383 / 6719 >> 6;
            QCOMPARE(shown.pixel(turned.topLeft() + QPoint(5 * u + 2, 5 * v + 2)), qRgb(level, level, level));
        }
    }
}

// As many pictures as frames are shown meanwhile, each a JPEG of its own.
void TestHttp::streamHasDistinctPictures()
{
    const int before = status()["framesShown"].toInt();
    const QVector<QByteArray> parts = StreamParts(port, 3000);
    const int shown = status()["framesShown"].toInt() - before;
    // The status counts are up to a quarter of a second old at both ends.
    QVERIFY2(qAbs(parts.size() - shown) <= 3,
             qPrintable(QString("%1 parts, %2 frames shown").arg(parts.size()).arg(shown)));
    QSet<QByteArray> distinct;
    for (const QByteArray &jpeg : parts) {
        QCOMPARE(QImage::fromData(jpeg, "JPG").size(), QSize(504, 480));
        distinct.insert(jpeg);
    }
    QVERIFY(distinct.size() >= parts.size() - 1); // the first may be the frame shown before
}

int TestHttp::framesShownWithin(int ms)
{
    const int before = viewerLog().count("framescope.frames: shown ");
    QTest::qWait(ms);
    return viewerLog().count("framescope.frames: shown ") - before;
}

// Twenty clients ask for the stream and never read: eight are served (and
// stall), the others hear 503; the viewer's pace does not move, and once
// they close, their descriptors are gone and the server answers again.
void TestHttp::stalledClientsChangeNothing()
{
    // Earlier tests' connections, a stream's most of all, hold their places
    // until the server has seen them closed.
    QTRY_COMPARE_WITH_TIMEOUT(ConnectionsOf(viewer.processId()), 0, 60000);
    const int descriptors = DescriptorsOf(viewer.processId());
    const int alone = framesShownWithin(4000);
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.emplace_back(new TcpClient(port, STALLED_CLIENTS + i));
        QVERIFY(clients.back()->send("GET /stream.mjpg HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    }
    int served = 0;
    int refused = 0;
    for (auto &client : clients) {
        const QByteArray line = client->receive(20); // a stream's first bytes: it stalls all the same
        served += line == "HTTP/1.1 200 OK\r\nDat";
        refused += line.startsWith("HTTP/1.1 503 ");
    }
    QCOMPARE(served, 8);
    QCOMPARE(refused, 12);
    QVERIFY(ConnectionsOf(viewer.processId()) >= 8); // the eight held: the wait above does see connections
    QCOMPARE(Answer(HttpExchange(port, Get("/status.json"))).statusLine(), QByteArray("HTTP/1.1 503 Service Unavailable"));
    const int stalled = framesShownWithin(4000);
    QVERIFY2(stalled >= alone - alone / 5, qPrintable(QString("%1 frames alone, %2 with stalled clients").arg(alone).arg(stalled)));
    clients.clear();
    QTRY_VERIFY_WITH_TIMEOUT(DescriptorsOf(viewer.processId()) <= descriptors, 10000);
    QCOMPARE(Answer(HttpExchange(port, Get("/status.json"))).statusLine(), QByteArray("HTTP/1.1 200 OK"));
}

void TestHttp::brokenRequestsAreSurvived_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("no method") << QByteArray("GARBAGE\r\n\r\n");
    QTest::newRow("no path") << QByteArray("GET\r\n\r\n");
    QTest::newRow("no version") << QByteArray("GET /\r\n\r\n");
    QTest::newRow("version 9.9") << QByteArray("GET / HTTP/9.9\r\n\r\n");
    QTest::newRow("bare newlines") << QByteArray("GET / HTTP/1.1\n\n\n\n");
    QTest::newRow("binary") << QByteArray("\x00\xff\x01\xfe\r\n\r\n", 8);
    QTest::newRow("nul in path") << QByteArray("GET /raw\0.png HTTP/1.1\r\n\r\n", 27);
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nHost\r\n\r\n");
    QTest::newRow("empty header name") << QByteArray("GET / HTTP/1.1\r\n: x\r\n\r\n");
    QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n");
    QTest::newRow("negative length") << QByteArray("GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
    QTest::newRow("huge length") << QByteArray("GET / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n");
    QTest::newRow("bad chunk") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\nx\r\n0\r\n\r\n");
    QTest::newRow("bad escape") << QByteArray("GET /%zz%%%2 HTTP/1.1\r\n\r\n");
    QTest::newRow("cut off") << QByteArray("GET /status.json HTTP/1.1\r\nHo");
    QTest::newRow("many headers") << "GET / HTTP/1.1\r\n" + QByteArray("X: y\r\n").repeated(20000) + "\r\n";
}

// Each is answered with an error or closed; the viewer goes on.
void TestHttp::brokenRequestsAreSurvived()
{
    QFETCH(QByteArray, request);
    const Answer answer(HttpExchange(port, request, 2000));
    QVERIFY2(answer.head.isEmpty() || QRegularExpression("^HTTP/1.1 [1-5]\\d\\d ").match(answer.head).hasMatch(),
             answer.head.constData());
    QCOMPARE(Answer(HttpExchange(port, Get("/status.json"))).statusLine(), QByteArray("HTTP/1.1 200 OK"));
    QCOMPARE(viewer.state(), QProcess::Running);
}

void TestHttp::badAddressIsRefused_data()
{
    QTest::addColumn<QString>("value");
    for (const char *value : {"", "0", "65536", "80a", ":8080", "8080:", "1.2.3:80", "localhost:80", "::1:80", "+80"})
        QTest::newRow(value) << QString(value);
}

void TestHttp::badAddressIsRefused()
{
    QFETCH(QString, value);
    ViewerOptions options;
    QString error;
    QVERIFY(!ParseViewerOptions({"framescope", "--http", value}, options, error));
    QVERIFY2(error.startsWith("--http: '"), qPrintable(error));
}

void TestHttp::portInUseIsRefused()
{
    QProcess second;
    StartBuiltProgram(second, qEnvironmentVariable("FRAMESCOPE"), {"--http", QString::number(port)});
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitCode(), int(OPTIONS_EXIT_STATUS));
    const QString said = QString::fromLocal8Bit(second.readAllStandardError());
    QVERIFY2(said.endsWith(QString("\nframescope: cannot serve on 127.0.0.1:%1: Address already in use\n").arg(port)),
             qPrintable(said));
}

// Sockets that send nothing, or a request a byte at a time, hold no place:
// a fresh client is answered beside them. One address gets a few
// connections and no more, however many it opens.
void TestHttp::idleAndTricklingSocketsLockNobodyOut()
{
    QTRY_COMPARE_WITH_TIMEOUT(ConnectionsOf(viewer.processId()), 0, 60000);
    std::vector<std::unique_ptr<TcpClient>> idle, trickling, crowd;
    for (int i = 0; i < 8; ++i) {
        idle.emplace_back(new TcpClient(port, IDLE_CLIENTS + i));
        trickling.emplace_back(new TcpClient(port, TRICKLING_CLIENTS + i));
        QVERIFY(trickling.back()->send("G"));
    }
    for (int i = 0; i < 80; ++i)
        crowd.emplace_back(new TcpClient(port, CROWD));
    for (const QByteArray &more : {QByteArray("E"), QByteArray("T")}) {
        for (auto &client : trickling)
            client->send(more);
        const Answer fresh(HttpExchange(port, Get("/status.json"), 5000, FRESH_CLIENT));
        QCOMPARE(fresh.statusLine(), QByteArray("HTTP/1.1 200 OK"));
    }
    int crowdLeft = 0;
    for (auto &client : crowd)
        crowdLeft += client->closedByServer(100) ? 0 : 1;
    QVERIFY2(crowdLeft >= 1 && crowdLeft <= 4, qPrintable(QString("%1 of one address's 80 left open").arg(crowdLeft)));
    // The sockets that never complete a request are closed by the server.
    for (auto &client : idle)
        QVERIFY(client->closedByServer(30000));
}

void TestHttp::pipelinedRequestsAreAllAnswered_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("two") << 2;
    QTest::newRow("ten") << 10;
}

// HTTP/1.1 keeps a connection for the next request, and requests sent one
// after another without waiting are answered in turn.
void TestHttp::pipelinedRequestsAreAllAnswered()
{
    QFETCH(int, count);
    TcpClient client(port, FRESH_CLIENT);
    QByteArray requests;
    for (int i = 1; i < count; ++i)
        requests += "GET /status.json HTTP/1.1\r\nHost: localhost\r\n\r\n";
    requests += Get("/status.json");
    QVERIFY(client.send(requests));
    const QByteArray answers = client.receive();
    QCOMPARE(answers.count("HTTP/1.1 200 OK\r\n"), count);
    QCOMPARE(answers.count("\"framesShown\""), count);
}

// An HTTP/1.0 client may close its sending side once its request is out:
// the stream goes on all the same.
void TestHttp::halfClosedClientGetsItsStream()
{
    TcpClient client(port, FRESH_CLIENT);
    QVERIFY(client.send("GET /stream.mjpg HTTP/1.0\r\n\r\n"));
    client.shutdownSending();
    const QByteArray stream = client.receive(1 << 24, 3000);
    QVERIFY2(stream.count("--framescope\r\n") >= 2, stream.left(200).constData());
}

// Streams cut off by a reset in the middle of a part give their places and
// descriptors back: eight more are served after them. (A place comes back
// a moment after its socket has gone, so a stream that hears 503 asks again.)
void TestHttp::resetStreamsGiveTheirPlacesBack()
{
    QTRY_COMPARE_WITH_TIMEOUT(ConnectionsOf(viewer.processId()), 0, 60000);
    const int descriptors = DescriptorsOf(viewer.processId());
    const auto openStream = [this](int fromHost) {
        QElapsedTimer asking;
        asking.start();
        while (asking.elapsed() < 20000) {
            std::unique_ptr<TcpClient> client(new TcpClient(port, fromHost));
            client->send("GET /stream.mjpg HTTP/1.1\r\nHost: localhost\r\n\r\n");
            if (client->receive(1000).startsWith("HTTP/1.1 200 OK\r\n"))
                return client;
            QTest::qWait(100);
        }
        return std::unique_ptr<TcpClient>();
    };
    for (int round : {RESET_CLIENTS, RETURNING_CLIENTS}) {
        std::vector<std::unique_ptr<TcpClient>> clients;
        for (int i = 0; i < HttpServer::MAX_CLIENTS; ++i) {
            clients.push_back(openStream(round + i));
            QVERIFY2(clients.back(), qPrintable(QString("stream %1 of round %2 not served").arg(i).arg(round)));
        }
        for (auto &client : clients)
            client->reset();
        QTRY_VERIFY_WITH_TIMEOUT(ConnectionsOf(viewer.processId()) == 0, 20000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(DescriptorsOf(viewer.processId()) <= descriptors, 20000);
}

void TestHttp::stopSignalEndsCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// systemctl stop sends SIGTERM, a terminal closing SIGHUP, ^C SIGINT: each
// ends the viewer as Exit does, in the middle of a snapshot and with streams
// open. The snapshot is whole or not there, nothing is left half-written,
// the recording is complete, and the status is 0.
void TestHttp::stopSignalEndsCleanly()
{
    QFETCH(int, signalNumber);
    const QString tag = QTest::currentDataTag();
    const QString snapshots = files.filePath("snapshots-" + tag);
    const QString recording = files.filePath("record-" + tag);
    const ReservedTcpPort own;
    Simulator feeder(files.filePath("tty-" + tag), {});
    QProcess stopped;
    startViewer(stopped, feeder, files.filePath("tty-" + tag), own.number(),
                {"--snapshot-dir", snapshots, "--record", recording});
    std::vector<std::unique_ptr<TcpClient>> streams;
    for (int i = 0; i < 2; ++i) {
        streams.emplace_back(new TcpClient(own.number(), FRESH_CLIENT + i));
        QVERIFY(streams.back()->send("GET /stream.mjpg HTTP/1.0\r\n\r\n"));
        QVERIFY(streams.back()->receive(2000).contains("--framescope"));
    }
    kill(static_cast<pid_t>(stopped.processId()), SIGUSR1);
    kill(static_cast<pid_t>(stopped.processId()), signalNumber);
    QVERIFY(stopped.waitForFinished(30000));
    QCOMPARE(stopped.exitStatus(), QProcess::NormalExit);
    QCOMPARE(stopped.exitCode(), 0);
    const QStringList left = EntriesUnder(snapshots);
    QVERIFY2(left.isEmpty() || left.size() == 2, qPrintable(left.join(", ")));
    for (const QString &name : left) {
        QVERIFY2(name.endsWith(".png"), qPrintable(name));
        QVERIFY2(!QImage(snapshots + "/" + name).isNull(), qPrintable(name));
    }
    QVERIFY(QFileInfo(recording).size() > 0);
    QFile log(files.filePath("tty-" + tag + ".log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray said = log.readAll();
    QVERIFY2(!said.contains("Sanitizer") && !said.contains("runtime error"), said.right(4000).constData());
}

QTEST_MAIN(TestHttp)
#include "tst_http.moc"
