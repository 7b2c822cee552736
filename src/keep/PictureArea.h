// The picture area as the operator sees it, for a snapshot and the web
// server alike.
#ifndef KEEP_PICTUREAREA_H
#define KEEP_PICTUREAREA_H

#include <QImage>

class QWidget;

// What the picture area shows, at its size on the screen: the widget and
// everything drawn on it, not the window's widgets that lie over it.
QImage GrabPictureArea(QWidget *area);

#endif
