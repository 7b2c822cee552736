#include "calib/CalibrationFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cmath>

namespace {

const char FORMAT[] = "framescope calibration";
const int VERSION = 1;

QJsonArray Numbers(const std::array<float, FRAME_PIXELS> &values)
{
    QJsonArray numbers;
    for (float value : values)
        numbers.append(double(value));
    return numbers;
}

QJsonArray BadIndices(const Calibration &calibration)
{
    QJsonArray indices;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        if (calibration.bad[i])
            indices.append(i);
    }
    return indices;
}

bool ReadNumbers(
    const QJsonObject &json, const char *key, std::array<float, FRAME_PIXELS> &values, QString &reason)
{
    const QJsonArray numbers = json.value(QLatin1String(key)).toArray();
    if (numbers.size() != FRAME_PIXELS) {
        reason = QStringLiteral("\"%1\" holds %2 numbers, not %3")
                     .arg(QLatin1String(key))
                     .arg(numbers.size())
                     .arg(FRAME_PIXELS);
        return false;
    }
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const double value = numbers.at(i).toDouble(NAN);
        if (!std::isfinite(value)) {
            reason = QStringLiteral("\"%1\" entry %2 is not a number").arg(QLatin1String(key)).arg(i);
            return false;
        }
        values[i] = static_cast<float>(value);
    }
    return true;
}

bool ReadBad(const QJsonObject &json, Calibration &calibration, QString &reason)
{
    if (!json.value(QStringLiteral("badPixels")).isArray()) {
        reason = QStringLiteral("no \"badPixels\" list");
        return false;
    }
    for (const QJsonValue index : json.value(QStringLiteral("badPixels")).toArray()) {
        const double pixel = index.toDouble(-1);
        if (pixel < 0 || pixel >= FRAME_PIXELS || pixel != std::floor(pixel)) {
            reason = QStringLiteral("bad pixel %1 is not a pixel of the sensor")
                         .arg(index.toVariant().toString());
            return false;
        }
        calibration.bad[static_cast<int>(pixel)] = 1;
    }
    return true;
}

bool ReadHeader(const QJsonObject &json, Calibration &calibration, QString &reason)
{
    if (json.value(QStringLiteral("format")).toString() != QLatin1String(FORMAT)
        || json.value(QStringLiteral("version")).toInt() != VERSION)
        reason = QStringLiteral("not a framescope calibration of version %1").arg(VERSION);
    else if (json.value(QStringLiteral("columns")).toInt() != FRAME_WIDTH
        || json.value(QStringLiteral("rows")).toInt() != FRAME_HEIGHT)
        reason
            = QStringLiteral("made for another sensor size than %1 x %2").arg(FRAME_WIDTH).arg(FRAME_HEIGHT);
    if (!reason.isEmpty())
        return false;
    calibration.coldCelsius = json.value(QStringLiteral("coldCelsius")).toDouble(NAN);
    calibration.hotCelsius = json.value(QStringLiteral("hotCelsius")).toDouble(NAN);
    reason = WrongTemperatures(calibration.coldCelsius, calibration.hotCelsius);
    calibration.made = QDateTime::fromString(json.value(QStringLiteral("made")).toString(), Qt::ISODate);
    if (reason.isEmpty() && !calibration.made.isValid())
        reason = QStringLiteral("no valid \"made\" date");
    calibration.anchored
        = QDateTime::fromString(json.value(QStringLiteral("anchored")).toString(), Qt::ISODate);
    return reason.isEmpty();
}

} // namespace

QByteArray CalibrationDocument(const Calibration &calibration)
{
    QJsonObject json;
    json[QStringLiteral("format")] = QLatin1String(FORMAT);
    json[QStringLiteral("version")] = VERSION;
    json[QStringLiteral("columns")] = FRAME_WIDTH;
    json[QStringLiteral("rows")] = FRAME_HEIGHT;
    json[QStringLiteral("coldCelsius")] = calibration.coldCelsius;
    json[QStringLiteral("hotCelsius")] = calibration.hotCelsius;
    json[QStringLiteral("made")] = calibration.made.toUTC().toString(Qt::ISODate);
    if (calibration.anchored.isValid())
        json[QStringLiteral("anchored")] = calibration.anchored.toUTC().toString(Qt::ISODate);
    json[QStringLiteral("slope")] = Numbers(calibration.slope);
    json[QStringLiteral("intercept")] = Numbers(calibration.intercept);
    json[QStringLiteral("badPixels")] = BadIndices(calibration);
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

bool ReadCalibrationDocument(const QByteArray &document, Calibration &calibration, QString &reason)
{
    QJsonParseError parse {};
    const QJsonDocument json = QJsonDocument::fromJson(document, &parse);
    if (parse.error != QJsonParseError::NoError) {
        reason = QStringLiteral("not JSON (%1 at byte %2; truncated?)")
                     .arg(parse.errorString())
                     .arg(parse.offset);
        return false;
    }
    Calibration read;
    if (!ReadHeader(json.object(), read, reason) || !ReadNumbers(json.object(), "slope", read.slope, reason)
        || !ReadNumbers(json.object(), "intercept", read.intercept, reason)
        || !ReadBad(json.object(), read, reason))
        return false;
    calibration = read;
    return true;
}

bool SaveCalibration(const Calibration &calibration, const QString &path, QString &error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(CalibrationDocument(calibration)) >= 0 && file.commit())
        return true;
    error = QStringLiteral("cannot write the calibration %1: %2").arg(path, file.errorString());
    return false;
}

bool LoadCalibration(const QString &path, Calibration &calibration, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("calibration %1 not loaded: %2").arg(path, file.errorString());
        return false;
    }
    QString reason;
    if (ReadCalibrationDocument(file.readAll(), calibration, reason))
        return true;
    error = QStringLiteral("calibration %1 not loaded: %2").arg(path, reason);
    return false;
}
