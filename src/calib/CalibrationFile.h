// The calibration file: one JSON document (UTF-8), written atomically.
//   "format": "framescope calibration", "version": 1,
//   "columns": 84, "rows": 80,
//   "coldCelsius", "hotCelsius": the two references' temperatures,
//   "made" (and "anchored" after a re-anchor): ISO 8601 UTC,
//   "slope", "intercept": 6720 numbers each, row by row in the sensor's
//       order; degrees = slope x sample + intercept,
//   "badPixels": the bad pixels' indices (row x 84 + column), ascending.
#ifndef CALIB_CALIBRATIONFILE_H
#define CALIB_CALIBRATIONFILE_H

#include "calib/Calibration.h"

#include <QByteArray>

QByteArray CalibrationDocument(const Calibration &calibration);
// The document's calibration; false with the reason when it is not one.
bool ReadCalibrationDocument(const QByteArray &document, Calibration &calibration, QString &reason);

// False with the reason (naming the file) when it cannot be written or read.
bool SaveCalibration(const Calibration &calibration, const QString &path, QString &error);
bool LoadCalibration(const QString &path, Calibration &calibration, QString &error);

#endif
