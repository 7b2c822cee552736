// libFuzzer target for the frame receiver: arbitrary bytes, cut into
// arbitrary pieces, go through the program's own receive step from a pipe,
// the way the acquisition cycle drives it (receive, verify, consume). After
// every step the results are held against a model of the byte rule written
// here from the protocol's description, independently of the receiver's
// code: the same two buffers, the same checksum values, flags and counters,
// the same log lines. The buffers are exact-size heap blocks, so any write
// past them is caught by AddressSanitizer.
//
// Input layout (FuzzedDataProvider): the stream is taken from the front, the
// piece sizes (0 to 8192; 0 is a step that finds nothing waiting) from the
// back.

#include "Serial.h"
#include "SharedState.h"

#include <QString>
#include <QtGlobal>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDataBytes = 84 * 80 * 2;
constexpr std::size_t kMaxRead = 8192;

// ---- The model ------------------------------------------------------------
//
// Bytes with bit 7 set are pixel data (their low 7 bits are stored and
// summed); 0x02 starts a frame, 0x03 ends its data and is followed by five
// checksum bytes (7 bits each, least significant first, of the fifth only 4
// bits count), during which every byte is a checksum byte; 0x06 elsewhere is
// an acknowledgement; other bytes with bit 7 clear are dropped. The index
// into the buffer wraps to 0 at the end of the buffer, checked before every
// store and on every dropped byte. The fifth checksum byte completes the
// frame and swaps the buffers; after a step, a completed frame's buffer is
// summed whole. Verification accepts it only if the sum as received, the
// checksum sent and the buffer sum agree.
struct Model {
    std::vector<std::uint8_t> frame[2] = {std::vector<std::uint8_t>(kDataBytes),
                                          std::vector<std::uint8_t>(kDataBytes)};
    bool checksumPhase = false;
    int index = 0;
    std::uint32_t runningSum = 0;
    int checksumTaken = 0;
    std::uint32_t checksumDecoded = 0;

    bool acquired = false, readDone = false, bufferSummed = false, ready = false;
    bool swapped = false, acknowledged = true;
    int badFrames = -1;
    std::uint32_t received = 0, calculated = 0, bufferSum = 0;
    std::vector<std::string> log;

    std::vector<std::uint8_t>& filling() { return frame[swapped ? 1 : 0]; }
    std::vector<std::uint8_t>& finished() { return frame[swapped ? 0 : 1]; }

    void checksumByte(std::uint8_t b)
    {
        const std::uint32_t group = b & 0x7Fu;
        switch (checksumTaken) {
        case 0: checksumDecoded = group; break;
        case 1: checksumDecoded += group << 7; break;
        case 2: checksumDecoded += group << 14; break;
        case 3: checksumDecoded += group << 21; break;
        default:
            checksumDecoded += static_cast<std::uint32_t>(b) << 28;
            received = checksumDecoded;
            acquired = true;
            swapped = !swapped;
            checksumPhase = false;
            readDone = true;
            return;  // the count stays at the fifth byte until a start marker
        }
        ++checksumTaken;
    }

    void controlByte(std::uint8_t b)
    {
        if (b == 0x02) {
            index = 0;
            runningSum = 0;
            checksumTaken = 0;
        } else if (b == 0x03) {
            calculated = runningSum;
            checksumPhase = true;
        } else if (b == 0x06) {
            acknowledged = true;
            log.push_back("Acknowledge received");
        } else if (index >= kDataBytes) {
            index = 0;
        }
    }

    void byte(std::uint8_t b)
    {
        if (!(b & 0x80) && !checksumPhase) {
            controlByte(b);
            return;
        }
        if (index >= kDataBytes)
            index = 0;
        if (checksumPhase) {
            checksumByte(b);
        } else {
            filling()[index++] = b & 0x7F;
            runningSum += b & 0x7F;
        }
    }

    void step(const std::vector<std::uint8_t>& bytes)
    {
        for (std::uint8_t b : bytes)
            byte(b);
        if (bytes.empty() || !acquired)
            return;
        bufferSum = 0;
        for (std::uint8_t v : finished())
            bufferSum += v;
        bufferSummed = true;
    }

    void verify()
    {
        if (!acquired || !bufferSummed || !readDone)
            return;
        ready = calculated == received && bufferSum == received;
        if (!ready) {
            char line[128];
            std::snprintf(line, sizeof line,
                          "Serial 0 : Calc : \"%x\"  - Dif: \"%x\"  - Read : \"%x\"", calculated,
                          bufferSum, received);
            log.push_back(line);
            ++badFrames;
        }
        readDone = bufferSummed = false;
    }
};

// ---- The program's side ---------------------------------------------------

std::vector<std::string> programLog;

void keepMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    programLog.push_back(message.toStdString());
}

struct Line {
    int readFd = -1;
    int writeFd = -1;
};

Line line;

[[noreturn]] void fail(const char* what, std::size_t step)
{
    std::fprintf(stderr, "receiver and model disagree after step %zu: %s\n", step, what);
    std::abort();
}

struct Buffers {
    Buffers() : one(new unsigned char[kDataBytes]()), two(new unsigned char[kDataBytes]()) {}
    ~Buffers()
    {
        delete[] one;
        delete[] two;
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    unsigned char* one;
    unsigned char* two;
    unsigned int received = 0, calculated = 0, bufferSum = 0;
};

void programStep(Buffers& b, const std::vector<std::uint8_t>& bytes)
{
    if (!bytes.empty() &&
        write(line.writeFd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    ReadDataOnSerialPort(&line.readFd, b.one, b.two, &b.received, &b.calculated, &b.bufferSum);
}

// Whatever earlier inputs left in the receiver's state: five bytes end any
// checksum (or are harmless data), a start marker then begins a frame. The
// shared state is then put back to its values at program start.
void resynchronise(Buffers& b)
{
    programStep(b, {0x80, 0x80, 0x80, 0x80, 0x80, 0x02});
    std::memset(b.one, 0, kDataBytes);
    std::memset(b.two, 0, kDataBytes);
    b.received = b.calculated = b.bufferSum = 0;
    f_FrameAcquired = f_ReadCheckSum = f_CalcCheckSum = f_FrameRdy = f_SwitchImage = false;
    f_Acknowledge = true;
    iErrorFrame = -1;
    CKSUM_0 = 0;
    programLog.clear();
}

void compare(const Model& m, const Buffers& b, std::size_t step)
{
    if (std::memcmp(b.one, m.frame[0].data(), kDataBytes) != 0)
        fail("first buffer", step);
    if (std::memcmp(b.two, m.frame[1].data(), kDataBytes) != 0)
        fail("second buffer", step);
    if (CKSUM_0 != m.runningSum)
        fail("running sum", step);
    if (b.received != m.received || b.calculated != m.calculated || b.bufferSum != m.bufferSum)
        fail("checksum values", step);
    if (f_FrameAcquired != m.acquired || f_ReadCheckSum != m.readDone ||
        f_CalcCheckSum != m.bufferSummed || f_SwitchImage != m.swapped ||
        f_Acknowledge != m.acknowledged)
        fail("receiver flags", step);
    if (f_FrameRdy != m.ready || iErrorFrame != m.badFrames)
        fail("verification", step);
    if (programLog != m.log)
        fail("log lines", step);
}

// What the rest of the cycle does to the shared state once the frame is
// judged: the display takes a ready frame, the loop clears the acquired flag,
// a command sender would take the acknowledgement.
void endCycle(Model& m)
{
    f_FrameRdy = m.ready = false;
    f_FrameAcquired = m.acquired = false;
    f_Acknowledge = m.acknowledged = false;
    programLog.clear();
    m.log.clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0)
        std::abort();
    // Descriptor 0 means "no port" to the receiver.
    line.readFd = fds[0] == 0 ? fcntl(fds[0], F_DUPFD, 3) : fds[0];
    line.writeFd = fds[1];
    qInstallMessageHandler(keepMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    Buffers buffers;
    Model model;
    resynchronise(buffers);
    for (std::size_t step = 1; input.remaining_bytes() > 0; ++step) {
        const std::size_t piece = input.ConsumeIntegralInRange<std::size_t>(0, kMaxRead);
        const std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(piece);
        programStep(buffers, bytes);
        model.step(bytes);
        VerifyCheckSum_0(buffers.calculated, buffers.received, buffers.bufferSum);
        model.verify();
        compare(model, buffers, step);
        endCycle(model);
    }
    return 0;
}
