// The one definition of the process-wide flags of SharedState.h, with their
// values at program start: the viewer, the tests and the receiver's fuzz
// target all link this file.
#include "SharedState.h"

bool f_FrameAcquired = false;
bool f_ReadCheckSum = false;
bool f_CalcCheckSum = false;
bool f_FrameRdy = false;
bool f_SwitchImage = false;
bool f_Acknowledge = true; // no command is in flight before the first one
int iErrorFrame = -1;
