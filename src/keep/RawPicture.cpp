#include "keep/RawPicture.h"

#include <QImageReader>

namespace {

// Degrees = slope x sample + intercept per pixel, from the calibration's
// document (its format: the README), then the grey-body correction.
void SetReadingFacts(QImage &picture, const RawFacts &facts)
{
    picture.setText(QStringLiteral("Unit"), UnitName(ReadingUnit::Celsius));
    picture.setText(QStringLiteral("Calibration"), QString::fromUtf8(facts.basis->calibration));
    picture.setText(QStringLiteral("Emissivity"), QString::number(facts.basis->emissivity));
    picture.setText(QStringLiteral("ReflectedTemperature"), QString::number(facts.basis->reflectedCelsius));
    picture.setText(QStringLiteral("BadPixels"),
                    facts.basis->bReplaceBad ? QStringLiteral("replaced") : QStringLiteral("as read"));
    if (facts.bReadingsMayBeOff)
        picture.setText(QStringLiteral("Readings"), QStringLiteral("may be off"));
}

// One key a word: Qt's PNG writer files a key with a blank under
// "Description".
void SetFacts(QImage &picture, const RawFacts &facts)
{
    const QDateTime taken = facts.taken.toOffsetFromUtc(facts.taken.offsetFromUtc());
    picture.setText(QStringLiteral("Time"), taken.toString(Qt::ISODateWithMs));
    if (facts.bChecksum)
        picture.setText(QStringLiteral("Checksum"), QString::number(facts.checksum, 16));
    picture.setText(QStringLiteral("Correction"),
                    facts.bCorrected ? QStringLiteral("applied") : QStringLiteral("off"));
    picture.setText(QStringLiteral("Gain"), QString::number(facts.gain));
    picture.setText(QStringLiteral("Offset"), QString::number(facts.offset));
    if (facts.frames > 1)
        picture.setText(QStringLiteral("Frames"), QString::number(facts.frames));
    if (facts.basis)
        SetReadingFacts(picture, facts);
    picture.setText(QStringLiteral("Software"),
                    QStringLiteral("framescope ") + QStringLiteral(FRAMESCOPE_VERSION));
}

const quint16 *Line(const QImage &picture, int row)
{
    return reinterpret_cast<const quint16 *>(picture.constScanLine(row));
}

// The reason a picture of this size and format cannot be a raw frame; empty
// when it can.
QString WrongShape(QSize size, QImage::Format format)
{
    if (size != QSize(FRAME_WIDTH, FRAME_HEIGHT))
        return QStringLiteral("%1 x %2 pixels, not %3 x %4")
            .arg(size.width())
            .arg(size.height())
            .arg(FRAME_WIDTH)
            .arg(FRAME_HEIGHT);
    if (format != QImage::Format_Grayscale16)
        return QStringLiteral("not a 16-bit greyscale picture");
    return QString();
}

// The first sample that does not fit 14 bits, as a reason; empty when none.
QString WrongSample(const QImage &picture)
{
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        for (int column = 0; column < FRAME_WIDTH; ++column) {
            if (Line(picture, row)[column] > SAMPLE_MAX)
                return QStringLiteral("sample %1 at column %2, row %3 does not fit 14 bits")
                    .arg(Line(picture, row)[column])
                    .arg(column)
                    .arg(row);
        }
    }
    return QString();
}

} // namespace

RawFacts FactsOf(const ShownFrame &frame)
{
    RawFacts facts;
    facts.taken = frame.Arrived();
    facts.bChecksum = true;
    facts.checksum = frame.checksum;
    facts.bCorrected = frame.bCorrected;
    facts.gain = frame.gain;
    facts.offset = frame.offset;
    facts.basis = frame.basis;
    facts.bReadingsMayBeOff = frame.bReadingsMayBeOff;
    return facts;
}

QImage RawPicture(const unsigned char *raw, const RawFacts &facts)
{
    QImage picture(FRAME_WIDTH, FRAME_HEIGHT, QImage::Format_Grayscale16);
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        quint16 *line = reinterpret_cast<quint16 *>(picture.scanLine(row));
        for (int column = 0; column < FRAME_WIDTH; ++column)
            line[column] = static_cast<quint16>(DecodeSample(raw, row * FRAME_WIDTH + column));
    }
    SetFacts(picture, facts);
    return picture;
}

bool ReadRawPicture(const QString &path, unsigned char *raw, QString &reason)
{
    // The header is judged before the pixels are read: a huge picture is
    // refused without being decoded.
    QImageReader reader(path);
    reader.setAutoTransform(false);
    QImage picture;
    if (reader.size().isValid())
        reason = WrongShape(reader.size(), reader.imageFormat());
    if (reason.isEmpty() && !reader.read(&picture))
        reason = reader.errorString();
    if (reason.isEmpty())
        reason = WrongShape(picture.size(), picture.format());
    if (reason.isEmpty())
        reason = WrongSample(picture);
    if (!reason.isEmpty())
        return false;
    for (int row = 0; row < FRAME_HEIGHT; ++row) {
        for (int column = 0; column < FRAME_WIDTH; ++column)
            EncodeSample(raw, row * FRAME_WIDTH + column, Line(picture, row)[column]);
    }
    return true;
}
