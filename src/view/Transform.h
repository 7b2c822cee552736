// Rotation and mirroring of the picture, for a sensor mounted sideways or
// seen behind a mirror, and where the turned picture lies on the screen.
#ifndef VIEW_TRANSFORM_H
#define VIEW_TRANSFORM_H

#include "frame/Frame.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

// The picture area on the screen: the frame six times enlarged.
inline QSize PictureSize()
{
    return QSize(PICTURE_WIDTH, PICTURE_HEIGHT);
}

// The sensor picture mirrored left to right (when asked), then turned
// clockwise. Points are pixels: (column, row).
struct ViewTransform {
    int rotation = 0;    // 0, 90, 180 or 270 degrees, clockwise
    bool mirror = false; // left and right swapped, before turning

    bool IsIdentity() const { return rotation == 0 && !mirror; }
    bool Upright() const { return rotation == 0 || rotation == 180; }
    // The turned picture's size in sensor pixels: 84 x 80 or 80 x 84.
    QSize ShownSize() const;
    // Where a sensor pixel lies in the turned picture, and back.
    QPoint Shown(QPoint sensor) const;
    QPoint Sensor(QPoint shown) const;
};

// Reads "0", "90", "180" or "270". On a bad text returns false with the
// reason in error.
bool ParseRotation(const QString &text, int &rotation, QString &error);

// The turned picture in an area of the screen: the largest whole enlargement
// that fits, centred (84 x 80 x 6 fills 504 x 480; 80 x 84 x 5 is 400 x 420).
class PictureGeometry
{
public:
    PictureGeometry(const ViewTransform &transform, QSize area);
    QRect Rect() const { return rect; }
    int Scale() const { return scale; }
    // The sensor pixel under a point of the area; false off the picture.
    bool SensorPixelAt(QPoint at, QPoint &pixel) const;
    // The block of the area that shows a sensor pixel.
    QRect ScreenRect(QPoint sensor) const;

private:
    ViewTransform transform;
    int scale;
    QRect rect;
};

#endif
