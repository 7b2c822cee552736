#include "http/FrameHandover.h"

#include <chrono>

void FrameHandover::Publish(HandedFrame frame)
{
    std::shared_ptr<const HandedFrame> handed = std::make_shared<const HandedFrame>(std::move(frame));
    const bool bPicture = handed->picture != nullptr;
    {
        std::lock_guard<std::mutex> held(lock);
        latest.swap(handed);
        if (bPicture)
            latestPicture = latest;
    }
    // The frame it replaced is released here, outside the lock.
    handed.reset();
    if (bPicture)
        arrived.notify_all();
}

void FrameHandover::Publish(const ViewerStatus &now)
{
    std::shared_ptr<const ViewerStatus> handed = std::make_shared<ViewerStatus>(now);
    std::lock_guard<std::mutex> held(lock);
    status.swap(handed);
}

std::shared_ptr<const HandedFrame> FrameHandover::Latest() const
{
    std::lock_guard<std::mutex> held(lock);
    return latest;
}

std::shared_ptr<const ViewerStatus> FrameHandover::Status() const
{
    std::lock_guard<std::mutex> held(lock);
    return status;
}

std::shared_ptr<const HandedFrame> FrameHandover::NextPicture(quint64 after, int timeoutMs)
{
    std::unique_lock<std::mutex> held(lock);
    const bool bCame = arrived.wait_for(held, std::chrono::milliseconds(timeoutMs), [this, after] {
        return bClosing || (latestPicture && latestPicture->Number() > after);
    });
    if (!bCame || bClosing)
        return nullptr;
    return latestPicture;
}

FrameHandover::Want::Want(FrameHandover &handover) : handover(handover)
{
    handover.picturesWanted.fetch_add(1, std::memory_order_relaxed);
}

FrameHandover::Want::~Want()
{
    handover.picturesWanted.fetch_sub(1, std::memory_order_relaxed);
}

void FrameHandover::Close()
{
    {
        std::lock_guard<std::mutex> held(lock);
        bClosing = true;
    }
    arrived.notify_all();
}

bool FrameHandover::Closing() const
{
    std::lock_guard<std::mutex> held(lock);
    return bClosing;
}
