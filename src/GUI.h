#ifndef GUI_H
#define GUI_H

#include <QSize>

// Size of the picture on screen: the 84 x 80 frame enlarged six times.
extern const QSize imgSize;

#endif
