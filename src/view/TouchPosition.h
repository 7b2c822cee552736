// Where a press or release landed on the widget, the same on Qt 5 and Qt 6.
#ifndef VIEW_TOUCHPOSITION_H
#define VIEW_TOUCHPOSITION_H

#include <QMouseEvent>
#include <QPoint>

inline QPoint PositionOf(const QMouseEvent *event)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->position().toPoint();
#else
    return event->pos();
#endif
}

#endif
