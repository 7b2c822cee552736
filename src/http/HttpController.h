// The web server's side of the window (--http): hands every frame shown and,
// four times a second, the viewer's status over to the server. MainWindow creates
// one only with --http; without it nothing of this runs and nothing listens.
#ifndef HTTP_HTTPCONTROLLER_H
#define HTTP_HTTPCONTROLLER_H

#include "http/HttpServer.h"

#include <QObject>
#include <array>
#include <functional>
#include <memory>

class PictureAreaGrab;
class QTimer;

class HttpController : public QObject
{
    Q_OBJECT

public:
    // Serves what `picture` grabs; `status` tells the viewer's counters (all
    // but the frames shown in the last second, which are counted here).
    HttpController(std::unique_ptr<HttpServer> server, std::function<ViewerStatus()> status,
                   PictureAreaGrab *picture, QObject *parent);
    ~HttpController() override;

    // The display step: the frame just shown. The picture area is grabbed
    // only while a client waits for pictures.
    void FrameShown(const ShownFramePtr &frame);

private slots:
    void Timer_Status();

private:
    enum { TICKS_A_SECOND = 4 };
    std::unique_ptr<HttpServer> server;
    std::function<ViewerStatus()> status;
    PictureAreaGrab *picture;
    QTimer *statusTimer;
    // The frame counts of the last second's ticks, oldest first.
    std::array<quint64, TICKS_A_SECOND> framesAtTick {};
};

#endif
