#include "regions/RegionMonitor.h"

#include <QDebug>
#include <QTimer>

namespace {

AlarmStatus StatusOf(const AlarmTracker &tracker)
{
    const AlarmRule &rule = tracker.Rule();
    return {
        rule.name, tracker.State(), tracker.Value(), rule.source + QLatin1Char(' ') + rule.ThresholdText()};
}

} // namespace

RegionMonitor::RegionMonitor(const RegionSet &regions, const AlarmSettings &alarms, QObject *parent)
    : QObject(parent), regions(regions), lostTimer(new QTimer(this))
{
    for (const AlarmRule &rule : alarms.rules)
        trackers << AlarmTracker(rule, alarms.hysteresis, alarms.holdSeconds * qint64(1000));
    lostTimer->setSingleShot(true);
    lostTimer->setInterval(FRAMES_LOST_MS);
    connect(lostTimer, &QTimer::timeout, this, &RegionMonitor::FramesLost);
}

RegionMonitor::~RegionMonitor() = default;

void RegionMonitor::FrameShown(const ShownFramePtr &frame)
{
    // The first frame after none also tells of the alarms it cannot judge
    // (degrees without a calibration), which stay as they were: unavailable.
    const bool bFirst = !shown;
    shown = frame;
    readings = ReadRegions(*frame, regions);
    for (AlarmTracker &tracker : trackers) {
        if (tracker.Observe(readings, frame->arrivedMsecs)
            || (bFirst && tracker.State() == AlarmState::Unavailable))
            Tell(tracker);
    }
    lostTimer->start();
    emit Updated();
}

void RegionMonitor::FramesLost()
{
    shown.reset();
    for (AlarmTracker &tracker : trackers) {
        if (tracker.LoseFrames())
            Tell(tracker);
    }
    emit Updated();
}

// One log line a change of state.
void RegionMonitor::Tell(const AlarmTracker &tracker)
{
    const AlarmStatus status = StatusOf(tracker);
    const QString why = status.state != AlarmState::Unavailable ? QStringLiteral("at ") + status.value.Text()
        : shown ? QStringLiteral("no such reading on this frame")
                : QStringLiteral("no frame shown");
    qDebug().noquote() << "Alarm" << status.name << AlarmStateName(status.state)
                       << "(" + status.condition + "):" << why;
    emit Transition(status);
}

void RegionMonitor::SetRegions(const RegionSet &changed)
{
    regions = changed;
    QString error;
    if (file && !file->Save(regions, error))
        qDebug().noquote() << "Regions not kept:" << error;
    if (shown)
        FrameShown(shown);
}

void RegionMonitor::KeepIn(std::unique_ptr<RegionsFile> regionsFile)
{
    file = std::move(regionsFile);
}

QVector<AlarmStatus> RegionMonitor::Alarms() const
{
    QVector<AlarmStatus> alarms;
    for (const AlarmTracker &tracker : trackers)
        alarms << StatusOf(tracker);
    return alarms;
}

QVector<AlarmRule> RegionMonitor::Rules() const
{
    QVector<AlarmRule> rules;
    for (const AlarmTracker &tracker : trackers)
        rules << tracker.Rule();
    return rules;
}
