#include "outbox.h"

#include "frame.h"
#include "pacer.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

void Outbox::load(std::vector<std::uint8_t> bytes, std::size_t completing)
{
    bytes_ = std::move(bytes);
    pos_ = 0;
    completing_ = completing;
    completedAt_ = 0;
    cutOff_ = false;
}

void Outbox::abandon()
{
    if (drained())
        return;
    dropped_ += bytes_.size() - pos_;
    pos_ = bytes_.size();
    cutOff_ = true;
}

std::size_t Outbox::send(int fd, std::size_t budget, bool dropUnsent)
{
    std::size_t spent = 0;
    while (spent < budget && !failed_) {
        const bool ackNow = acksOwed_ && checksumLeft_ == 0;
        const std::size_t step =
            ackNow ? sendAck(fd, dropUnsent) : sendChunk(fd, budget - spent, dropUnsent);
        if (step == 0)
            break;
        spent += step;
    }
    return spent;
}

std::size_t Outbox::sendAck(int fd, bool dropUnsent)
{
    const long n = writeSome(fd, &kAck, 1);
    if (n == 0 && !dropUnsent)
        return 0;
    --acksOwed_;
    dropped_ += static_cast<std::uint64_t>(1 - n);
    return 1;
}

std::size_t Outbox::sendChunk(int fd, std::size_t limit, bool dropUnsent)
{
    std::size_t n = std::min(limit, bytes_.size() - pos_);
    if (acksOwed_)  // stop where the owed acknowledgement may go
        n = std::min(n, static_cast<std::size_t>(checksumLeft_));
    if (n == 0)
        return 0;
    const bool completes = pos_ <= completing_ && completing_ < pos_ + n;
    const std::uint64_t before = completes ? monotonicMicros() : 0;
    const long taken = cutOff_ ? 0 : writeSome(fd, bytes_.data() + pos_, n);
    if (completes && static_cast<std::size_t>(taken) > completing_ - pos_)
        completedAt_ = before;
    // Once the pty has refused part of a frame, the rest of that frame is
    // lost too: the reader then sees a cut-off frame followed by the next
    // start marker, never the tail of one frame glued to the head of another.
    if (dropUnsent && static_cast<std::size_t>(taken) < n)
        cutOff_ = true;
    const std::size_t used = dropUnsent ? n : static_cast<std::size_t>(taken);
    follow(bytes_.data() + pos_, used, checksumLeft_);
    follow(bytes_.data() + pos_, static_cast<std::size_t>(taken), wireChecksumLeft_);
    pos_ += used;
    dropped_ += used - static_cast<std::size_t>(taken);
    return used;
}

// Number of bytes the pty took; 0 when it is full, 0 and `failed_` on error.
long Outbox::writeSome(int fd, const std::uint8_t* data, std::size_t n)
{
    const ssize_t k = ::write(fd, data, n);
    if (k >= 0)
        return static_cast<long>(k);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        failed_ = true;
    return 0;
}

// Follows the receiver's view of the stream: after an end marker outside a
// checksum come five checksum bytes, in which a 0x06 would be misread.
void Outbox::follow(const std::uint8_t* data, std::size_t n, int& checksumLeft)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (checksumLeft > 0)
            --checksumLeft;
        else if (data[i] == kEndMarker)
            checksumLeft = kChecksumBytes;
    }
}
