// The regions and their alarms as frames are shown: reads every shown frame
// (in its unit), moves each alarm's state, says each change in one log line
// and in Transition, and marks every alarm unavailable once frames stop
// coming (Stop, an unplug), so that no stale state is kept. Runs on the GUI
// thread and needs no window: the overlay and the publishers watch it.
#ifndef REGIONS_REGIONMONITOR_H
#define REGIONS_REGIONMONITOR_H

#include "regions/Alarm.h"

#include <QObject>
#include <QVector>
#include <memory>

class QTimer;

struct AlarmSettings {
    QVector<AlarmRule> rules;
    double hysteresis = 1; // in the frame's unit
    int holdSeconds = 0;
};

// The regions and alarms the command line sets: --spot, --box, --regions,
// --alarm, --alarm-hysteresis, --alarm-hold.
struct RegionOptions {
    RegionSet regions;
    QString file; // --regions: where the regions changed on the screen are kept
    AlarmSettings alarms;
};

// An alarm as it stands, for the banner, the status and the publishers.
struct AlarmStatus {
    QString name;
    AlarmState state = AlarmState::Unavailable;
    Reading value;     // the last seen; meaningless while unavailable
    QString condition; // "max > 8000"
};

class RegionMonitor : public QObject
{
    Q_OBJECT

public:
    // Frames further apart than this mean none are shown any more.
    enum { FRAMES_LOST_MS = 2000 };

    RegionMonitor(const RegionSet &regions, const AlarmSettings &alarms, QObject *parent);
    ~RegionMonitor() override;

    // The display step's frame (FrameFeed::Shown).
    void FrameShown(const ShownFramePtr &frame);

    // The regions changed on the screen: kept in the file when one is given
    // (a failure is logged; the regions still change).
    void SetRegions(const RegionSet &changed);
    void KeepIn(std::unique_ptr<RegionsFile> file);
    const RegionSet &Regions() const { return regions; }

    // The last frame shown and its readings; null while none is shown.
    const ShownFramePtr &Shown() const { return shown; }
    const RegionReadings &Readings() const { return readings; }
    QVector<AlarmStatus> Alarms() const;
    QVector<AlarmRule> Rules() const;

signals:
    void Transition(const AlarmStatus &status);
    void Updated(); // new readings, or none any more

private:
    void FramesLost();
    void Tell(const AlarmTracker &tracker);

    RegionSet regions;
    std::unique_ptr<RegionsFile> file;
    QVector<AlarmTracker> trackers;
    ShownFramePtr shown;
    RegionReadings readings;
    QTimer *lostTimer;
};

#endif
