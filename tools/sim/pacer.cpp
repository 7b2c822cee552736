#include "pacer.h"

#include <algorithm>
#include <time.h>

namespace {
constexpr std::uint64_t kNanosPerSecond = 1000000000;
}

std::uint64_t monotonicMicros()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

void Pacer::start()
{
    start_ = std::chrono::steady_clock::now();
    spent_ = 0;
}

std::uint64_t Pacer::carriedBy(std::chrono::steady_clock::duration elapsed) const
{
    const auto ns = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    return ns / kNanosPerSecond * kBytesPerSecond +
           ns % kNanosPerSecond * kBytesPerSecond / kNanosPerSecond;
}

std::size_t Pacer::allowance() const
{
    const std::uint64_t carried = carriedBy(std::chrono::steady_clock::now() - start_);
    return carried > spent_ ? static_cast<std::size_t>(carried - spent_) : 0;
}

int Pacer::msUntil(std::size_t bytes) const
{
    const std::size_t have = allowance();
    if (have >= bytes)
        return 1;
    const std::uint64_t ms = ((bytes - have) * 1000 + kBytesPerSecond - 1) / kBytesPerSecond;
    return static_cast<int>(std::clamp<std::uint64_t>(ms, 1, 1000));
}
