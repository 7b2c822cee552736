#include "Process_Serial.h"

#include <QDebug>
#include <cerrno>
#include <cstring>
#include <termios.h>
#include <unistd.h>

// Input processing a terminal program may have left on the line. Every one of
// them alters the binary frame stream: CR/NL translation turns a checksum byte
// 0x0D into 0x0A, ISTRIP clears bit 7 of every data byte, IGNCR/IGNPAR/IGNBRK
// drop bytes, PARMRK/BRKINT insert bytes or signals, IUCLC rewrites letters.
static const tcflag_t INPUT_PROCESSING = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP
                                         | INLCR | IGNCR | ICRNL | IUCLC;
// Software flow control would swallow 0x11/0x13 and stall the stream.
static const tcflag_t SOFTWARE_FLOW = IXON | IXOFF | IXANY;

static void MakeLineRaw(struct termios *tty, int parity)
{
    tty->c_cflag &= ~(PARENB | PARODD | CSIZE);
    tty->c_cflag |= CS8 | CREAD | CLOCAL;
    tty->c_cflag |= parity;
    tty->c_cflag &= ~(CSTOPB | CRTSCTS);
    tty->c_iflag &= ~(INPUT_PROCESSING | SOFTWARE_FLOW);
    tty->c_oflag = 0;
    tty->c_lflag = 0;
    // The port is opened O_NONBLOCK, so a read returns at once whatever these
    // say. They matter only to a program that clears O_NONBLOCK on the same
    // line (a terminal tool, a debugger session): its read then returns after
    // at most one second of silence instead of blocking for good.
    tty->c_cc[VMIN] = 0;
    tty->c_cc[VTIME] = 10;
}

// The failure's errno, taken before its log line, is left in errno for the
// caller: writing the line may change it.
static int Failed(int error)
{
    errno = error;
    return -1;
}

int set_interface_attribs(int *fd, int speed, int parity)
{
    struct termios tty;
    memset(&tty, 0, sizeof tty);
    if (tcgetattr(*fd, &tty) != 0) {
        const int error = errno;
        qDebug() << "Error" << error << "from tcgetattr";
        return Failed(error);
    }
    if (cfsetospeed(&tty, speed) != 0) {
        const int error = errno;
        qDebug() << "Output speed invalid";
        return Failed(error);
    }
    if (cfsetispeed(&tty, speed) != 0) {
        const int error = errno;
        qDebug() << "Input speed invalid";
        return Failed(error);
    }
    MakeLineRaw(&tty, parity);
    if (tcsetattr(*fd, TCSANOW, &tty) != 0) {
        const int error = errno;
        qDebug() << "Error" << error;
        return Failed(error);
    }
    return 0;
}

void CloseSerial(int *fd)
{
    close(*fd);
}
