#include "port.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool addFlags(int fd, int getCmd, int setCmd, int flags)
{
    const int old = fcntl(fd, getCmd);
    return old >= 0 && fcntl(fd, setCmd, old | flags) == 0;
}

bool makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    cfsetispeed(&t, B921600);
    cfsetospeed(&t, B921600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

Port::~Port()
{
    close();
}

void Port::close()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
}

bool Port::open(std::string& error)
{
    close();
    char name[PATH_MAX] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        error = systemError("cannot open a pseudo-terminal");
        return false;
    }
    slavePath_ = name;
    const bool ok = makeRaw(slave_) &&
                    addFlags(master_, F_GETFL, F_SETFL, O_NONBLOCK) &&
                    addFlags(master_, F_GETFD, F_SETFD, FD_CLOEXEC) &&
                    addFlags(slave_, F_GETFD, F_SETFD, FD_CLOEXEC);
    if (!ok)
        error = systemError("cannot set up " + slavePath_);
    return ok;
}

int Port::pendingForReader() const
{
    int waiting = 0;
    return ioctl(slave_, FIONREAD, &waiting) == 0 ? waiting : 0;
}

PortLink::~PortLink()
{
    remove();
}

void PortLink::remove()
{
    if (path_.empty() || target_.empty())
        return;
    char buf[PATH_MAX] = {};
    const ssize_t n = readlink(path_.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && target_ == std::string(buf, static_cast<std::size_t>(n)))
        ::unlink(path_.c_str());
    target_.clear();
}

bool PortLink::create(const std::string& path, const std::string& target, std::string& error)
{
    if (symlink(target.c_str(), path.c_str()) != 0) {
        error = systemError("cannot create link " + path);
        return false;
    }
    path_ = path;
    target_ = target;
    return true;
}
