// A recording of the wire: every byte a receive step reads from the port,
// appended unchanged to a file, so that the simulator's --replay plays the
// session back at the desk. Plain C++ like the receiver that feeds it.
#ifndef RECORDING_H
#define RECORDING_H

#include <cstddef>
#include <string>

// Creates or truncates path and records into it from now on. On failure
// returns false with the system's reason in reason; nothing is recorded.
bool StartRecording(const char *path, std::string &reason);

// Appends what one receive step read. Buffered: it only reaches the file
// when the buffer is full, at FlushRecording and at StopRecording. The first
// write that fails logs one line and ends the recording; acquisition goes on.
void RecordBytes(const unsigned char *bytes, size_t count);

// Hands the buffered bytes to the file (once a second, so that little is
// lost if the viewer is killed).
void FlushRecording();

// Flushes and closes the file; the recording is complete from then on.
void StopRecording();

bool IsRecording();

#endif
