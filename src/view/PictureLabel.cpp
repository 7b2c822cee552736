#include "view/PictureLabel.h"

#include <QLabel>
#include <QPixmap>

void ShowOnPictureArea(QLabel *area, const QPixmap &pixmap)
{
    const QSize drawn = pixmap.size() / pixmap.devicePixelRatio();
    const bool bCoversArea = drawn.width() >= area->width() && drawn.height() >= area->height();
    if (area->testAttribute(Qt::WA_OpaquePaintEvent) != bCoversArea)
        area->setAttribute(Qt::WA_OpaquePaintEvent, bCoversArea);
    area->setPixmap(pixmap);
}
