#include "regions/Alarm.h"

#include <QRegularExpression>

namespace {

Statistic StatisticNamed(const QString &name)
{
    if (name == QLatin1String("min"))
        return Statistic::Min;
    if (name == QLatin1String("mean"))
        return Statistic::Mean;
    return Statistic::Max;
}

const Reading &Pick(const ReadingSummary &summary, Statistic statistic)
{
    return statistic == Statistic::Min ? summary.min
        : statistic == Statistic::Mean ? summary.mean
                                       : summary.max;
}

// SOURCE alone: max, min, mean, spotN or boxN.STATISTIC.
bool ParseSource(const QString &source, AlarmRule &rule)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:(max|min|mean)|spot([1-4])|box([12])\\.(max|min|mean))$"));
    const QRegularExpressionMatch match = form.match(source);
    if (!match.hasMatch())
        return false;
    rule.source = source;
    if (!match.captured(2).isEmpty()) {
        rule.spot = match.captured(2).toInt() - 1;
        rule.statistic = Statistic::Value;
    } else if (!match.captured(3).isEmpty()) {
        rule.box = match.captured(3).toInt() - 1;
        rule.statistic = StatisticNamed(match.captured(4));
    } else {
        rule.statistic = StatisticNamed(match.captured(1));
    }
    return true;
}

} // namespace

bool AlarmRule::ValueOf(const RegionReadings &readings, Reading &reading) const
{
    if (bDegrees && readings.unit != ReadingUnit::Celsius)
        return false;
    if (spot >= 0) {
        if (spot >= readings.spots.size())
            return false;
        reading = readings.spots[spot];
    } else if (box >= 0) {
        if (box >= readings.boxes.size())
            return false;
        reading = Pick(readings.boxes[box], statistic);
    } else {
        reading = Pick(readings.frame, statistic);
    }
    return true;
}

QRect AlarmRule::Area(const RegionSet &set) const
{
    if (spot >= 0)
        return spot < set.spots.size() ? QRect(set.spots[spot], QSize(1, 1)) : QRect();
    if (box >= 0)
        return box < set.boxes.size() ? set.boxes[box] : QRect();
    return QRect(0, 0, FRAME_WIDTH, FRAME_HEIGHT);
}

QString AlarmRule::ThresholdText() const
{
    return QStringLiteral("%1 %2%3")
        .arg(bAbove ? '>' : '<')
        .arg(threshold)
        .arg(bDegrees ? QStringLiteral(" \u00b0C") : QString());
}

bool ParseAlarm(const QString &text, AlarmRule &rule, QString &error)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:([A-Za-z0-9_-]+):)?([a-z0-9.]+)([<>])(-?[0-9]+(?:\\.[0-9]+)?)(C?)$"));
    const QRegularExpressionMatch match = form.match(text);
    AlarmRule read;
    if (!match.hasMatch() || !ParseSource(match.captured(2), read)) {
        error = QStringLiteral("'%1' is not [NAME:]SOURCE>VALUE or [NAME:]SOURCE<VALUE, SOURCE one of max, "
                               "min, mean, spot1..spot4, box1.max|min|mean, box2.max|min|mean")
                    .arg(text);
        return false;
    }
    read.name = match.captured(1).isEmpty() ? read.source : match.captured(1);
    read.bAbove = match.captured(3) == QLatin1String(">");
    read.threshold = match.captured(4).toDouble();
    read.bDegrees = !match.captured(5).isEmpty();
    rule = read;
    return true;
}

QString AlarmStateName(AlarmState state)
{
    switch (state) {
    case AlarmState::Raised:
        return QStringLiteral("raised");
    case AlarmState::Cleared:
        return QStringLiteral("cleared");
    case AlarmState::Unavailable:
        break;
    }
    return QStringLiteral("unavailable");
}

bool AlarmTracker::Observe(const RegionReadings &readings, qint64 atMsecs)
{
    if (!rule.ValueOf(readings, value)) {
        pastSince = -1;
        return Become(AlarmState::Unavailable);
    }
    if (state == AlarmState::Raised)
        return rule.Back(value.value, hysteresis) && Become(AlarmState::Cleared);
    if (!rule.Past(value.value)) {
        pastSince = -1;
        return Become(AlarmState::Cleared);
    }
    if (pastSince < 0)
        pastSince = atMsecs;
    return atMsecs - pastSince >= holdMsecs ? Become(AlarmState::Raised) : Become(AlarmState::Cleared);
}

bool AlarmTracker::Become(AlarmState next)
{
    if (next == state)
        return false;
    if (state == AlarmState::Raised)
        pastSince = -1; // the next rise is held again from its start
    state = next;
    return true;
}
