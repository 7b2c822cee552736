#include "frame.h"

namespace {

// Bytes sent after the checksum by --stray: bit 7 clear, none of them a
// marker or an acknowledgement.
const std::uint8_t kStrayBytes[] = {0x00, 0x11, 0x55, 0x7F};

bool hits(std::uint64_t frameNumber, std::uint64_t period)
{
    return period != 0 && frameNumber % period == 0;
}

void appendData(std::vector<std::uint8_t>& out, const std::vector<std::uint16_t>& samples,
                bool ackInData)
{
    for (std::size_t k = 0; k < samples.size(); ++k) {
        if (ackInData && 2 * k == kDataBytes / 2)
            out.push_back(kAck);
        out.push_back(static_cast<std::uint8_t>(0x80 | ((samples[k] >> 7) & 0x7F)));
        out.push_back(static_cast<std::uint8_t>(0x80 | (samples[k] & 0x7F)));
    }
}

std::uint32_t groupSum(const std::vector<std::uint8_t>& bytes)
{
    std::uint32_t sum = 0;
    for (std::uint8_t b : bytes)
        if (b & 0x80)
            sum += b & 0x7F;
    return sum;
}

void appendChecksum(std::vector<std::uint8_t>& out, std::uint32_t sum)
{
    for (int i = 0; i < kChecksumBytes; ++i)
        out.push_back(static_cast<std::uint8_t>((sum >> (7 * i)) & 0x7F));
}

} // namespace

FrameFaults faultsFor(std::uint64_t frameNumber, const FaultPeriods& p)
{
    FrameFaults f;
    f.badChecksum = hits(frameNumber, p.badChecksum);
    f.loseStart = hits(frameNumber, p.loseStart);
    f.loseEnd = hits(frameNumber, p.loseEnd);
    f.extraByte = hits(frameNumber, p.extraByte);
    f.ackInData = hits(frameNumber, p.ackInData);
    f.stray = hits(frameNumber, p.stray);
    return f;
}

Verdict verdictOf(const FrameFaults& f)
{
    if (f.loseEnd)
        return Verdict::Incomplete;
    if (f.badChecksum || f.loseStart || f.extraByte)
        return Verdict::Bad;
    return Verdict::Good;
}

std::string faultNames(const FrameFaults& f)
{
    std::string text;
    const std::pair<bool, const char*> names[] = {
        {f.badChecksum, "bad-checksum"}, {f.loseStart, "lose-start"},
        {f.loseEnd, "lose-end"},         {f.extraByte, "extra-byte"},
        {f.ackInData, "ack-in-data"},    {f.stray, "stray"}};
    for (const auto& [on, name] : names)
        if (on)
            text += (text.empty() ? "" : " ") + std::string(name);
    return text;
}

std::string describe(const FrameFaults& f)
{
    const std::string names = faultNames(f);
    if (verdictOf(f) != Verdict::Good)
        return names;
    return names.empty() ? "good" : "good " + names;
}

std::vector<std::uint8_t> encodeFrame(const std::vector<std::uint16_t>& samples,
                                      const FrameFaults& f, FrameLayout* layout)
{
    std::vector<std::uint8_t> out;
    out.reserve(kFrameBytes + 8);
    if (!f.loseStart)
        out.push_back(kStartMarker);
    appendData(out, samples, f.ackInData);
    // The extra data byte repeats the last one; the checksum covers it too.
    if (f.extraByte)
        out.push_back(out.back());
    const std::uint32_t sum = groupSum(out) + (f.badChecksum ? 1u : 0u);

    if (!f.loseEnd)
        out.push_back(kEndMarker);
    appendChecksum(out, sum);
    if (layout)
        *layout = {sum, out.size() - 1};
    if (f.stray)
        out.insert(out.end(), std::begin(kStrayBytes), std::end(kStrayBytes));
    return out;
}
