// The plain picture: the 8-bit frame in grey, each pixel a 6 x 6 block, as
// QImage::scaled makes it with Qt::FastTransformation. Made into one of two
// buffers kept from frame to frame, in turn: the picture on the screen holds
// the other one. A picture of a megabyte made afresh every frame is mapped
// afresh by 32-bit glibc every frame (its mmap threshold stops at 512 KiB),
// and on the board faulting in and zeroing those pages took about a fifth
// of the core that converts and draws the frames.
#ifndef VIEW_ENLARGER_H
#define VIEW_ENLARGER_H

#include <QImage>
#include <QPixmap>

class Enlarger
{
public:
    // frame8: one byte a pixel, each value its own grey. A picture still
    // held from two calls before keeps its pixels: that buffer is then
    // copied away from it first, as Qt does with any image shared.
    QPixmap Enlarge(const QImage &frame8, const QSize &size);

private:
    QImage buffers[2];
    int next = 0;
};

#endif
