#ifndef GUI_H
#define GUI_H

#include <QLoggingCategory>
#include <QSize>

// Size of the picture on screen: the 84 x 80 frame enlarged six times.
extern const QSize imgSize;

// "framescope.frames": a line per frame shown, off by default.
Q_DECLARE_LOGGING_CATEGORY(lcFrames)

#endif
