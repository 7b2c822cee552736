// Command line of the sensor simulator.
#pragma once

#include "scene.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Every Nth frame (counted from 1) gets the fault; 0 means never.
struct FaultPeriods {
    std::uint64_t badChecksum = 0;
    std::uint64_t loseStart = 0;
    std::uint64_t loseEnd = 0;
    std::uint64_t extraByte = 0;
    std::uint64_t ackInData = 0;
    std::uint64_t stray = 0;
};

// --unplug-every: the link is up for `upMs`, then gone for `downMs`, over and
// over; upMs 0 means never unplugged.
struct PlugCycle {
    std::uint64_t upMs = 0;
    std::uint64_t downMs = 2000;
};

struct Options {
    bool fast = false;
    bool verbose = false;
    bool loop = false;
    bool timing = false;
    bool renumber = false;
    std::uint64_t frames = 0;  // 0: endless
    std::uint32_t seed = 1;
    Pattern pattern = Pattern::Scene;
    SceneSettings scene;  // --temperature, --bad-pixels, --drift
    std::string temperatureText;  // --temperature as given
    std::uint64_t badPixels = 0;
    std::uint64_t drift = 0;
    std::string link;
    std::string replay;
    FaultPeriods faults;
    PlugCycle plug;
};

enum class ParseOutcome { Run, Help, Error };

// Fills `out` from argv. On Error, `error` holds a one-line message.
ParseOutcome parseOptions(int argc, char** argv, Options& out, std::string& error);

void printUsage(std::FILE* to);
