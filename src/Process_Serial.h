#ifndef PROCESS_SERIAL_H
#define PROCESS_SERIAL_H

// Applies the sensor link's line settings (raw, 8N1, no flow control) to the
// open descriptor *fd. speed is a termios speed constant (B921600), parity
// holds c_cflag bits to OR in. Returns 0 when applied, -1 otherwise.
int set_interface_attribs(int *fd, int speed, int parity);

// Closes *fd. *fd keeps its value: the caller decides what it means now.
void CloseSerial(int *fd);

#endif
