#include "view/Transform.h"

#include <algorithm>

namespace {

const int LAST_COLUMN = FRAME_WIDTH - 1;
const int LAST_ROW = FRAME_HEIGHT - 1;

} // namespace

QSize ViewTransform::ShownSize() const
{
    return Upright() ? QSize(FRAME_WIDTH, FRAME_HEIGHT) : QSize(FRAME_HEIGHT, FRAME_WIDTH);
}

QPoint ViewTransform::Shown(QPoint sensor) const
{
    const int x = mirror ? LAST_COLUMN - sensor.x() : sensor.x();
    const int y = sensor.y();
    switch (rotation) {
    case 90:
        return QPoint(LAST_ROW - y, x);
    case 180:
        return QPoint(LAST_COLUMN - x, LAST_ROW - y);
    case 270:
        return QPoint(y, LAST_COLUMN - x);
    default:
        return QPoint(x, y);
    }
}

QPoint ViewTransform::Sensor(QPoint shown) const
{
    const int u = shown.x();
    const int v = shown.y();
    QPoint turned;
    switch (rotation) {
    case 90:
        turned = QPoint(v, LAST_ROW - u);
        break;
    case 180:
        turned = QPoint(LAST_COLUMN - u, LAST_ROW - v);
        break;
    case 270:
        turned = QPoint(LAST_COLUMN - v, u);
        break;
    default:
        turned = shown;
    }
    return mirror ? QPoint(LAST_COLUMN - turned.x(), turned.y()) : turned;
}

bool ParseRotation(const QString &text, int &rotation, QString &error)
{
    for (int degrees : {0, 90, 180, 270}) {
        if (text == QString::number(degrees)) {
            rotation = degrees;
            return true;
        }
    }
    error = QStringLiteral("'%1' is not 0, 90, 180 or 270").arg(text);
    return false;
}

PictureGeometry::PictureGeometry(const ViewTransform &transform, QSize area)
    : transform(transform)
{
    const QSize shown = transform.ShownSize();
    scale = std::max(1, std::min(area.width() / shown.width(), area.height() / shown.height()));
    rect = QRect(QPoint(0, 0), shown * scale);
    rect.moveCenter(QRect(QPoint(0, 0), area).center());
}

bool PictureGeometry::SensorPixelAt(QPoint at, QPoint &pixel) const
{
    if (!rect.contains(at))
        return false;
    const QPoint offset = at - rect.topLeft();
    pixel = transform.Sensor(QPoint(offset.x() / scale, offset.y() / scale));
    return true;
}

QRect PictureGeometry::ScreenRect(QPoint sensor) const
{
    return QRect(rect.topLeft() + transform.Shown(sensor) * scale, QSize(scale, scale));
}
