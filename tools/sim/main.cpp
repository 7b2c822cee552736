// framescope-sim: a stand-in for the infrared sensor behind its USB serial
// adapter. It opens a pseudo-terminal, streams frames into it at the link
// rate (or as fast as the viewer reads), answers commands with 0x06, and can
// spoil frames on purpose so the viewer's receiver can be exercised.

#include "frame.h"
#include "options.h"
#include "outbox.h"
#include "pacer.h"
#include "port.h"
#include "scene.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kCommandBytes = 6;
constexpr std::size_t kPaceChunk = 128;  // bytes per wake-up at the link rate
constexpr int kDrainPollMs = 20;
constexpr int kDrainLimitMs = 2000;

volatile std::sig_atomic_t gStop = 0;
int gWakeFd = -1;

void onStopSignal(int)
{
    const int saved = errno;
    gStop = 1;
    const char c = 1;
    if (::write(gWakeFd, &c, 1) < 0) {
        // The pipe is full: the loop wakes up anyway.
    }
    errno = saved;
}

// Self-pipe: the signal handler writes into it to wake the poll loop.
bool installStopSignals(int& wakeRead)
{
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    wakeRead = fds[0];
    gWakeFd = fds[1];
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    std::signal(SIGPIPE, SIG_IGN);
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

void say(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string escaped(const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    for (std::uint8_t b : bytes) {
        if (b >= 0x20 && b <= 0x7E && b != '\\') {
            out += static_cast<char>(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

struct Stats {
    std::uint64_t frames = 0, good = 0, bad = 0, incomplete = 0, commands = 0;
    std::uint64_t replayBytes = 0, replayPasses = 0;
};

// Where the bytes come from: generated frames or a capture.
class Source {
public:
    virtual ~Source() = default;
    // The next piece to send (one frame, or one pass of a capture); false
    // when the stream has ended.
    virtual bool next(std::vector<std::uint8_t>& bytes) = 0;
    // The piece handed out last has gone on the line.
    virtual void sent(Stats& stats, bool verbose) = 0;
};

class GeneratedFrames : public Source {
public:
    explicit GeneratedFrames(const Options& o)
        : scene_(o.seed), periods_(o.faults), limit_(o.frames) {}

    bool next(std::vector<std::uint8_t>& bytes) override
    {
        if (limit_ != 0 && number_ == limit_)
            return false;
        ++number_;
        faults_ = faultsFor(number_, periods_);
        bytes = encodeFrame(scene_.frame(number_), faults_);
        return true;
    }

    void sent(Stats& stats, bool verbose) override
    {
        ++stats.frames;
        const Verdict v = verdictOf(faults_);
        ++(v == Verdict::Good ? stats.good : v == Verdict::Bad ? stats.bad : stats.incomplete);
        if (verbose)
            say("frame " + std::to_string(number_) + " " + describe(faults_));
    }

private:
    Scene scene_;
    FaultPeriods periods_;
    std::uint64_t limit_;
    std::uint64_t number_ = 0;
    FrameFaults faults_;
};

class ReplayedCapture : public Source {
public:
    ReplayedCapture(std::vector<std::uint8_t> data, bool loop) : data_(std::move(data)), loop_(loop) {}

    bool next(std::vector<std::uint8_t>& bytes) override
    {
        if (handedOut_ > 0 && !loop_)
            return false;
        ++handedOut_;
        bytes = data_;
        return true;
    }

    void sent(Stats& stats, bool verbose) override
    {
        ++stats.replayPasses;
        stats.replayBytes += data_.size();
        if (verbose)
            say("replay pass " + std::to_string(stats.replayPasses));
    }

private:
    std::vector<std::uint8_t> data_;
    bool loop_;
    std::uint64_t handedOut_ = 0;
};

std::unique_ptr<Source> makeSource(const Options& o, std::string& error)
{
    if (o.replay.empty())
        return std::make_unique<GeneratedFrames>(o);
    std::ifstream in(o.replay, std::ios::binary);
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        error = "cannot read capture " + o.replay;
    else if (data.empty())
        error = "cannot replay " + o.replay + ": empty or missing";
    return error.empty() ? std::make_unique<ReplayedCapture>(std::move(data), o.loop) : nullptr;
}

class Simulator {
public:
    Simulator(const Options& o, Port& port, Source& source, int wakeFd)
        : o_(o), port_(port), source_(source), wakeFd_(wakeFd) {}

    int run()
    {
        pacer_.start();
        bool more = true;
        while (!gStop && more && !outbox_.failed()) {
            more = pump();
            if (more)
                waitForEvents();
        }
        if (outbox_.failed())
            std::fprintf(stderr, "framescope-sim: writing to %s failed\n", port_.slavePath().c_str());
        else if (!gStop)
            letReaderCatchUp();
        report();
        return outbox_.failed() ? 1 : 0;
    }

private:
    // Sends what the budget allows; false once the source has run dry.
    bool pump()
    {
        for (;;) {
            if (!refill())
                return false;
            const std::size_t budget =
                o_.fast ? std::numeric_limits<std::size_t>::max() : pacer_.allowance();
            const std::size_t used = outbox_.send(port_.master(), budget, dropsUnsent());
            pacer_.spend(used);
            if (!outbox_.drained() || used == 0 || outbox_.failed())
                return true;
        }
    }

    // Generated frames at the link rate are lost where nobody reads, as on a
    // real line. A capture is replayed whole: what the pty cannot take yet
    // waits for the reader, so a viewer that connects late still sees the
    // session from its first byte.
    bool dropsUnsent() const { return !o_.fast && o_.replay.empty(); }

    bool refill()
    {
        if (!outbox_.drained())
            return true;
        if (inFlight_)
            source_.sent(stats_, o_.verbose);
        std::vector<std::uint8_t> bytes;
        inFlight_ = source_.next(bytes);
        if (inFlight_)
            outbox_.load(std::move(bytes));
        return inFlight_;
    }

    void waitForEvents()
    {
        // Wait for room in the pty only with bytes that are due and kept.
        const bool due = o_.fast || pacer_.allowance() > 0;
        const short out = (!dropsUnsent() && due && outbox_.hasWork()) ? POLLOUT : 0;
        pollfd fds[2] = {{port_.master(), static_cast<short>(POLLIN | out), 0},
                         {wakeFd_, POLLIN, 0}};
        const int timeout = o_.fast ? -1 : pacer_.msUntil(kPaceChunk);
        if (::poll(fds, 2, timeout) <= 0)
            return;
        if (fds[0].revents & POLLIN)
            readCommands();
        if (fds[1].revents & POLLIN)
            emptyWakePipe();
    }

    void readCommands()
    {
        std::uint8_t buf[256];
        const ssize_t n = ::read(port_.master(), buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            command_.push_back(buf[i]);
            if (command_.size() == kCommandBytes)
                answerCommand();
        }
    }

    void answerCommand()
    {
        outbox_.oweAck();
        ++stats_.commands;
        say("command: " + escaped(command_));
        command_.clear();
    }

    void emptyWakePipe()
    {
        char buf[64];
        while (::read(wakeFd_, buf, sizeof buf) > 0) {
        }
    }

    // The pty loses what it holds when the simulator closes it: give the
    // viewer a moment to read the last frame.
    void letReaderCatchUp()
    {
        int quiet = 0;
        for (int waited = 0; waited < kDrainLimitMs && quiet < 2 && !gStop; waited += kDrainPollMs) {
            quiet = port_.pendingForReader() == 0 ? quiet + 1 : 0;
            ::poll(nullptr, 0, kDrainPollMs);
        }
    }

    void report()
    {
        if (!o_.replay.empty())
            say("replayed: " + std::to_string(stats_.replayBytes) + " bytes in " +
                std::to_string(stats_.replayPasses) + " passes");
        say("sent: " + std::to_string(stats_.frames) + " frames (" + std::to_string(stats_.good) +
            " good, " + std::to_string(stats_.bad) + " bad), " + std::to_string(outbox_.dropped()) +
            " bytes dropped, " + std::to_string(stats_.commands) + " commands, " +
            std::to_string(stats_.incomplete) + " incomplete");
    }

    const Options& o_;
    Port& port_;
    Source& source_;
    int wakeFd_;
    Outbox outbox_;
    Pacer pacer_;
    Stats stats_;
    std::vector<std::uint8_t> command_;
    bool inFlight_ = false;
};

int fail(const std::string& message, int status)
{
    std::fprintf(stderr, "framescope-sim: %s\n", message.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    const ParseOutcome parsed = parseOptions(argc, argv, options, error);
    if (parsed == ParseOutcome::Help) {
        printUsage(stdout);
        return 0;
    }
    if (parsed == ParseOutcome::Error)
        return fail(error, 2);

    std::unique_ptr<Source> source = makeSource(options, error);
    Port port;
    PortLink link;
    int wakeFd = -1;
    if (!source || !port.open(error))
        return fail(error, 1);
    if (!options.link.empty() && !link.create(options.link, port.slavePath(), error))
        return fail(error, 1);
    if (!installStopSignals(wakeFd))
        return fail("cannot install the signal handlers", 1);

    say("pty: " + port.slavePath());
    if (!options.link.empty())
        say("link: " + options.link + " -> " + port.slavePath());
    return Simulator(options, port, *source, wakeFd).run();
}
