#include "http/HttpController.h"

#include "keep/PictureArea.h"

#include <QTimer>
#include <algorithm>

namespace {

const int SECOND_MS = 1000;

} // namespace

HttpController::HttpController(std::unique_ptr<HttpServer> server, std::function<ViewerStatus()> status,
                               PictureAreaGrab *picture, QObject *parent)
    : QObject(parent), server(std::move(server)), status(std::move(status)), picture(picture),
      statusTimer(new QTimer(this))
{
    connect(statusTimer, &QTimer::timeout, this, &HttpController::Timer_Status);
    statusTimer->start(SECOND_MS / TICKS_A_SECOND);
    Timer_Status();
}

// The server stops here: its threads end before the window they show goes.
HttpController::~HttpController() = default;

void HttpController::FrameShown(const ShownFramePtr &frame)
{
    HandedFrame handed {frame, nullptr};
    if (server->Handover().PicturesWanted())
        handed.picture = picture->For(*frame); // as a snapshot grabs it, and once for a recording too
    server->Handover().Publish(std::move(handed));
}

// Runs from the event processing of the loop, or of the idle window.
void HttpController::Timer_Status()
{
    ViewerStatus now = status();
    now.framesLastSecond = static_cast<int>(now.framesShown - framesAtTick.front());
    std::rotate(framesAtTick.begin(), framesAtTick.begin() + 1, framesAtTick.end());
    framesAtTick.back() = now.framesShown;
    server->Handover().Publish(now);
}
