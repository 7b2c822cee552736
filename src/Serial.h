#ifndef SERIAL_H
#define SERIAL_H

// Running sum of the 7-bit groups of the data bytes since the last start marker.
extern unsigned int CKSUM_0;

// Result codes of ConnectToSerial_0.
enum {
    SERIAL_CONNECTED = 0,
    SERIAL_ALREADY_OPEN = -1,
    SERIAL_OPEN_FAILED = -2,
    SERIAL_CONFIG_FAILED = -3,
    SERIAL_EMPTY_PATH = -4
};

// Opens path non-blocking and configures it for the sensor link; the new
// descriptor is left in *fd. Returns one of the codes above.
int ConnectToSerial_0(int *fd, char *path);

// The errno of the last attempt that failed to open or to configure the
// port, taken where that step failed.
int LastConnectError();

// One receive step: a single non-blocking read fed through the frame state
// machine. frame1/frame2 are the two raw frame buffers.
void ReadDataOnSerialPort(int *fd, unsigned char *frame1, unsigned char *frame2,
                          unsigned int *cksumRead, unsigned int *cksumCalc,
                          unsigned int *cksumBuffer);

// Bytes the last receive step's read delivered, 0 when none or no port is
// open. Set on the receive worker, read after its join.
int LastReceiveStepBytes();

// Bytes the frame under way still lacks after the last receive step that
// read any, 0 between frames. Set on the receive worker, read after its join.
int FrameBytesDue();

// Accepts the last completed frame (f_FrameRdy) when the three sums agree.
void VerifyCheckSum_0(unsigned int calc, unsigned int received, unsigned int buffer);

#endif
