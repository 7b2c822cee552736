// framescope-sim: a stand-in for the infrared sensor behind its USB serial
// adapter. It opens a pseudo-terminal, streams frames into it at the link
// rate (or as fast as the viewer reads), answers commands with 0x06, and can
// spoil frames on purpose so the viewer's receiver can be exercised.

#include "frame.h"
#include "options.h"
#include "outbox.h"
#include "pacer.h"
#include "plug.h"
#include "port.h"
#include "scene.h"
#include "video.h"

#include <algorithm>
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
constexpr int kDrainPollMs = 5;
constexpr int kDrainQuietMs = 200;
constexpr int kDrainLimitMs = 2000;
constexpr int kUnplugDrainLimitMs = 500;

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

void sayTiming(std::uint64_t micros, const std::string& what)
{
    say("timing: " + std::to_string(micros) + " " + what);
}

std::string hex(std::uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

const char* verdictWord(Verdict v)
{
    return v == Verdict::Good ? "good" : v == Verdict::Bad ? "bad" : "incomplete";
}

struct Stats {
    std::uint64_t frames = 0, good = 0, bad = 0, incomplete = 0, commands = 0;
    std::uint64_t replayBytes = 0, replayPasses = 0, unplugs = 0;
};

// Where the bytes come from: generated frames or a capture.
class Source {
public:
    virtual ~Source() = default;
    // The next piece to send (one frame, or one pass of a capture) and the
    // index of its byte that completes it at a receiver (a frame's fifth
    // checksum byte); false when the stream has ended.
    virtual bool next(std::vector<std::uint8_t>& bytes, std::size_t& completing) = 0;
    // The piece handed out last has gone on the line, `whole` or cut off;
    // its completing byte was written at `completedUs`.
    virtual void sent(Stats& stats, const Options& o, bool whole, std::uint64_t completedUs) = 0;
};

class GeneratedFrames : public Source {
public:
    explicit GeneratedFrames(const Options& o)
        : scene_(o.seed, o.pattern, o.scene), periods_(o.faults), limit_(o.frames) {}

    bool next(std::vector<std::uint8_t>& bytes, std::size_t& completing) override
    {
        if (limit_ != 0 && number_ == limit_)
            return false;
        ++number_;
        if (number_ == 1 && !scene_.badPixels().empty())
            sayBadPixels();
        faults_ = faultsFor(number_, periods_);
        FrameLayout layout;
        bytes = encodeFrame(scene_.frame(number_), faults_, &layout);
        checksum_ = layout.checksum;
        completing = layout.lastChecksumByte;
        return true;
    }

    void sent(Stats& stats, const Options& o, bool whole, std::uint64_t completedUs) override
    {
        if (o.timing) {
            const std::string faults = faultNames(faults_);
            sayTiming(completedUs, "frame " + std::to_string(number_) + " " + hex(checksum_) + " " +
                                       (whole ? verdictWord(verdictOf(faults_)) : "cut") +
                                       (faults.empty() ? "" : " " + faults));
        }
        ++stats.frames;
        const Verdict v = verdictOf(faults_);
        ++(v == Verdict::Good ? stats.good : v == Verdict::Bad ? stats.bad : stats.incomplete);
        if (o.verbose)
            say("frame " + std::to_string(number_) + " " + describe(faults_));
    }

private:
    void sayBadPixels() const
    {
        std::string line = "bad pixels:";
        for (int pixel : scene_.badPixels())
            line += " " + std::to_string(pixel);
        say(line);
    }

    Scene scene_;
    FaultPeriods periods_;
    std::uint64_t limit_;
    std::uint64_t number_ = 0;
    FrameFaults faults_;
    std::uint32_t checksum_ = 0;
};

class ReplayedCapture : public Source {
public:
    ReplayedCapture(std::vector<std::uint8_t> data, bool loop) : data_(std::move(data)), loop_(loop) {}

    bool next(std::vector<std::uint8_t>& bytes, std::size_t& completing) override
    {
        if (handedOut_ > 0 && !loop_)
            return false;
        ++handedOut_;
        bytes = data_;
        completing = bytes.size() - 1;
        return true;
    }

    void sent(Stats& stats, const Options& o, bool, std::uint64_t) override
    {
        ++stats.replayPasses;
        stats.replayBytes += data_.size();
        if (o.verbose)
            say("replay pass " + std::to_string(stats.replayPasses));
    }

private:
    std::vector<std::uint8_t> data_;
    bool loop_;
    std::uint64_t handedOut_ = 0;
};

// A viewer's video: its raw samples as good frames, each sent when it is
// due by the times recorded (a gap stays a gap). While it waits for that
// moment nothing else is done; a signal ends the wait.
class ReplayedVideo : public Source {
public:
    explicit ReplayedVideo(std::unique_ptr<RecordedVideo> video) : video_(std::move(video)) {}

    bool next(std::vector<std::uint8_t>& bytes, std::size_t& completing) override
    {
        std::vector<std::uint16_t> samples;
        std::int64_t micros = 0;
        if (!video_->next(samples, micros))
            return false;
        if (startUs_ == 0)
            startUs_ = monotonicMicros();
        waitUntil(startUs_ + static_cast<std::uint64_t>(std::max<std::int64_t>(micros, 0)));
        FrameLayout layout;
        bytes = encodeFrame(samples, FrameFaults(), &layout);
        checksum_ = layout.checksum;
        completing = layout.lastChecksumByte;
        size_ = bytes.size();
        return !gStop;
    }

    void sent(Stats& stats, const Options& o, bool whole, std::uint64_t completedUs) override
    {
        ++stats.frames;
        ++stats.good;
        stats.replayBytes += size_;
        stats.replayPasses = 1;
        if (o.timing)
            sayTiming(completedUs, "frame " + std::to_string(stats.frames) + " " + hex(checksum_) + " " +
                                       (whole ? "good" : "cut"));
    }

private:
    static void waitUntil(std::uint64_t dueUs)
    {
        for (std::uint64_t now = monotonicMicros(); now < dueUs && !gStop; now = monotonicMicros())
            ::poll(nullptr, 0, static_cast<int>(std::min<std::uint64_t>((dueUs - now + 999) / 1000, 100)));
    }

    std::unique_ptr<RecordedVideo> video_;
    std::uint64_t startUs_ = 0;
    std::uint32_t checksum_ = 0;
    std::size_t size_ = 0;
};

std::unique_ptr<Source> makeSource(const Options& o, std::string& error)
{
    if (o.replay.empty())
        return std::make_unique<GeneratedFrames>(o);
    if (isMatroska(o.replay)) {
        auto video = std::make_unique<RecordedVideo>();
        if (o.loop)
            error = "--loop replays a wire capture, not a video";
        else if (video->open(o.replay, error))
            return std::make_unique<ReplayedVideo>(std::move(video));
        return nullptr;
    }
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
    Simulator(const Options& o, Port& port, PortLink& link, Source& source, int wakeFd)
        : o_(o), port_(port), link_(link), source_(source), wakeFd_(wakeFd), plug_(o.plug) {}

    int run()
    {
        pacer_.start();
        plug_.plugged(PlugSchedule::Clock::now());
        bool more = true;
        while (!gStop && more && !outbox_.failed() && plugError_.empty()) {
            if (plug_.due(PlugSchedule::Clock::now())) {
                if (plug_.isPlugged())
                    unplug();
                else
                    replug();
                continue;
            }
            if (plug_.isPlugged())
                more = pump();
            if (more)
                waitForEvents();
        }
        if (outbox_.failed())
            std::fprintf(stderr, "framescope-sim: writing to %s failed\n", port_.slavePath().c_str());
        else if (!plugError_.empty())
            std::fprintf(stderr, "framescope-sim: %s\n", plugError_.c_str());
        else if (!gStop)
            letReaderCatchUp(kDrainLimitMs);
        report();
        return outbox_.failed() || !plugError_.empty() ? 1 : 0;
    }

private:
    // The adapter goes away: the reader gets a moment to take what the pty
    // holds (a frame written whole should not be lost to the rig's timing),
    // then the frame in progress is cut off and the pty and its link vanish.
    void unplug()
    {
        letReaderCatchUp(kUnplugDrainLimitMs);
        if (inFlight_ && !outbox_.drained()) {
            outbox_.abandon();
            source_.sent(stats_, o_, false, monotonicMicros());
            inFlight_ = spoiltByCut_ = false;
        }
        const std::string name = link_.path().empty() ? port_.slavePath() : link_.path();
        link_.remove();
        port_.close();
        command_.clear();
        ++stats_.unplugs;
        sayTiming(monotonicMicros(), "unplug");
        say("unplugged: " + name);
        plug_.unplugged(PlugSchedule::Clock::now());
    }

    // Back on a new pty, under the same name or, with --renumber, another.
    void replug()
    {
        std::string path = link_.path();
        if (!port_.open(plugError_))
            return;
        if (!path.empty() && o_.renumber && !renumbered(link_.path(), path, plugError_))
            return;
        if (!path.empty() && !link_.create(path, port_.slavePath(), plugError_))
            return;
        say("pty: " + port_.slavePath());
        if (!path.empty())
            say("link: " + path + " -> " + port_.slavePath());
        sayTiming(monotonicMicros(), "replug");
        pacer_.start();
        plug_.plugged(PlugSchedule::Clock::now());
    }


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
            source_.sent(stats_, o_, !outbox_.cutOff() && !spoiltByCut_, completedAt());
        // Cut off inside its checksum, the frame before takes this one's
        // first bytes with it: no receiver can accept this one either.
        spoiltByCut_ = outbox_.receiverInChecksum();
        std::vector<std::uint8_t> bytes;
        std::size_t completing = 0;
        inFlight_ = source_.next(bytes, completing);
        if (inFlight_)
            outbox_.load(std::move(bytes), completing);
        return inFlight_;
    }

    // When the frame just sent was completed on the line; for one that never
    // was, now, when it is given up.
    std::uint64_t completedAt() const
    {
        return outbox_.completedAt() != 0 ? outbox_.completedAt() : monotonicMicros();
    }

    // Until the pty takes more, the line has room for the next chunk, a
    // command comes in, the adapter is due to go or come back, or a signal.
    int waitTimeout() const
    {
        const int pacing = !plug_.isPlugged() || o_.fast ? -1 : pacer_.msUntil(kPaceChunk);
        const int plugging = plug_.msUntilDue(PlugSchedule::Clock::now());
        if (pacing < 0 || plugging < 0)
            return std::max(pacing, plugging);
        return std::min(pacing, plugging);
    }

    void waitForEvents()
    {
        // Wait for room in the pty only with bytes that are due and kept.
        const bool due = o_.fast || pacer_.allowance() > 0;
        const short out = (!dropsUnsent() && due && outbox_.hasWork()) ? POLLOUT : 0;
        pollfd fds[2] = {{port_.master(), static_cast<short>(POLLIN | out), 0},
                         {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, waitTimeout()) <= 0)
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
    // viewer a moment to read the last frame. The input queue the slave
    // reports is only the first 4 KB of what the pty holds: up to 8 KB more
    // wait in the kernel's buffer until a worker moves them on, which on a
    // loaded machine can take a while. Only a queue seen empty for a good
    // while means the reader has taken everything; one seen empty twice 20 ms
    // apart lost a test's last frame now and then.
    void letReaderCatchUp(int limitMs)
    {
        int quietMs = 0;
        for (int waited = 0; waited < limitMs && quietMs < kDrainQuietMs && !gStop;
             waited += kDrainPollMs) {
            quietMs = port_.pendingForReader() == 0 ? quietMs + kDrainPollMs : 0;
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
            std::to_string(stats_.incomplete) + " incomplete" +
            (plug_.enabled() ? ", " + std::to_string(stats_.unplugs) + " unplugs" : ""));
    }

    const Options& o_;
    Port& port_;
    PortLink& link_;
    Source& source_;
    int wakeFd_;
    PlugSchedule plug_;
    std::string plugError_;
    Outbox outbox_;
    Pacer pacer_;
    Stats stats_;
    std::vector<std::uint8_t> command_;
    bool inFlight_ = false;
    bool spoiltByCut_ = false;
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
    return Simulator(options, port, link, *source, wakeFd).run();
}
