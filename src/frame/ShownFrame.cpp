#include "frame/ShownFrame.h"

FrameFeed::FrameFeed(QObject *parent) : QObject(parent)
{
    // Watchers on other threads get the frame through the event queue.
    qRegisterMetaType<ShownFramePtr>("ShownFramePtr");
}
