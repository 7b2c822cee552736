// What the serial link, the image pipeline and the command sender share:
// the frame geometry, the device path capacity and the process-wide flags.
// Plain C++ on purpose, so that the serial link needs no window to build.
#ifndef SHAREDSTATE_H
#define SHAREDSTATE_H

// Sensor frame geometry: 84 x 80 samples of 14 bits, each sent as two 7-bit groups.
enum {
    FRAME_WIDTH = 84,
    FRAME_HEIGHT = 80,
    FRAME_PIXELS = FRAME_WIDTH * FRAME_HEIGHT,
    RAW_FRAME_SIZE = 2 * FRAME_PIXELS
};

// Capacity of the device path buffer, NUL included. Stable names of adapters
// (/dev/serial/by-id/usb-<maker>_<product>_<serial>-if00-port0) often run past
// 63 characters; 255 holds them with room to spare.
enum { PORT_NAME_SIZE = 256 };

// Flags shared by the receiver, the verification, the image pipeline and the
// command sender; the create/join pairs of the acquisition cycle order all
// access. Defined in SharedState.cpp.
extern bool f_FrameAcquired;
extern bool f_ReadCheckSum;
extern bool f_CalcCheckSum;
extern bool f_FrameRdy;
extern bool f_SwitchImage;
extern bool f_Acknowledge;
extern int iErrorFrame; // bad frames since frames were last shown; -1: not counting

#endif
