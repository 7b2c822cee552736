#include "plug.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace {
constexpr int kHighestNumber = 9999;
}

void PlugSchedule::plugged(Clock::time_point now)
{
    plugged_ = true;
    next_ = now + std::chrono::milliseconds(cycle_.upMs);
}

void PlugSchedule::unplugged(Clock::time_point now)
{
    plugged_ = false;
    next_ = now + std::chrono::milliseconds(cycle_.downMs);
}

int PlugSchedule::msUntilDue(Clock::time_point now) const
{
    if (!enabled())
        return -1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next_ - now).count();
    return static_cast<int>(std::clamp<long long>(ms + 1, 1, 1000));
}

bool renumbered(const std::string& path, std::string& next, std::string& error)
{
    const std::size_t digits = path.find_last_not_of("0123456789") + 1;
    const std::size_t slash = path.find_last_of('/');
    if (digits == path.size() || (slash != std::string::npos && digits <= slash)) {
        error = "cannot renumber " + path + ": its name does not end in a number";
        return false;
    }
    const std::string prefix = path.substr(0, digits);
    const std::string own = path.substr(digits);
    for (int n = 0; n <= kHighestNumber; ++n) {
        const std::string candidate = prefix + std::to_string(n);
        struct stat st;
        if (candidate != prefix + own && lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) {
            next = candidate;
            return true;
        }
    }
    error = "cannot renumber " + path + ": no free number up to " + std::to_string(kHighestNumber);
    return false;
}
