// Threshold alarms over the regions' readings: what --alarm says, and the
// state each alarm is in, with the hysteresis and the hold that keep one
// noisy frame from toggling it. Needs no window.
#ifndef REGIONS_ALARM_H
#define REGIONS_ALARM_H

#include "regions/RegionReadings.h"

#include <QString>

enum class Statistic { Min, Max, Mean, Value };

// NAME:SOURCE>VALUE or NAME:SOURCE<VALUE (NAME defaults to SOURCE); SOURCE
// is max, min or mean of the frame, spotN, or boxN.max|min|mean; a VALUE
// ending in C is in degrees and is compared only while frames are in degrees.
struct AlarmRule {
    QString name;
    QString source; // as given: "box1.mean"
    Statistic statistic = Statistic::Max;
    int spot = -1; // index into the spots, or -1
    int box = -1;  // index into the boxes, or -1
    bool bAbove = true;
    double threshold = 0;
    bool bDegrees = false;

    // The value the rule watches on a frame's readings; false when the
    // frame cannot give it (the region is gone, degrees without a calibration).
    bool ValueOf(const RegionReadings &readings, Reading &value) const;
    // The pixels the rule looks at: the whole frame, a box or a spot.
    QRect Area(const RegionSet &set) const;
    // Whether a value lies past the threshold, and past it by the hysteresis on the way back.
    bool Past(double value) const { return bAbove ? value > threshold : value < threshold; }
    bool Back(double value, double hysteresis) const
    {
        return bAbove ? value < threshold - hysteresis : value > threshold + hysteresis;
    }
    QString ThresholdText() const;
};

// On a bad text returns false with the reason in error.
bool ParseAlarm(const QString &text, AlarmRule &rule, QString &error);

enum class AlarmState { Unavailable, Cleared, Raised };
// "unavailable", "cleared", "raised": as the log, /status.json and MQTT say it.
QString AlarmStateName(AlarmState state);

// One alarm's state through the frames it sees.
class AlarmTracker
{
public:
    AlarmTracker(const AlarmRule &rule, double hysteresis, qint64 holdMsecs)
        : rule(rule), hysteresis(hysteresis), holdMsecs(holdMsecs)
    {
    }
    // A frame's readings, shown at atMsecs; true when the state changed.
    bool Observe(const RegionReadings &readings, qint64 atMsecs);
    // No frame is shown any more; true when the state changed.
    bool LoseFrames()
    {
        pastSince = -1;
        return Become(AlarmState::Unavailable);
    }

    const AlarmRule &Rule() const { return rule; }
    AlarmState State() const { return state; }
    const Reading &Value() const { return value; } // the last one seen

private:
    bool Become(AlarmState next);

    AlarmRule rule;
    double hysteresis;
    qint64 holdMsecs;
    AlarmState state = AlarmState::Unavailable;
    Reading value;
    qint64 pastSince = -1; // when the value went past the threshold; -1: it is not
};

#endif
