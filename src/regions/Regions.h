// The spots and boxes the operator watches, in the sensor's own columns and
// rows, and the file they are kept in across restarts. Needs no window.
#ifndef REGIONS_REGIONS_H
#define REGIONS_REGIONS_H

#include <QPoint>
#include <QRect>
#include <QString>
#include <QVector>

enum { MAX_SPOTS = 4, MAX_BOXES = 2 };

struct RegionSet {
    QVector<QPoint> spots;  // spot1 is spots[0]
    QVector<QRect> boxes;   // box1 is boxes[0]
    bool bExtremes = false; // the hottest and the coldest pixel marked

    bool operator==(const RegionSet &other) const
    {
        return spots == other.spots && boxes == other.boxes && bExtremes == other.bExtremes;
    }
    bool IsEmpty() const { return spots.isEmpty() && boxes.isEmpty(); }
};

// "COL,ROW" and "COL,ROW,COL,ROW" (two opposite corners, both inside), each
// within the sensor. On a bad text returns false with the reason in error.
bool ParseSpot(const QString &text, QPoint &spot, QString &error);
bool ParseBox(const QString &text, QRect &box, QString &error);
// Adds a region unless the set already holds as many as it may; false then.
bool AddSpot(RegionSet &set, const QPoint &spot);
bool AddBox(RegionSet &set, const QRect &box);

// The regions file: JSON, replaced atomically on every change, so that a
// power cut leaves the old set or the new one, never half of one.
class RegionsFile
{
public:
    explicit RegionsFile(const QString &path) : path(path) { }
    // False with the reason when the file exists but is not a region set;
    // a missing file is an empty set.
    bool Load(RegionSet &set, QString &error) const;
    bool Save(const RegionSet &set, QString &error) const;
    const QString &Path() const { return path; }

private:
    QString path;
};

#endif
