#include "options.h"

#include <cstdlib>
#include <limits>
#include <map>

namespace {

const char kUsage[] =
    "Usage: framescope-sim [options]\n"
    "Stands in for the 84 x 80 infrared sensor on a pseudo-terminal: streams\n"
    "frames, answers every six-byte command with 0x06. The first line on stdout\n"
    "is 'pty: /dev/pts/N', the port to open.\n"
    "\n"
    "Options:\n"
    "  --link PATH          also make PATH a symlink to the pty (e.g. /dev/ttyUSB0)\n"
    "                       and print 'link: PATH -> /dev/pts/N' as the second\n"
    "                       line; PATH must not exist; removed again on exit\n"
    "  --fast               send as fast as the reader takes the bytes (nothing is\n"
    "                       dropped) instead of at the link rate of 921600 baud\n"
    "                       (92160 bytes/s; a frame nobody takes in time is cut\n"
    "                       off where the pty is full; the next one starts whole)\n"
    "  --frames N           stop after N frames (default: endless)\n"
    "  --seed N             seed of the scene and its fixed pattern (default 1)\n"
    "  --pattern NAME       what the sensor looks at: scene (default; a warm object\n"
    "                       moving over a background), flat (one level everywhere,\n"
    "                       through the fixed pattern and the noise, as in front\n"
    "                       of a lens cap) or gradient (pixel i, row by row, is\n"
    "                       i * 16383 / 6719 exactly, in every frame)\n"
    "  --temperature C      with --pattern flat: the surface's temperature in\n"
    "                       degrees Celsius, -40 to 85 (default 25)\n"
    "  --bad-pixels N       make N pixels bad, every other one dead (0) and the\n"
    "                       others stuck at one value; prints 'bad pixels: I ...'\n"
    "                       (row x 84 + column) before the first frame\n"
    "  --drift COUNTS       every pixel's offset has moved by COUNTS, each by up\n"
    "                       to a quarter more or less, as with the sensor's own\n"
    "                       temperature\n"
    "  --replay FILE        send the bytes of FILE (a raw capture, or a viewer's\n"
    "                       --record file) instead of generated frames, once, at\n"
    "                       the same pacing, but whole: bytes the pty cannot take\n"
    "                       yet wait for the reader instead of being dropped.\n"
    "                       A viewer's video (.mkv): the raw samples of its FFV1\n"
    "                       track as good frames, each at its recorded time\n"
    "  --loop               with --replay: repeat FILE until stopped\n"
    "  --verbose            print one line per frame sent: 'frame N good',\n"
    "                       'frame N good ack-in-data', 'frame N bad-checksum', ...\n"
    "                       (with --replay: 'replay pass P')\n"
    "  --timing             print one line per generated frame once it has gone\n"
    "                       out: 'timing: T frame N CHECKSUM VERDICT [FAULT...]',\n"
    "                       T the time its last checksum byte was written\n"
    "                       (CLOCK_MONOTONIC, microseconds, taken just before that\n"
    "                       write; for a frame cut off, when it was given up),\n"
    "                       CHECKSUM the 32-bit value its five checksum bytes carry\n"
    "                       (hex), VERDICT good, bad, incomplete or cut (part of\n"
    "                       it, or of the checksum before it, never reached the\n"
    "                       pty), FAULT the faults it carries (lose-start, ...);\n"
    "                       with --unplug-every also 'timing: T unplug' and\n"
    "                       'timing: T replug'\n"
    "  --unplug-every SECONDS[:PAUSE]\n"
    "                       unplug the adapter after every SECONDS of streaming:\n"
    "                       close the pty, remove the link, print 'unplugged: PATH';\n"
    "                       PAUSE seconds later (default 2) come back on a new pty\n"
    "                       and print its 'pty:' (and 'link:') line again. Up to\n"
    "                       three decimals (0.5:1.25). Before it closes the pty the\n"
    "                       reader gets up to 0.5 s to take what it holds; the\n"
    "                       frame in progress is cut off\n"
    "  --renumber           with --unplug-every and a --link whose name ends in a\n"
    "                       number (ttyUSB0): come back under the lowest free number\n"
    "                       other than the one just left (ttyUSB1, then ttyUSB0...),\n"
    "                       as the kernel names an adapter replugged while the old\n"
    "                       node is still held open\n"
    "  --help               print this text and exit\n"
    "\n"
    "Faults, each on every Nth frame (frames counted from 1):\n"
    "  --bad-checksum N     checksum sent one higher than the sum (bad)\n"
    "  --lose-start N       start marker 0x02 not sent (bad)\n"
    "  --lose-end N         end marker 0x03 not sent, checksum still sent (incomplete)\n"
    "  --extra-byte N       13441 data bytes, checksum over all of them (bad)\n"
    "  --ack-in-data N      an 0x06 between data bytes 6720 and 6721 (stays good)\n"
    "  --stray N            bytes 0x00 0x11 0x55 0x7F after the checksum (stays good)\n"
    "\n"
    "Commands: every six bytes read from the port are one command; it is answered\n"
    "with 0x06 at the next point outside a checksum and printed as\n"
    "'command: XXXXXX' (bytes outside 0x20..0x7E and '\\' as \\xNN).\n"
    "\n"
    "After the last frame (--frames) or pass (--replay) the pty is kept up to 2 s\n"
    "more, until the reader has taken what it still holds.\n"
    "On exit (frames done, replay done, SIGINT or SIGTERM):\n"
    "  sent: F frames (G good, B bad), X bytes dropped, C commands, L incomplete\n"
    "(followed by ', U unplugs' with --unplug-every).\n"
    "F = G + B + L. A frame that lost its start marker counts as bad itself (a\n"
    "receiver that joins the stream right at that frame may still accept it).\n"
    "With --replay no frames are counted; a line 'replayed: N bytes in P passes'\n"
    "comes first.\n"
    "\n"
    "Exit status: 0 done or stopped by a signal, 1 the port, link, capture file or\n"
    "a write failed, 2 bad command line.\n";

bool parseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

struct NumberOption {
    std::uint64_t* target;
    std::uint64_t min;
    std::uint64_t max;
};

std::map<std::string, NumberOption> numberOptions(Options& o, std::uint64_t& seed)
{
    const std::uint64_t big = std::numeric_limits<std::uint32_t>::max();
    return {
        {"--frames", {&o.frames, 1, std::numeric_limits<std::uint64_t>::max()}},
        {"--seed", {&seed, 0, big}},
        {"--bad-checksum", {&o.faults.badChecksum, 1, big}},
        {"--lose-start", {&o.faults.loseStart, 1, big}},
        {"--lose-end", {&o.faults.loseEnd, 1, big}},
        {"--extra-byte", {&o.faults.extraByte, 1, big}},
        {"--ack-in-data", {&o.faults.ackInData, 1, big}},
        {"--stray", {&o.faults.stray, 1, big}},
        {"--bad-pixels", {&o.badPixels, 1, 1000}},
        {"--drift", {&o.drift, 0, 4000}},
    };
}

std::map<std::string, std::string*> textOptions(Options& o, std::string& plugText,
                                                std::string& patternText)
{
    return {{"--link", &o.link},
            {"--temperature", &o.temperatureText},
            {"--replay", &o.replay},
            {"--unplug-every", &plugText},
            {"--pattern", &patternText}};
}

bool parsePattern(const std::string& text, Pattern& pattern)
{
    static const std::map<std::string, Pattern> names = {
        {"scene", Pattern::Scene}, {"flat", Pattern::Flat}, {"gradient", Pattern::Gradient}};
    const auto found = names.find(text);
    if (found == names.end())
        return false;
    pattern = found->second;
    return true;
}

std::map<std::string, bool*> flagOptions(Options& o)
{
    return {{"--fast", &o.fast},         {"--verbose", &o.verbose}, {"--loop", &o.loop},
            {"--timing", &o.timing},     {"--renumber", &o.renumber}};
}

constexpr std::uint64_t kMaxSecondsText = 86400;  // a day

// "12", "0.5", "2.125": whole milliseconds above zero, at most a day.
bool parseSeconds(const std::string& text, std::uint64_t& ms)
{
    const auto dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (fraction.size() > 3 || (dot != std::string::npos && fraction.empty()))
        return false;
    fraction.resize(3, '0');
    std::uint64_t seconds = 0, thousandths = 0;
    if (!parseNumber(whole, kMaxSecondsText, seconds) || !parseNumber(fraction, 999, thousandths))
        return false;
    ms = seconds * 1000 + thousandths;
    return ms > 0 && ms <= kMaxSecondsText * 1000;
}

bool parsePlugCycle(const std::string& text, PlugCycle& cycle)
{
    const auto colon = text.find(':');
    if (!parseSeconds(text.substr(0, colon), cycle.upMs))
        return false;
    return colon == std::string::npos || parseSeconds(text.substr(colon + 1), cycle.downMs);
}

// "ttyUSB0" ends in a number the simulator can change; "tty" does not.
bool endsInNumber(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return !name.empty() && name.back() >= '0' && name.back() <= '9';
}

bool anyFault(const FaultPeriods& f)
{
    return f.badChecksum || f.loseStart || f.loseEnd || f.extraByte || f.ackInData || f.stray;
}

bool checkCombination(const Options& o, std::string& error)
{
    if (o.loop && o.replay.empty())
        error = "--loop needs --replay";
    else if (!o.replay.empty() && (o.frames || anyFault(o.faults) || o.pattern != Pattern::Scene))
        error = "--replay cannot be combined with --frames, --pattern or a fault option";
    else if (o.renumber && (o.plug.upMs == 0 || !endsInNumber(o.link)))
        error = "--renumber needs --unplug-every and a --link whose name ends in a number";
    return error.empty();
}

// The scene's settings from their options as given.
bool readScene(Options& o, std::string& error)
{
    o.scene.badPixels = static_cast<int>(o.badPixels);
    o.scene.drift = static_cast<int>(o.drift);
    if (o.temperatureText.empty())
        return true;
    char* end = nullptr;
    const double celsius = std::strtod(o.temperatureText.c_str(), &end);
    if (*end != '\0' || !(celsius >= -40.0 && celsius <= 85.0))
        error = "bad temperature '" + o.temperatureText + "' for --temperature (expected -40 to 85)";
    else if (o.pattern != Pattern::Flat)
        error = "--temperature needs --pattern flat";
    o.scene.flatCelsius = celsius;
    return error.empty();
}

// Splits "--name=value" into name and value; returns false for plain "--name".
bool splitInline(const std::string& arg, std::string& name, std::string& value)
{
    const auto eq = arg.find('=');
    if (eq == std::string::npos)
        return false;
    name = arg.substr(0, eq);
    value = arg.substr(eq + 1);
    return true;
}

class Parser {
public:
    Parser(int argc, char** argv, Options& out, std::string& error)
        : argc_(argc), argv_(argv), out_(out), error_(error) {}

    ParseOutcome run()
    {
        std::uint64_t seed = out_.seed;
        numbers_ = numberOptions(out_, seed);
        for (i_ = 1; i_ < argc_; ++i_) {
            const std::string arg = argv_[i_];
            if (arg == "--help" || arg == "-h")
                return ParseOutcome::Help;
            if (!one(arg))
                return ParseOutcome::Error;
        }
        out_.seed = static_cast<std::uint32_t>(seed);
        if (!plugText_.empty() && !parsePlugCycle(plugText_, out_.plug)) {
            fail("bad interval '" + plugText_ +
                 "' for --unplug-every (expected SECONDS[:PAUSE], e.g. 10 or 10:2.5)");
            return ParseOutcome::Error;
        }
        if (!patternText_.empty() && !parsePattern(patternText_, out_.pattern)) {
            fail("unknown pattern '" + patternText_ + "' for --pattern (scene, flat or gradient)");
            return ParseOutcome::Error;
        }
        if (!readScene(out_, error_))
            return ParseOutcome::Error;
        return checkCombination(out_, error_) ? ParseOutcome::Run : ParseOutcome::Error;
    }

private:
    bool one(const std::string& arg)
    {
        std::string name = arg, value;
        const bool hasInline = splitInline(arg, name, value);
        auto flags = flagOptions(out_);
        if (flags.count(name) && !hasInline) {
            *flags[name] = true;
            return true;
        }
        if (!flags.count(name) && (numbers_.count(name) || textOptions(out_, plugText_, patternText_).count(name)))
            return (hasInline || takeValue(name, value)) && store(name, value);
        return fail("unknown option '" + arg + "' (try --help)");
    }

    bool takeValue(const std::string& name, std::string& value)
    {
        if (i_ + 1 >= argc_)
            return fail("option " + name + " needs a value");
        value = argv_[++i_];
        return true;
    }

    bool store(const std::string& name, const std::string& value)
    {
        auto texts = textOptions(out_, plugText_, patternText_);
        if (texts.count(name)) {
            if (value.empty())
                return fail("option " + name + " needs a non-empty value");
            *texts[name] = value;
            return true;
        }
        const NumberOption& n = numbers_.at(name);
        std::uint64_t v = 0;
        if (!parseNumber(value, n.max, v) || v < n.min)
            return fail("bad number '" + value + "' for " + name + " (expected " +
                        std::to_string(n.min) + " to " + std::to_string(n.max) + ")");
        *n.target = v;
        return true;
    }

    bool fail(const std::string& message)
    {
        error_ = message;
        return false;
    }

    int argc_;
    char** argv_;
    Options& out_;
    std::string& error_;
    std::map<std::string, NumberOption> numbers_;
    std::string plugText_;  // --unplug-every as given, checked after the loop
    std::string patternText_;  // --pattern as given, likewise
    int i_ = 1;
};

} // namespace

ParseOutcome parseOptions(int argc, char** argv, Options& out, std::string& error)
{
    return Parser(argc, argv, out, error).run();
}

void printUsage(std::FILE* to)
{
    std::fputs(kUsage, to);
}
