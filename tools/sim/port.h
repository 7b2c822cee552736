// The simulator's end of the serial line: a pseudo-terminal whose slave side
// the viewer opens like a USB serial adapter.
#pragma once

#include <string>

class Port {
public:
    Port() = default;
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Opens the pty: slave raw, master non-blocking. On failure returns false
    // and sets `error`. Opening again after close() gives a new pty.
    bool open(std::string& error);
    // Unplugs: both ends closed, whatever the reader has not taken is lost,
    // and a reader still holding the slave gets errors from then on.
    void close();

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    // Bytes waiting in the slave's input queue, not yet read by the viewer.
    int pendingForReader() const;

private:
    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees a hangup
    std::string slavePath_;
};

// A symlink to the pty (e.g. /dev/ttyUSB0), removed when this goes away if
// it still points at the pty.
class PortLink {
public:
    PortLink() = default;
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    bool create(const std::string& path, const std::string& target, std::string& error);
    // Removes the link if it still points at its pty; path() stays.
    void remove();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string target_;
};
