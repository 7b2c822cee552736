#include "frame/ShownFrame.h"

#include <algorithm>

FrameFeed::FrameFeed(QObject *parent) : QObject(parent)
{
    // Watchers on other threads get the frame through the event queue.
    qRegisterMetaType<ShownFramePtr>("ShownFramePtr");
}

Reading ShownFrame::ReadingAt(int i) const
{
    if (celsius)
        return {double((*celsius)[i]), ReadingUnit::Celsius};
    return {double(Sample(i)), ReadingUnit::Counts};
}

ReadingSummary ShownFrame::Summarize(const QRect &area) const
{
    const QRect inside = area.intersected(QRect(0, 0, FRAME_WIDTH, FRAME_HEIGHT));
    ReadingSummary summary;
    summary.min.unit = summary.max.unit = summary.mean.unit = Unit();
    if (inside.isEmpty())
        return summary;
    double low = ReadingAt(inside.top() * FRAME_WIDTH + inside.left()).value;
    double high = low;
    double sum = 0;
    for (int row = inside.top(); row <= inside.bottom(); ++row) {
        for (int column = inside.left(); column <= inside.right(); ++column) {
            const double value = ReadingAt(row * FRAME_WIDTH + column).value;
            low = std::min(low, value);
            high = std::max(high, value);
            sum += value;
        }
    }
    summary.min.value = low;
    summary.max.value = high;
    summary.mean.value = sum / (inside.width() * inside.height());
    return summary;
}

QString Reading::Text() const
{
    if (unit == ReadingUnit::Celsius)
        return QStringLiteral("%1 \u00b0C").arg(value, 0, 'f', 1);
    return QString::number(qRound64(value));
}

QString UnitName(ReadingUnit unit)
{
    return unit == ReadingUnit::Celsius ? QStringLiteral("\u00b0C") : QStringLiteral("counts");
}
