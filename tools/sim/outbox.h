// The bytes on their way to the viewer: the current frame, and the
// acknowledgements owed for commands, which go out ahead of the frame bytes
// at the first point where a receiver is not inside a checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class Outbox {
public:
    // `completing`: index of the byte whose writing time completedAt() tells.
    void load(std::vector<std::uint8_t> bytes, std::size_t completing);
    void oweAck() { ++acksOwed_; }

    bool drained() const { return pos_ == bytes_.size(); }
    bool hasWork() const { return !drained() || (acksOwed_ && checksumLeft_ == 0); }

    // Puts at most `budget` bytes on the line and returns how many it used.
    // With `dropUnsent` (the line runs at its own rate) whatever the pty does
    // not take is lost, as on a UART nobody listens to, up to the end of the
    // frame; otherwise it stays for the next call.
    std::size_t send(int fd, std::size_t budget, bool dropUnsent);

    // The line went down: the rest of the current frame is lost.
    void abandon();
    // Part of the current frame never reached the pty.
    bool cutOff() const { return cutOff_; }
    // CLOCK_MONOTONIC microseconds taken just before the write that carried
    // the completing byte (so never later than a reader can have it); 0
    // until then.
    std::uint64_t completedAt() const { return completedAt_; }
    // A frame was cut off between its end marker and its last checksum
    // byte: a receiver takes the first bytes of whatever comes next, the
    // next start marker included, as the rest of that checksum.
    bool receiverInChecksum() const { return wireChecksumLeft_ > 0; }

    std::uint64_t dropped() const { return dropped_; }
    bool failed() const { return failed_; }

private:
    std::size_t sendAck(int fd, bool dropUnsent);
    std::size_t sendChunk(int fd, std::size_t limit, bool dropUnsent);
    long writeSome(int fd, const std::uint8_t* data, std::size_t n);
    static void follow(const std::uint8_t* data, std::size_t n, int& checksumLeft);

    std::vector<std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    std::size_t completing_ = 0;
    std::uint64_t completedAt_ = 0;
    unsigned acksOwed_ = 0;
    int checksumLeft_ = 0;  // checksum bytes a receiver still expects
    int wireChecksumLeft_ = 0;  // the same, counting only the bytes that reached the pty
    std::uint64_t dropped_ = 0;
    bool failed_ = false;
    bool cutOff_ = false;  // the pty refused part of the current frame
};
