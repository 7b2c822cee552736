// Byte budget of a serial line: 921600 baud at 10 bit times per byte
// (start, 8 data, stop) carries 92160 bytes per second. The budget follows
// the monotonic clock from the start, so short stalls are caught up and the
// rate does not drift.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// CLOCK_MONOTONIC in microseconds: the clock the viewer stamps the frames it
// shows with, so the two can be set against each other.
std::uint64_t monotonicMicros();

class Pacer {
public:
    static constexpr std::uint64_t kBytesPerSecond = 92160;

    void start();

    // Bytes the line could have carried by now, less those already spent.
    std::size_t allowance() const;
    void spend(std::size_t n) { spent_ += n; }

    // Milliseconds (at least 1) until `bytes` more are allowed.
    int msUntil(std::size_t bytes) const;

private:
    std::uint64_t carriedBy(std::chrono::steady_clock::duration elapsed) const;

    std::chrono::steady_clock::time_point start_;
    std::uint64_t spent_ = 0;
};
