// Unplugging the simulated adapter: when it goes and comes back, and under
// which name it comes back.
#pragma once

#include "options.h"

#include <chrono>
#include <string>

class PlugSchedule {
public:
    using Clock = std::chrono::steady_clock;

    explicit PlugSchedule(const PlugCycle& cycle) : cycle_(cycle) {}

    bool enabled() const { return cycle_.upMs != 0; }
    bool isPlugged() const { return plugged_; }

    // The adapter has just appeared or gone: the next change is due a
    // cycle's up or down time later.
    void plugged(Clock::time_point now);
    void unplugged(Clock::time_point now);

    bool due(Clock::time_point now) const { return enabled() && now >= next_; }
    // Milliseconds (at least 1) until the next change; -1 when there is none.
    int msUntilDue(Clock::time_point now) const;

private:
    PlugCycle cycle_;
    bool plugged_ = true;
    Clock::time_point next_;
};

// The name an adapter replugged with --renumber gets: `path` with the lowest
// number, other than its own, that names nothing in its directory
// (.../ttyUSB0 -> .../ttyUSB1 -> .../ttyUSB0). False, with `error`, when
// the name does not end in a number or no number up to 9999 is free.
bool renumbered(const std::string& path, std::string& next, std::string& error);
