#include "http/HttpController.h"

#include "keep/KeepController.h"

#include <QTimer>
#include <algorithm>
#include <cstring>

namespace {

const int SECOND_MS = 1000;

} // namespace

HttpController::HttpController(std::unique_ptr<HttpServer> server, std::function<ViewerStatus()> status,
                               QWidget *picture, QObject *parent)
    : QObject(parent), server(std::move(server)), status(std::move(status)), picture(picture),
      statusTimer(new QTimer(this))
{
    connect(statusTimer, SIGNAL(timeout()), this, SLOT(Timer_Status()));
    statusTimer->start(SECOND_MS / TICKS_A_SECOND);
    Timer_Status();
}

// The server stops here: its threads end before the window they show goes.
HttpController::~HttpController() = default;

void HttpController::FrameShown(const unsigned char *raw, const RawFacts &facts)
{
    std::unique_ptr<HandedFrame> frame(new HandedFrame);
    frame->number = ++framesShown;
    if (server->Handover().PicturesWanted())
        frame->picture = PictureAsShown(picture); // the snapshot's own grab
    memcpy(frame->raw, raw, RAW_FRAME_SIZE);
    frame->facts = facts;
    frame->facts.taken = QDateTime::currentDateTime();
    server->Handover().Publish(std::move(frame));
}

// Runs from the event processing of the loop, or of the idle window.
void HttpController::Timer_Status()
{
    ViewerStatus now = status();
    now.framesShown = framesShown;
    now.framesLastSecond = static_cast<int>(framesShown - framesAtTick.front());
    std::rotate(framesAtTick.begin(), framesAtTick.begin() + 1, framesAtTick.end());
    framesAtTick.back() = framesShown;
    server->Handover().Publish(now);
}
