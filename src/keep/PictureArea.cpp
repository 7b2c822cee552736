#include "keep/PictureArea.h"

#include <QBuffer>
#include <QImageWriter>
#include <QWidget>

namespace {

// Enough for the picture's fine structure (single sensor pixels are six
// screen pixels wide) at about 30 kB a picture.
const int JPEG_QUALITY = 85;

} // namespace

QImage GrabPictureArea(QWidget *area)
{
    return area->grab().toImage();
}

QByteArray EncodePicture(const QImage &picture, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (picture.isNull() || !writer.write(picture))
        return QByteArray();
    return bytes;
}

// The lock is held while encoding: a second thread asking waits and takes
// the first one's result instead of encoding again.
Encoded AreaPicture::Jpeg() const
{
    std::lock_guard<std::mutex> held(jpegLock);
    if (!jpeg) {
        // JPEG has no alpha: the grab's opaque pixels go as they are.
        jpeg = std::make_shared<const QByteArray>(
            EncodePicture(image.convertToFormat(QImage::Format_RGB32), "JPG", JPEG_QUALITY));
    }
    return jpeg;
}

AreaPicturePtr PictureAreaGrab::For(const ShownFrame &frame)
{
    if (!last || number != frame.number) {
        last = std::make_shared<const AreaPicture>(GrabPictureArea(area));
        number = frame.number;
    }
    return last;
}
