// The viewer's read-only web server (libmicrohttpd): the page, the MJPEG
// stream, the picture as shown, the raw samples and the status, read from
// the frame hand-over. Each connection has a thread of its own, so a client
// that stalls holds nothing but its own connection. At most MAX_CLIENTS
// requests are answered at once, the others get 503; a place is taken by an
// answer, not by a connection, so idle and keep-alive connections hold none.
// Needs no window.
#ifndef HTTP_HTTPSERVER_H
#define HTTP_HTTPSERVER_H

#include "http/FrameEncoder.h"
#include "http/FrameHandover.h"
#include "http/RequestTarget.h"

#include <QElapsedTimer>
#include <QString>
#include <memory>
#include <mutex>
#include <netinet/in.h>

struct MHD_Connection;
struct MHD_Daemon;
struct MHD_Response;

// Where the server listens: an IPv4 address and a port.
struct ListenAddress {
    sockaddr_in socket {};
    QString Text() const;
};

// Reads "[ADDR:]PORT": ADDR an IPv4 address (default 127.0.0.1), PORT 1 to
// 65535. On a bad text returns false with the reason in error.
bool ParseListenAddress(const QString &text, ListenAddress &address, QString &error);

class HttpServer
{
public:
    enum { MAX_CLIENTS = 8 };

    // Listens and serves; null with the reason in error when the address
    // cannot be had (a port in use, an address not of this machine).
    static std::unique_ptr<HttpServer> Start(const ListenAddress &address, QString &error);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    FrameHandover &Handover() { return handover; }

private:
    HttpServer();
    struct Request;
    struct Stream;

    // libmicrohttpd's callbacks (HttpServer.cpp), with the server or the
    // stream as their first argument.
    friend struct ServerCallbacks;

    MHD_Response *Answer(MHD_Connection *connection, Request &request, const char *target, const char *method,
                         int &status);
    MHD_Response *Busy(int &status);
    bool TakePlace();
    void GivePlaceBack();
    MHD_Response *Respond(MHD_Connection *connection, const QByteArray &path, bool bHead, int &status);
    MHD_Response *Picture(Encoded (FrameEncoder::*encode)(const HandedFrame &), bool bFresh, int &status);
    MHD_Response *OpenStream(MHD_Connection *connection, bool bHead);
    static void LimitStall(MHD_Connection *connection);
    bool NextPart(Stream &stream);
    qint64 Uptime() const { return running.elapsed() / 1000; }

    MHD_Daemon *daemon = nullptr;
    FrameHandover handover;
    FrameEncoder encoder;
    QElapsedTimer running;
    const QByteArrayList ownNames = OwnHostNames();
    std::mutex clientsLock;
    int clients = 0; // answers being made or sent
};

#endif
