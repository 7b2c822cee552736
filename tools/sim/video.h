// The raw samples of a viewer's video (its Matroska file's FFV1 track of
// 16-bit grey, 84 x 80), frame by frame with the time each was recorded at.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RecordedVideo {
public:
    RecordedVideo();
    ~RecordedVideo();
    // False, with a one-line reason, when the file holds no such track.
    bool open(const std::string& path, std::string& error);
    // The next frame's samples and its time since the first frame
    // (microseconds); false at the end of the file, or at the first part
    // that cannot be read (a file cut off by a kill ends there).
    bool next(std::vector<std::uint16_t>& samples, std::int64_t& micros);

private:
    struct Decoder;
    bool decodeOne(std::vector<std::uint16_t>& samples, std::int64_t& micros);
    std::unique_ptr<Decoder> d_;
};

// Whether the file starts as a Matroska (EBML) file does.
bool isMatroska(const std::string& path);
