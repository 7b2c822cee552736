#include "Serial.h"

#include "Process_Serial.h"
#include "Recording.h"
#include "SharedState.h"

#include <QDebug>
#include <QString>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

unsigned int CKSUM_0 = 0;

namespace {

int iConnectError = 0; // errno of the last failed connection attempt
// Outside the frame state on purpose: the receiver never looks at them.
int iLastStepBytes = 0;
int iFrameBytesDue = 0;

const unsigned char START_MARKER = 0x02;
const unsigned char END_MARKER = 0x03;
const unsigned char ACKNOWLEDGE = 0x06;
const int CHECKSUM_LAST_BYTE = 4;     // checksum bytes are counted 0..4
const int TIMEOUT_STEPS = 1000000;    // empty steps in a row before "Timeout reading"
const int READ_SIZE = 8192;
const int CHECKSUM_BYTES = CHECKSUM_LAST_BYTE + 1;

// What the receiver remembers between steps, for the life of the process.
// Nothing resets it: stopping, unplugging or reconnecting leaves it as it is,
// and the next start marker brings it back into step with the sensor.
struct ReceiverState {
    int CptTimeout = 0;          // empty steps in a row, held at TIMEOUT_STEPS
    bool bCKSUM = false;         // from the end marker to the fifth checksum byte
    int indexPix = 0;            // where the next data byte goes
    bool bFrameUnderWay = false; // from a start marker to the fifth checksum byte
    int cptCheckSum = 0;         // checksum bytes taken so far
    unsigned int CKSUMRead0 = 0; // checksum being decoded
    // End markers seen, wrapping. Nothing in the program reads it: it is the
    // one count of frames attempted, kept for whoever inspects a running
    // viewer (debugger, core file) next to iErrorFrame and the frames shown.
    int FrameNumber = 0;
};

// Where one step delivers its results.
struct StepOutputs {
    unsigned char *frame1;
    unsigned char *frame2;
    unsigned int *cksumRead;
    unsigned int *cksumCalc;
};

// Counts an empty step without ever overflowing: the count stops at the
// threshold, which also keeps the line to once per silent period.
void CountEmptyStep(ReceiverState &s)
{
    if (s.CptTimeout >= TIMEOUT_STEPS)
        return;
    ++s.CptTimeout;
    if (s.CptTimeout == TIMEOUT_STEPS)
        qDebug() << "Timeout reading";
}

// The one place the store index wraps. A frame with more data bytes than the
// buffer holds (a lost end marker, a stray byte with bit 7 set) must not
// write past the buffer: it wraps and overwrites its own start, so the sum
// over the buffer no longer matches and the frame is rejected. The index may
// rest at RAW_FRAME_SIZE after a frame's last data byte; it is checked before
// every store and on every ignored control byte, so it is never used there.
void WrapIndex(ReceiverState &s)
{
    if (s.indexPix >= RAW_FRAME_SIZE)
        s.indexPix = 0;
}

void TakeDataByte(ReceiverState &s, const StepOutputs &out, unsigned char b)
{
    unsigned char *target = f_SwitchImage ? out.frame2 : out.frame1;
    const unsigned char group = b & 0x7F;
    target[s.indexPix++] = group;
    CKSUM_0 += group;
}

// The fifth byte finishes the frame: it becomes the consumers' buffer.
void FinishFrame(ReceiverState &s, const StepOutputs &out)
{
    *out.cksumRead = s.CKSUMRead0;
    f_FrameAcquired = true;
    f_SwitchImage = !f_SwitchImage;
    s.bCKSUM = false;
    s.bFrameUnderWay = false;
    f_ReadCheckSum = true;
}

// Checksum bytes carry 7-bit groups, least significant first; of the fifth
// only bits 0-3 survive the shift to bit 28.
void TakeChecksumByte(ReceiverState &s, const StepOutputs &out, unsigned char b)
{
    if (s.cptCheckSum == 0)
        s.CKSUMRead0 = b & 0x7Fu;
    else if (s.cptCheckSum < CHECKSUM_LAST_BYTE)
        s.CKSUMRead0 += (b & 0x7Fu) << (7 * s.cptCheckSum);
    else
        s.CKSUMRead0 += static_cast<unsigned int>(b) << 28;

    if (s.cptCheckSum < CHECKSUM_LAST_BYTE)
        ++s.cptCheckSum;
    else
        FinishFrame(s, out);
}

void TakeControlByte(ReceiverState &s, const StepOutputs &out, unsigned char b)
{
    switch (b) {
    case START_MARKER:
        s.indexPix = 0;
        CKSUM_0 = 0;
        s.cptCheckSum = 0;
        s.bFrameUnderWay = true;
        break;
    case END_MARKER:
        s.FrameNumber = s.FrameNumber == INT_MAX ? 0 : s.FrameNumber + 1;
        *out.cksumCalc = CKSUM_0;
        s.bCKSUM = true;
        break;
    case ACKNOWLEDGE:
        f_Acknowledge = true;
        qDebug() << "Acknowledge received";
        break;
    default:
        WrapIndex(s);
        break;
    }
}

void TakeByte(ReceiverState &s, const StepOutputs &out, unsigned char b)
{
    if (!(b & 0x80) && !s.bCKSUM) {
        TakeControlByte(s, out, b);
        return;
    }
    WrapIndex(s);
    if (s.bCKSUM)
        TakeChecksumByte(s, out, b);
    else
        TakeDataByte(s, out, b);
}

// Bytes the sensor has still to send before the frame under way is
// complete: data bytes, the end marker and the checksum; none between two
// frames. (A frame longer than the buffer wraps and looks younger than it
// is: the rest that trusts it is bounded anyway.)
int BytesStillDue(const ReceiverState &s)
{
    if (!s.bFrameUnderWay)
        return 0;
    if (s.bCKSUM)
        return CHECKSUM_BYTES - s.cptCheckSum;
    return RAW_FRAME_SIZE - s.indexPix + 1 + CHECKSUM_BYTES;
}

unsigned int SumFrame(const unsigned char *frame)
{
    unsigned int sum = 0;
    for (int i = 0; i < RAW_FRAME_SIZE; ++i)
        sum += frame[i];
    return sum;
}

// The descriptor number 0 means "no device" here. If the process was started
// with standard input closed, open() hands out 0: move the port off it.
int MoveOffZero(int fd)
{
    if (fd != 0)
        return fd;
    const int moved = fcntl(fd, F_DUPFD, 1);
    close(fd);
    return moved;
}

} // namespace

int ConnectToSerial_0(int *fd, char *path)
{
    if (path[0] == '\0')
        return SERIAL_EMPTY_PATH;
    qDebug() << "Connecting to" << path;
    if (*fd > 0)
        return SERIAL_ALREADY_OPEN;
    *fd = MoveOffZero(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (*fd < 0) {
        iConnectError = errno;
        return SERIAL_OPEN_FAILED;
    }
    if (set_interface_attribs(fd, B921600, 0) < 0) {
        iConnectError = errno;
        CloseSerial(fd);
        return SERIAL_CONFIG_FAILED;
    }
    return SERIAL_CONNECTED;
}

int LastConnectError()
{
    return iConnectError;
}

void ReadDataOnSerialPort(int *fd, unsigned char *frame1, unsigned char *frame2,
                          unsigned int *cksumRead, unsigned int *cksumCalc,
                          unsigned int *cksumBuffer)
{
    static ReceiverState state;
    iLastStepBytes = 0;
    if (*fd == 0)
        return;

    unsigned char bytes[READ_SIZE];
    const ssize_t n = read(*fd, bytes, sizeof bytes);
    iLastStepBytes = n > 0 ? static_cast<int>(n) : 0;
    if (n <= 0) {
        CountEmptyStep(state);
        return;
    }
    state.CptTimeout = 0;
    RecordBytes(bytes, static_cast<size_t>(n)); // as read, before any byte is judged
    const StepOutputs out = {frame1, frame2, cksumRead, cksumCalc};
    for (ssize_t i = 0; i < n; ++i)
        TakeByte(state, out, bytes[i]);
    iFrameBytesDue = BytesStillDue(state);

    if (f_FrameAcquired) {
        *cksumBuffer = SumFrame(f_SwitchImage ? frame1 : frame2);
        f_CalcCheckSum = true;
    }
}

int LastReceiveStepBytes()
{
    return iLastStepBytes;
}

int FrameBytesDue()
{
    return iFrameBytesDue;
}

void VerifyCheckSum_0(unsigned int calc, unsigned int received, unsigned int buffer)
{
    if (!f_FrameAcquired || !f_CalcCheckSum || !f_ReadCheckSum)
        return;
    if (calc == received && buffer == received) {
        f_FrameRdy = true;
    } else {
        qDebug() << "Serial 0 : Calc :" << QString::number(calc, 16) << " - Dif:"
                 << QString::number(buffer, 16) << " - Read :" << QString::number(received, 16);
        f_FrameRdy = false;
        if (iErrorFrame < INT_MAX)
            ++iErrorFrame;
    }
    f_ReadCheckSum = false;
    f_CalcCheckSum = false;
}
