#include "regions/Regions.h"

#include "frame/Frame.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringList>

namespace {

const QRect SENSOR(0, 0, FRAME_WIDTH, FRAME_HEIGHT);

// count whole numbers separated by commas.
bool ParseNumbers(const QString &text, int count, QVector<int> &numbers)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != count)
        return false;
    for (const QString &part : parts) {
        bool bNumber = false;
        numbers << part.trimmed().toInt(&bNumber);
        if (!bNumber)
            return false;
    }
    return true;
}

QString Outside(const QString &text)
{
    return QStringLiteral("'%1' lies outside the sensor's %2 columns and %3 rows (0,0 to %4,%5)")
        .arg(text)
        .arg(FRAME_WIDTH)
        .arg(FRAME_HEIGHT)
        .arg(FRAME_WIDTH - 1)
        .arg(FRAME_HEIGHT - 1);
}

// A list of whole numbers inside the sensor, as the file holds a region.
bool NumbersOf(const QJsonValue &value, int count, QVector<int> &numbers)
{
    const QJsonArray array = value.toArray();
    if (array.size() != count)
        return false;
    for (const QJsonValue &number : array) {
        if (!number.isDouble() || number.toDouble() != number.toInt())
            return false;
        numbers << number.toInt();
    }
    return true;
}

bool ReadRegions(const QJsonObject &json, RegionSet &set)
{
    for (const QJsonValue &value : json.value(QStringLiteral("spots")).toArray()) {
        QVector<int> n;
        if (!NumbersOf(value, 2, n) || !SENSOR.contains(n[0], n[1]) || !AddSpot(set, QPoint(n[0], n[1])))
            return false;
    }
    for (const QJsonValue &value : json.value(QStringLiteral("boxes")).toArray()) {
        QVector<int> n;
        if (!NumbersOf(value, 4, n)
            || !AddBox(set, QRect(QPoint(n[0], n[1]), QPoint(n[2], n[3])).normalized()))
            return false;
    }
    set.bExtremes = json.value(QStringLiteral("extremes")).toBool();
    return true;
}

} // namespace

bool ParseSpot(const QString &text, QPoint &spot, QString &error)
{
    QVector<int> n;
    if (!ParseNumbers(text, 2, n))
        error = QStringLiteral("'%1' is not COL,ROW").arg(text);
    else if (!SENSOR.contains(n[0], n[1]))
        error = Outside(text);
    else
        spot = QPoint(n[0], n[1]);
    return error.isEmpty();
}

bool ParseBox(const QString &text, QRect &box, QString &error)
{
    QVector<int> n;
    if (!ParseNumbers(text, 4, n))
        error = QStringLiteral("'%1' is not COL,ROW,COL,ROW").arg(text);
    else if (!SENSOR.contains(n[0], n[1]) || !SENSOR.contains(n[2], n[3]))
        error = Outside(text);
    else
        box = QRect(QPoint(n[0], n[1]), QPoint(n[2], n[3])).normalized();
    return error.isEmpty();
}

bool AddSpot(RegionSet &set, const QPoint &spot)
{
    if (set.spots.size() >= MAX_SPOTS)
        return false;
    set.spots << spot;
    return true;
}

bool AddBox(RegionSet &set, const QRect &box)
{
    if (set.boxes.size() >= MAX_BOXES || !SENSOR.contains(box))
        return false;
    set.boxes << box;
    return true;
}

bool RegionsFile::Load(RegionSet &set, QString &error) const
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the regions file %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument json = QJsonDocument::fromJson(file.readAll(), &parse);
    RegionSet read;
    if (!json.isObject() || !ReadRegions(json.object(), read)) {
        error = QStringLiteral("%1 is not a regions file (at most %2 spots and %3 boxes inside the sensor)")
                    .arg(path)
                    .arg(MAX_SPOTS)
                    .arg(MAX_BOXES);
        return false;
    }
    set = read;
    return true;
}

bool RegionsFile::Save(const RegionSet &set, QString &error) const
{
    QJsonArray spots;
    for (QPoint spot : set.spots)
        spots << QJsonArray {spot.x(), spot.y()};
    QJsonArray boxes;
    for (const QRect &box : set.boxes)
        boxes << QJsonArray {box.left(), box.top(), box.right(), box.bottom()};
    const QJsonObject json {{QStringLiteral("spots"), spots}, {QStringLiteral("boxes"), boxes},
        {QStringLiteral("extremes"), set.bExtremes}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(json).toJson()) < 0 || !file.commit()) {
        error = QStringLiteral("cannot write the regions file %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
