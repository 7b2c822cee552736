#include "keep/PictureArea.h"

#include <QWidget>

QImage GrabPictureArea(QWidget *area)
{
    return area->grab().toImage();
}
