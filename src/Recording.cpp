#include "Recording.h"

#include <QDebug>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A few frames: a full buffer is written at most every 0.7 s at the link rate.
const size_t BUFFER_SIZE = 64 * 1024;

// Touched by the receive worker and by the GUI thread, never at once: the
// create/join pair of the receive step orders them, as it does the frame state.
struct Recorder {
    FILE *file = nullptr;
    std::string path;
};
Recorder recorder;

void Close()
{
    fclose(recorder.file); // its own flush may fail again; the line is already out
    recorder.file = nullptr;
}

// The first failure ends the recording; everything before it is in the file.
void Fail()
{
    qDebug() << "Recording to" << recorder.path.c_str() << "failed:" << strerror(errno)
             << "- recording stopped, acquisition goes on";
    Close();
}

} // namespace

bool StartRecording(const char *path, std::string &reason)
{
    StopRecording();
    // Non-blocking: a pipe or a FIFO nobody empties makes a write fail (and
    // the recording stop) instead of stalling the acquisition loop. A regular
    // file does not care.
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    FILE *file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (file == nullptr || setvbuf(file, nullptr, _IOFBF, BUFFER_SIZE) != 0) {
        reason = strerror(errno);
        if (file != nullptr)
            fclose(file);
        else if (fd >= 0)
            close(fd);
        return false;
    }
    recorder.file = file;
    recorder.path = path;
    return true;
}

void RecordBytes(const unsigned char *bytes, size_t count)
{
    if (recorder.file != nullptr && fwrite(bytes, 1, count, recorder.file) != count)
        Fail();
}

void FlushRecording()
{
    if (recorder.file != nullptr && fflush(recorder.file) != 0)
        Fail();
}

void StopRecording()
{
    FlushRecording();
    if (recorder.file != nullptr)
        Close();
}

bool IsRecording()
{
    return recorder.file != nullptr;
}
