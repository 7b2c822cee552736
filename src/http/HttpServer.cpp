#include "http/HttpServer.h"

#include "http/StatusPage.h"

#include <QRegularExpression>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <microhttpd.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char DEFAULT_HOST[] = "127.0.0.1";
const char BOUNDARY[] = "framescope";
// libmicrohttpd's own limit turns connections away without a word: it stays
// well above ours, so that the ones over ours hear why (503).
const unsigned int CONNECTION_LIMIT = 64;
// A connection that moves no byte for this long is closed: a client that
// stopped reading gives its place back.
const unsigned int IDLE_SECONDS = 20;
const size_t STACK_SIZE = 512 * 1024; // per connection thread; encoding needs little
const int LISTEN_BACKLOG = 16;
const size_t STREAM_BLOCK = 64 * 1024;
const int FRESH_PICTURE_MS = 2000; // /frame.png waits this long for the next frame shown
const int WAIT_SLICE_MS = 1000;    // a waiting stream looks for a closed client this often
// A still picture (the wire is quiet) is sent again this often, so that the
// idle limit does not end a stream whose client is reading.
const int REPEAT_MS = 5000;
const int RETRY_SECONDS = 5;

int admittedMark; // the socket context of an admitted connection

MHD_Response *Bytes(const QByteArray &bytes, const char *type)
{
    MHD_Response *response = MHD_create_response_from_buffer(
        static_cast<size_t>(bytes.size()), const_cast<char *>(bytes.constData()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return nullptr;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    return response;
}

MHD_Response *Text(const char *text)
{
    return Bytes(QByteArray(text) + '\n', "text/plain; charset=utf-8");
}

// The client has closed its side: nothing it asked for is worth making now.
bool ClientGone(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr)
        return false;
    pollfd watched {info->connect_fd, POLLRDHUP, 0};
    return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

QByteArray StreamPart(const QByteArray &jpeg)
{
    return QByteArray("--") + BOUNDARY + "\r\nContent-Type: image/jpeg\r\nContent-Length: "
           + QByteArray::number(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
}

QString Reason(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

// One client's stream: the part being sent and the frame it shows.
struct HttpServer::Stream {
    Stream(HttpServer &server, MHD_Connection *connection)
        : server(server), connection(connection), want(server.handover)
    {
    }
    HttpServer &server;
    MHD_Connection *connection;
    FrameHandover::Want want; // while it is open, the loop hands pictures over
    quint64 lastNumber = 0;
    QByteArray part;
    int sent = 0;
};

struct ServerCallbacks {
    static MHD_Result Answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                             const char *, const char *, size_t *, void **)
    {
        HttpServer &server = *static_cast<HttpServer *>(cls);
        int status = MHD_HTTP_OK;
        MHD_Response *response = nullptr;
        if (!server.Admitted(connection)) {
            status = MHD_HTTP_SERVICE_UNAVAILABLE;
            response = Text("busy: at most 8 clients at once");
            if (response != nullptr) {
                MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER,
                                        QByteArray::number(RETRY_SECONDS).constData());
                MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
            }
        } else if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            status = MHD_HTTP_METHOD_NOT_ALLOWED;
            response = Text("only GET and HEAD: this server only shows");
            if (response != nullptr)
                MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        } else {
            const bool bHead = strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
            response = server.Respond(connection, QByteArray(url), bHead, status);
        }
        if (response == nullptr)
            return MHD_NO;
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned int>(status), response);
        MHD_destroy_response(response);
        return queued;
    }

    static void Notify(void *cls, MHD_Connection *, void **socketContext, MHD_ConnectionNotificationCode code)
    {
        HttpServer &server = *static_cast<HttpServer *>(cls);
        std::lock_guard<std::mutex> held(server.clientsLock);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const bool bRoom = server.clients < HttpServer::MAX_CLIENTS;
            server.clients += bRoom ? 1 : 0;
            *socketContext = bRoom ? &admittedMark : nullptr;
        } else if (*socketContext == &admittedMark) {
            --server.clients;
            *socketContext = nullptr;
        }
    }

    static ssize_t StreamRead(void *cls, uint64_t, char *to, size_t room)
    {
        HttpServer::Stream &stream = *static_cast<HttpServer::Stream *>(cls);
        if (stream.sent == stream.part.size() && !stream.server.NextPart(stream))
            return MHD_CONTENT_READER_END_WITH_ERROR;
        const size_t count = std::min(room, static_cast<size_t>(stream.part.size() - stream.sent));
        memcpy(to, stream.part.constData() + stream.sent, count);
        stream.sent += static_cast<int>(count);
        return static_cast<ssize_t>(count);
    }

    static void StreamEnd(void *cls)
    {
        delete static_cast<HttpServer::Stream *>(cls);
    }
};

QString ListenAddress::Text() const
{
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &socket.sin_addr, host, sizeof host);
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(host)).arg(ntohs(socket.sin_port));
}

bool ParseListenAddress(const QString &text, ListenAddress &address, QString &error)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    const QString host = colon < 0 ? QString::fromLatin1(DEFAULT_HOST) : text.left(colon);
    const QString port = text.mid(colon + 1);
    const uint number = port.toUInt();
    if (!QRegularExpression(QStringLiteral("^[0-9]{1,5}$")).match(port).hasMatch() || number < 1
        || number > 65535) {
        error = QStringLiteral("'%1' is not a port from 1 to 65535").arg(port);
        return false;
    }
    address.socket = sockaddr_in {};
    address.socket.sin_family = AF_INET;
    address.socket.sin_port = htons(static_cast<uint16_t>(number));
    if (inet_pton(AF_INET, host.toLatin1().constData(), &address.socket.sin_addr) != 1) {
        error = QStringLiteral("'%1' is not an IPv4 address such as 127.0.0.1 or 0.0.0.0").arg(host);
        return false;
    }
    return true;
}

HttpServer::HttpServer()
{
    running.start();
}

std::unique_ptr<HttpServer> HttpServer::Start(const ListenAddress &address, QString &error)
{
    error = QStringLiteral("cannot serve on %1: ").arg(address.Text());
    // The socket is made here rather than by libmicrohttpd: a port in use
    // is then refused with the system's own reason.
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listening < 0) {
        error += Reason(errno);
        return nullptr;
    }
    const int on = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listening, reinterpret_cast<const sockaddr *>(&address.socket), sizeof address.socket) != 0
        || listen(listening, LISTEN_BACKLOG) != 0) {
        error += Reason(errno);
        close(listening);
        return nullptr;
    }
    std::unique_ptr<HttpServer> server(new HttpServer);
    server->daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr,
        &ServerCallbacks::Answer, server.get(), MHD_OPTION_LISTEN_SOCKET, listening,
        MHD_OPTION_CONNECTION_LIMIT, CONNECTION_LIMIT, MHD_OPTION_CONNECTION_TIMEOUT, IDLE_SECONDS,
        MHD_OPTION_NOTIFY_CONNECTION, &ServerCallbacks::Notify, server.get(),
        MHD_OPTION_THREAD_STACK_SIZE, STACK_SIZE, MHD_OPTION_END);
    if (server->daemon == nullptr) {
        error += QStringLiteral("the web server did not start");
        close(listening);
        return nullptr;
    }
    error.clear();
    return server;
}

HttpServer::~HttpServer()
{
    // Waiting streams and picture requests end first; then libmicrohttpd
    // closes every connection and joins its threads.
    handover.Close();
    if (daemon != nullptr)
        MHD_stop_daemon(daemon);
}

bool HttpServer::Admitted(MHD_Connection *connection) const
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr && info->socket_context == &admittedMark;
}

// Only these paths exist; nothing is ever read from the disk.
MHD_Response *HttpServer::Respond(MHD_Connection *connection, const QByteArray &path, bool bHead,
                                  int &status)
{
    if (path == "/")
        return Bytes(StatusPage(*handover.Status(), Uptime()), "text/html; charset=utf-8");
    if (path == "/status.json")
        return Bytes(StatusJson(*handover.Status(), Uptime()), "application/json");
    if (path == "/stream.mjpg")
        return OpenStream(connection, bHead);
    if (path == "/frame.png")
        return Picture(&FrameEncoder::Png, true, status);
    if (path == "/raw.png")
        return Picture(&FrameEncoder::RawPng, false, status);
    status = MHD_HTTP_NOT_FOUND;
    return Text("not found: the viewer serves /, /stream.mjpg, /frame.png, /raw.png and /status.json");
}

// The picture as shown is grabbed for the next frame shown (fresh); the raw
// samples are the latest good frame's.
MHD_Response *HttpServer::Picture(Encoded (FrameEncoder::*encode)(const HandedFrame &), bool bFresh,
                                  int &status)
{
    std::shared_ptr<const HandedFrame> frame;
    if (bFresh) {
        FrameHandover::Want want(handover);
        const std::shared_ptr<const HandedFrame> latest = handover.Latest();
        frame = handover.NextPicture(latest ? latest->Number() : 0, FRESH_PICTURE_MS);
    } else {
        frame = handover.Latest();
    }
    status = MHD_HTTP_SERVICE_UNAVAILABLE;
    if (!frame)
        return Text(bFresh ? "no picture: the viewer shows no frames now" : "no frame shown yet");
    const Encoded bytes = (encoder.*encode)(*frame);
    if (bytes->isEmpty())
        return Text("the picture could not be encoded");
    status = MHD_HTTP_OK;
    return Bytes(*bytes, "image/png");
}

// HEAD gets the headers alone: libmicrohttpd 0.9.75 would end a chunked
// answer to HEAD with a last chunk, bytes a keep-alive client takes for the
// start of the next answer.
MHD_Response *HttpServer::OpenStream(MHD_Connection *connection, bool bHead)
{
    const QByteArray type = QByteArray("multipart/x-mixed-replace; boundary=") + BOUNDARY;
    if (bHead)
        return Bytes(QByteArray(), type.constData());
    Stream *stream = new Stream(*this, connection);
    MHD_Response *response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, STREAM_BLOCK, &ServerCallbacks::StreamRead, stream, &ServerCallbacks::StreamEnd);
    if (response == nullptr) {
        delete stream;
        return nullptr;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.constData());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    return response;
}

// Waits for a frame newer than the one sent last and makes its part: a
// client that was slow gets the newest, never a backlog. False when the
// stream is to end (the server stops, the client has gone, no JPEG).
bool HttpServer::NextPart(Stream &stream)
{
    QElapsedTimer waited;
    waited.start();
    while (!handover.Closing() && !ClientGone(stream.connection)) {
        const std::shared_ptr<const HandedFrame> frame = handover.NextPicture(stream.lastNumber, WAIT_SLICE_MS);
        if (frame) {
            const Encoded jpeg = encoder.Jpeg(*frame);
            if (jpeg->isEmpty())
                return false;
            stream.part = StreamPart(*jpeg);
            stream.lastNumber = frame->Number();
            stream.sent = 0;
            return true;
        }
        if (!stream.part.isEmpty() && waited.elapsed() >= REPEAT_MS) {
            stream.sent = 0;
            return true;
        }
    }
    return false;
}
