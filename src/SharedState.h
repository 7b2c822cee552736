// What the serial link, the image pipeline and the command sender share:
// the device path capacity and the process-wide flags, beside the frame's
// geometry. Plain C++ on purpose, so that the serial link needs no window to
// build.
#ifndef SHAREDSTATE_H
#define SHAREDSTATE_H

#include "frame/Frame.h"

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
