#include "view/Enlarger.h"

#include <algorithm>
#include <cstring>

QPixmap Enlarger::Enlarge(const QImage &frame8, const QSize &size)
{
    QImage &image = buffers[next];
    next = 1 - next;
    if (image.size() != size)
        image = QImage(size, QImage::Format_RGB32);
    const int scaleX = size.width() / frame8.width();
    const int scaleY = size.height() / frame8.height();
    for (int y = 0; y < frame8.height(); ++y) {
        const uchar *in = frame8.constScanLine(y);
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y * scaleY));
        for (int x = 0; x < frame8.width(); ++x)
            std::fill_n(row + x * scaleX, scaleX, qRgb(in[x], in[x], in[x]));
        for (int copy = 1; copy < scaleY; ++copy)
            memcpy(image.scanLine(y * scaleY + copy), row, static_cast<size_t>(image.bytesPerLine()));
    }
    return QPixmap::fromImage(image);
}
