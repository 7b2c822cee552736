// The picture area as the operator sees it, for a snapshot, the web server
// and the video alike.
#ifndef KEEP_PICTUREAREA_H
#define KEEP_PICTUREAREA_H

#include "frame/ShownFrame.h"

#include <QByteArray>
#include <QImage>
#include <memory>
#include <mutex>

class QWidget;

using Encoded = std::shared_ptr<const QByteArray>;

// What the picture area shows, at its size on the screen: the widget and
// everything drawn on it, not the window's widgets that lie over it.
QImage GrabPictureArea(QWidget *area);

// The picture in a file format Qt writes ("JPG", "PNG"); empty when it cannot.
QByteArray EncodePicture(const QImage &picture, const char *format, int quality = -1);

// One grab of the picture area and its JPEG, made at most once, by the first
// that asks for it on whatever thread: the web stream and the video share
// the same bytes.
class AreaPicture
{
public:
    explicit AreaPicture(QImage image) : image(std::move(image)) { }
    const QImage &Image() const { return image; }
    // Empty bytes when the picture is null or cannot be encoded.
    Encoded Jpeg() const;

private:
    const QImage image;
    mutable std::mutex jpegLock;
    mutable Encoded jpeg;
};

using AreaPicturePtr = std::shared_ptr<const AreaPicture>;

// The picture area grabbed once a frame, however many ask for it; on the GUI
// thread only.
class PictureAreaGrab
{
public:
    explicit PictureAreaGrab(QWidget *area) : area(area) { }
    AreaPicturePtr For(const ShownFrame &frame);

private:
    QWidget *area;
    quint64 number = 0;
    AreaPicturePtr last;
};

#endif
