#include "regions/RegionReadings.h"

namespace {

// The frame's summary and where its extremes lie, in one pass.
void ReadWholeFrame(const ShownFrame &frame, RegionReadings &readings)
{
    ReadingSummary &summary = readings.frame;
    summary.min = summary.max = summary.mean = frame.ReadingAt(0);
    double sum = 0;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const double value = frame.ReadingAt(i).value;
        if (value > summary.max.value) {
            summary.max.value = value;
            readings.hottest = i;
        }
        if (value < summary.min.value) {
            summary.min.value = value;
            readings.coldest = i;
        }
        sum += value;
    }
    summary.mean.value = sum / FRAME_PIXELS;
}

} // namespace

RegionReadings ReadRegions(const ShownFrame &frame, const RegionSet &set)
{
    RegionReadings readings;
    readings.unit = frame.Unit();
    ReadWholeFrame(frame, readings);
    for (QPoint spot : set.spots)
        readings.spots << frame.ReadingAt(spot.y() * FRAME_WIDTH + spot.x());
    for (const QRect &box : set.boxes)
        readings.boxes << frame.Summarize(box);
    return readings;
}
