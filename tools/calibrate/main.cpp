// framescope-calibrate: the calibration file from raw snapshots, made by the
// same core as the viewer's calibration page, so that the same frames give
// the same file.
#include "calib/CalibrationFile.h"
#include "keep/RawPicture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace {

const int USAGE_STATUS = 2;
const int FAILURE_STATUS = 1;

struct ReferenceFiles {
    QStringList paths;
    double celsius = 0;
};

// "A.png,B.png:20.5": the files and the temperature after the last colon.
bool ParseReference(const QString &text, ReferenceFiles &reference, QString &error)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    bool bNumber = false;
    reference.celsius = colon < 0 ? 0 : text.mid(colon + 1).toDouble(&bNumber);
    reference.paths = text.left(colon).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (colon < 0 || !bNumber || reference.paths.isEmpty())
        error = QStringLiteral("'%1' is not RAW.png[,RAW.png...]:TEMP").arg(text);
    return error.isEmpty();
}

bool Average(const ReferenceFiles &files, UniformReference &reference, QString &error)
{
    ReferenceAverage average;
    RawFrameBytes raw {};
    for (const QString &path : files.paths) {
        QString reason;
        if (!ReadRawPicture(path, raw.data(), reason)) {
            error = QStringLiteral("%1: %2").arg(path, reason);
            return false;
        }
        average.Add(raw.data());
    }
    reference = average.At(files.celsius);
    return true;
}

int Fail(int status, const QString &error, const QCommandLineParser *parser = nullptr)
{
    fprintf(stderr, "framescope-calibrate: %s\n", qPrintable(error));
    if (parser)
        fprintf(stderr, "\n%s", qPrintable(parser->helpText()));
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("framescope-calibrate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FRAMESCOPE_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes framescope's calibration file from raw snapshots (16-bit PNG) of a uniform surface "
        "at two known temperatures, as the calibration page does from live frames."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("cold"),
        QStringLiteral("The cold reference's snapshots and its temperature in degrees Celsius."),
        QStringLiteral("RAW.png[,RAW.png...]:TEMP")});
    parser.addOption({QStringLiteral("hot"), QStringLiteral("The hot reference's, at least 5 degrees above."),
        QStringLiteral("RAW.png[,RAW.png...]:TEMP")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("The calibration file to write."), QStringLiteral("FILE")});
    parser.process(app);
    ReferenceFiles coldFiles;
    ReferenceFiles hotFiles;
    QString error;
    if (!parser.isSet(QStringLiteral("cold")) || !parser.isSet(QStringLiteral("hot"))
        || parser.value(QStringLiteral("o")).isEmpty())
        return Fail(USAGE_STATUS, QStringLiteral("--cold, --hot and -o are needed"), &parser);
    if (!ParseReference(parser.value(QStringLiteral("cold")), coldFiles, error)
        || !ParseReference(parser.value(QStringLiteral("hot")), hotFiles, error))
        return Fail(USAGE_STATUS, error, &parser);
    UniformReference cold;
    UniformReference hot;
    Calibration calibration;
    if (!Average(coldFiles, cold, error) || !Average(hotFiles, hot, error)
        || !Calibrate(cold, hot, calibration, error)
        || !SaveCalibration(calibration, parser.value(QStringLiteral("o")), error))
        return Fail(FAILURE_STATUS, error);
    const CalibrationFigures figures = FiguresOf(calibration, cold, hot);
    printf(
        "%d bad pixels; spread of the hot reference: %.2f C calibrated, %.2f C with one-point correction\n",
        figures.badPixels, figures.twoPointSpread, figures.onePointSpread);
    return 0;
}
