#include "http/HttpServer.h"

#include "http/RequestTarget.h"
#include "http/StatusPage.h"
#include "keep/SignalNotifier.h"

#include <QRegularExpression>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char DEFAULT_HOST[] = "127.0.0.1";
const char BOUNDARY[] = "framescope";
// libmicrohttpd's own limits turn connections away without a word. A
// connection holds no place until its request is answered, so these are
// what keeps idle and trickling sockets from taking every thread: a few per
// client address, and well above our places in all.
const unsigned int CONNECTION_LIMIT = 64;
const unsigned int CONNECTIONS_PER_ADDRESS = 4;
// A connection that moves no byte for this long is closed: one that is slow
// to send its request, or idle between requests.
const unsigned int REQUEST_SECONDS = 3;
// A stream whose client has read nothing for this long is closed: a stalled
// reader gives its place back. Its socket buffers a few parts at most, so
// that a client that stops reading stalls the stream at once, not after
// megabytes the kernel would otherwise take for it.
const unsigned int STALL_SECONDS = 5;
const int STREAM_SEND_BUFFER = 64 * 1024;
const size_t STACK_SIZE = 512 * 1024; // per connection thread; encoding needs little
const int LISTEN_BACKLOG = 16;
const size_t STREAM_BLOCK = 64 * 1024;
const int FRESH_PICTURE_MS = 2000; // /frame.png waits this long for the next frame shown
const int WAIT_SLICE_MS = 1000;    // a waiting stream looks for a closed client this often
// A still picture (the wire is quiet) is sent again this often, so that the
// stall limit does not end a stream whose client is reading.
const int REPEAT_MS = 2000;
const int RETRY_SECONDS = 5;

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

// The client has hung up or its connection failed: nothing it asked for is
// worth making now. A client that only closed its sending side (as an
// HTTP/1.0 client may, once its request is out) still reads.
bool ClientGone(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr)
        return false;
    pollfd watched {info->connect_fd, 0, 0};
    return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR)) != 0;
}

// The stream's headers for HEAD, without a body or a length: the answer's
// size is unknown, as the stream's own. HTTP/1.0 style, since libmicrohttpd
// 0.9.75 would end a chunked answer to HEAD with a last chunk, bytes a
// keep-alive client takes for the start of the next answer.
ssize_t NoBody(void *, uint64_t, char *, size_t)
{
    return MHD_CONTENT_READER_END_OF_STREAM;
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

// What the server knows of one request, from its request line to its end.
struct HttpServer::Request {
    bool bNulInTarget = false; // "%00" in the target as sent, which the path no longer shows
    bool bHeadersIn = false;   // the next call of the handler answers
    bool bPlace = false;       // holds one of the MAX_CLIENTS places
};

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
    // The first look at a request, with its target as sent: the request's
    // context is made here.
    static void *TargetSeen(void *, const char *target, MHD_Connection *)
    {
        HttpServer::Request *request = new HttpServer::Request;
        request->bNulInTarget = QByteArray(target).toLower().contains("%00");
        return request;
    }

    // Called first when the headers are in, then once more for each piece
    // of a body and once at its end: the answer goes out on that last call,
    // so that a connection can carry the next request after it.
    static MHD_Result Answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                             const char *, const char *, size_t *bodySize, void **context)
    {
        HttpServer &server = *static_cast<HttpServer *>(cls);
        HttpServer::Request *request = static_cast<HttpServer::Request *>(*context);
        if (request == nullptr)
            return MHD_NO;
        if (!request->bHeadersIn || *bodySize != 0) {
            request->bHeadersIn = true;
            *bodySize = 0; // a body is not read: only GET and HEAD are served
            return MHD_YES;
        }
        int status = MHD_HTTP_OK;
        MHD_Response *response = server.Answer(connection, *request, url, method, status);
        if (response == nullptr)
            return MHD_NO;
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned int>(status), response);
        MHD_destroy_response(response);
        return queued;
    }

    // The answer has gone out, or the connection ended first.
    static void Completed(void *cls, MHD_Connection *, void **context, MHD_RequestTerminationCode)
    {
        HttpServer::Request *request = static_cast<HttpServer::Request *>(*context);
        if (request != nullptr && request->bPlace)
            static_cast<HttpServer *>(cls)->GivePlaceBack();
        delete request;
        *context = nullptr;
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
    // libmicrohttpd closes the socket it is given when it stops, and on some
    // of its failure paths: it gets a duplicate, so that ours is closed here
    // once, whatever it does.
    const int handed = fcntl(listening, F_DUPFD_CLOEXEC, 0);
    if (handed < 0) {
        error += Reason(errno);
        close(listening);
        return nullptr;
    }
    std::unique_ptr<HttpServer> server(new HttpServer);
    const SignalsKeptFromNewThreads stopsStayHere; // its threads, and those they start
    server->daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr,
        &ServerCallbacks::Answer, server.get(), MHD_OPTION_LISTEN_SOCKET, handed, MHD_OPTION_CONNECTION_LIMIT,
        CONNECTION_LIMIT, MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_ADDRESS,
        MHD_OPTION_CONNECTION_TIMEOUT, REQUEST_SECONDS, MHD_OPTION_URI_LOG_CALLBACK, &ServerCallbacks::TargetSeen,
        server.get(), MHD_OPTION_NOTIFY_COMPLETED, &ServerCallbacks::Completed, server.get(),
        MHD_OPTION_THREAD_STACK_SIZE, STACK_SIZE, MHD_OPTION_END);
    close(listening);
    if (server->daemon == nullptr) {
        error += QStringLiteral("the web server did not start");
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

// The checks that cost nothing come first; a place is taken only by an
// answer that will be made.
MHD_Response *HttpServer::Answer(MHD_Connection *connection, Request &request, const char *target,
                                 const char *method, int &status)
{
    QByteArray path;
    QByteArray authority;
    const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (request.bNulInTarget || !SplitTarget(QByteArray(target), path, authority)) {
        status = MHD_HTTP_BAD_REQUEST;
        return Text("bad request: the target is not a path of this server");
    }
    if (!authority.isEmpty() ? !HostIsOurs(authority, ownNames) : host != nullptr && !HostIsOurs(host, ownNames)) {
        status = MHD_HTTP_MISDIRECTED_REQUEST;
        return Text("misdirected: this server answers to its own names and addresses only");
    }
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        MHD_Response *response = Text("only GET and HEAD: this server only shows");
        if (response != nullptr)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        return response;
    }
    request.bPlace = TakePlace();
    if (!request.bPlace)
        return Busy(status);
    return Respond(connection, path, strcmp(method, MHD_HTTP_METHOD_HEAD) == 0, status);
}

MHD_Response *HttpServer::Busy(int &status)
{
    status = MHD_HTTP_SERVICE_UNAVAILABLE;
    MHD_Response *response = Text("busy: at most 8 clients at once");
    if (response != nullptr) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number(RETRY_SECONDS).constData());
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    return response;
}

bool HttpServer::TakePlace()
{
    std::lock_guard<std::mutex> held(clientsLock);
    if (clients >= MAX_CLIENTS)
        return false;
    ++clients;
    return true;
}

void HttpServer::GivePlaceBack()
{
    std::lock_guard<std::mutex> held(clientsLock);
    --clients;
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

// HEAD gets the headers alone (NoBody). A stream's client that reads
// nothing for STALL_SECONDS is closed.
MHD_Response *HttpServer::OpenStream(MHD_Connection *connection, bool bHead)
{
    const QByteArray type = QByteArray("multipart/x-mixed-replace; boundary=") + BOUNDARY;
    MHD_Response *response = nullptr;
    if (bHead) {
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, STREAM_BLOCK, &NoBody, nullptr, nullptr);
        if (response == nullptr || MHD_set_response_options(response, MHD_RF_HTTP_VERSION_1_0_ONLY,
                                                             MHD_RO_END) != MHD_YES) {
            if (response != nullptr)
                MHD_destroy_response(response);
            return nullptr;
        }
    } else {
        Stream *stream = new Stream(*this, connection);
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, STREAM_BLOCK, &ServerCallbacks::StreamRead,
                                                     stream, &ServerCallbacks::StreamEnd);
        if (response == nullptr) {
            delete stream;
            return nullptr;
        }
        LimitStall(connection);
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.constData());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    return response;
}

void HttpServer::LimitStall(MHD_Connection *connection)
{
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, STALL_SECONDS);
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr)
        setsockopt(info->connect_fd, SOL_SOCKET, SO_SNDBUF, &STREAM_SEND_BUFFER, sizeof STREAM_SEND_BUFFER);
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
