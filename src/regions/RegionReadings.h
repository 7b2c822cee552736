// What the regions read on one shown frame: the frame's minimum, maximum
// and mean with its hottest and coldest pixel, each spot and each box, all
// in the frame's unit (counts, or degrees once a calibration gives them).
#ifndef REGIONS_REGIONREADINGS_H
#define REGIONS_REGIONREADINGS_H

#include "frame/ShownFrame.h"
#include "regions/Regions.h"

#include <QVector>

struct RegionReadings {
    ReadingUnit unit = ReadingUnit::Counts;
    ReadingSummary frame;
    int hottest = 0; // pixel index (row * FRAME_WIDTH + column)
    int coldest = 0;
    QVector<Reading> spots;        // as the set's spots
    QVector<ReadingSummary> boxes; // as the set's boxes
};

RegionReadings ReadRegions(const ShownFrame &frame, const RegionSet &set);

#endif
