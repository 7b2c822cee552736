// Wire encoding of one sensor frame, with the faults the simulator can put
// into it.
//
// A frame: 0x02, 13440 data bytes (pixel k = bytes 2k and 2k+1, upper and
// lower 7 bits of its 14-bit sample, each with bit 7 set), 0x03, and five
// checksum bytes carrying the 32-bit sum of the data bytes' 7-bit groups,
// 7 bits per byte, least significant first, bit 7 clear.
#pragma once

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint8_t kStartMarker = 0x02;
constexpr std::uint8_t kEndMarker = 0x03;
constexpr std::uint8_t kAck = 0x06;
constexpr int kDataBytes = 13440;
constexpr int kChecksumBytes = 5;
constexpr int kFrameBytes = 1 + kDataBytes + 1 + kChecksumBytes;

struct FrameFaults {
    bool badChecksum = false;
    bool loseStart = false;
    bool loseEnd = false;
    bool extraByte = false;
    bool ackInData = false;
    bool stray = false;
};

// What a correct receiver makes of a frame.
enum class Verdict { Good, Bad, Incomplete };

FrameFaults faultsFor(std::uint64_t frameNumber, const FaultPeriods& periods);
Verdict verdictOf(const FrameFaults& faults);

// "good", optionally followed by the harmless faults, or the list of faults
// that spoil the frame, e.g. "good ack-in-data", "bad-checksum lose-start".
std::string describe(const FrameFaults& faults);
// The faults alone, e.g. "lose-start stray"; "" for none.
std::string faultNames(const FrameFaults& faults);

struct FrameLayout {
    std::uint32_t checksum = 0;         // the value its five checksum bytes carry
    std::size_t lastChecksumByte = 0;   // index of the byte that completes it
};

// The frame's bytes; `layout`, when given, receives where and what its
// checksum is.
std::vector<std::uint8_t> encodeFrame(const std::vector<std::uint16_t>& samples,
                                      const FrameFaults& faults, FrameLayout* layout = nullptr);
