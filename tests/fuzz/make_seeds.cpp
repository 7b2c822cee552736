// Writes the receiver fuzzer's seed corpus into the directory given: streams
// the simulator's own encoder makes, one per kind of fault (frames 1 and 3
// clean, frame 2 spoilt), one with every fault at once and one clean. Each
// ends in a few bytes that the fuzz target reads as piece sizes.
#include "frame.h"
#include "scene.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kFrames = 3;
constexpr int kPieceSizeBytes = 32;

std::vector<std::uint8_t> stream(const FaultPeriods& faults)
{
    Scene scene(1);
    std::vector<std::uint8_t> bytes;
    for (int n = 1; n <= kFrames; ++n) {
        const std::vector<std::uint8_t> frame =
            encodeFrame(scene.frame(static_cast<std::uint64_t>(n)), faultsFor(static_cast<std::uint64_t>(n), faults));
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    std::mt19937 pieces(static_cast<std::uint32_t>(bytes.size()));
    for (int i = 0; i < kPieceSizeBytes; ++i)
        bytes.push_back(static_cast<std::uint8_t>(pieces()));
    return bytes;
}

bool write(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::pair<std::string, FaultPeriods>> seeds(8);
    seeds[0].first = "clean";
    seeds[1].first = "bad-checksum", seeds[1].second.badChecksum = 2;
    seeds[2].first = "lose-start", seeds[2].second.loseStart = 2;
    seeds[3].first = "lose-end", seeds[3].second.loseEnd = 2;
    seeds[4].first = "extra-byte", seeds[4].second.extraByte = 2;
    seeds[5].first = "ack-in-data", seeds[5].second.ackInData = 2;
    seeds[6].first = "stray", seeds[6].second.stray = 2;
    seeds[7].first = "every-fault";
    seeds[7].second = {2, 2, 2, 2, 2, 2};
    for (const auto& [name, faults] : seeds) {
        if (!write(dir + "/" + name, stream(faults))) {
            std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}
