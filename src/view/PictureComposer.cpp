#include "view/PictureComposer.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cstring>

namespace {

// The grey bars of the window lie over the picture area's outer 12 columns
// on both sides: what must be seen stays between them.
const int COVERED = 12;
const int MARGIN = 4;      // from the edges of what is visible
const int BAR_WIDTH = 10;
const int GAP = 2;         // between a pixel and its cross-hair, a bar and its labels
const int ARM = 8;         // of the cross-hair, beyond its ring
const int PADDING = 3;     // around text on its patch
const int FONT_POINTS = 8;
const QColor PATCH(0, 0, 0, 170);

// Lines of text on a dark patch; corner is the patch's corner on the side
// given by `align` (left or right, top or bottom). Returns the patch.
QRect DrawText(QPainter &painter, const QStringList &lines, QPoint corner, Qt::Alignment align)
{
    // The longest line is measured alone: laying text out is the dear part.
    const QFontMetrics metrics(painter.font());
    const QString &longest = *std::max_element(
        lines.begin(), lines.end(), [](const QString &a, const QString &b) { return a.size() < b.size(); });
    QRect patch(0, 0, metrics.horizontalAdvance(longest) + 2 * PADDING, lines.size() * metrics.height() + 2 * PADDING);
    if (align & Qt::AlignRight)
        patch.moveRight(corner.x());
    else
        patch.moveLeft(corner.x());
    if (align & Qt::AlignBottom)
        patch.moveBottom(corner.y());
    else
        patch.moveTop(corner.y());
    painter.fillRect(patch, PATCH);
    painter.setPen(Qt::white);
    painter.drawText(patch.adjusted(PADDING, PADDING, -PADDING, -PADDING), Qt::AlignLeft | Qt::AlignTop,
                     lines.join(QLatin1Char('\n')));
    return patch;
}

// Hottest at the top; the window's values beside both ends.
void DrawColourBar(QPainter &painter, const QRect &visible, const QImage &colours, LevelWindow ends)
{
    const QRect bar(visible.right() - MARGIN - BAR_WIDTH + 1, visible.top() + MARGIN, BAR_WIDTH,
                    visible.height() - 2 * MARGIN);
    painter.drawImage(bar, colours);
    painter.setPen(Qt::black);
    painter.drawRect(bar.adjusted(-1, -1, 0, 0));
    const int textRight = bar.left() - 1 - GAP;
    DrawText(painter, {ends.Text(ends.hi)}, QPoint(textRight, bar.top()), Qt::AlignRight | Qt::AlignTop);
    DrawText(painter, {ends.Text(ends.lo)}, QPoint(textRight, bar.bottom()),
             Qt::AlignRight | Qt::AlignBottom);
}

// A ring around the pixel's block with four arms, white on black so that it
// shows on any colour; the block itself stays uncovered.
void DrawCrossHair(QPainter &painter, const QRect &block)
{
    const QRect ring = block.adjusted(-GAP, -GAP, GAP, GAP);
    const QPoint centre = block.center();
    const QLine arms[] = {{ring.left() - ARM, centre.y(), ring.left(), centre.y()},
                          {ring.right(), centre.y(), ring.right() + ARM, centre.y()},
                          {centre.x(), ring.top() - ARM, centre.x(), ring.top()},
                          {centre.x(), ring.bottom(), centre.x(), ring.bottom() + ARM}};
    for (const QPen &pen : {QPen(Qt::black, 3), QPen(Qt::white, 1)}) {
        painter.setPen(pen);
        painter.drawRect(QRect(ring.topLeft(), ring.size() - QSize(1, 1)));
        painter.drawLines(arms, 4);
    }
}

// In the top left corner of what is visible, or the bottom left one when
// that would hide the cross-hair.
QRect DrawReadingBox(QPainter &painter, const QRect &visible, const QRect &block, const QStringList &lines)
{
    const QRect crossHair = block.adjusted(-GAP - ARM - 1, -GAP - ARM - 1, GAP + ARM + 1, GAP + ARM + 1);
    const QFontMetrics metrics(painter.font());
    const int height = lines.size() * metrics.height() + 2 * PADDING;
    const QPoint top = visible.topLeft() + QPoint(MARGIN, MARGIN);
    const bool clash = QRect(top, QSize(visible.width() / 2, height)).intersects(crossHair);
    return clash ? DrawText(painter, lines, visible.bottomLeft() + QPoint(MARGIN, -MARGIN),
                            Qt::AlignLeft | Qt::AlignBottom)
                 : DrawText(painter, lines, top, Qt::AlignLeft | Qt::AlignTop);
}

} // namespace

QPixmap PictureComposer::Compose(const PictureScene &scene)
{
    const PictureGeometry geometry(scene.transform, PictureSize());
    Enlarge(scene.image8, scene.transform, ColourTable(scene.palette), geometry);
    box = QRect();
    QPainter painter(&canvas);
    QFont font = painter.font();
    font.setPointSize(FONT_POINTS);
    painter.setFont(font);
    const QRect visible = geometry.Rect() & canvas.rect().adjusted(COVERED, 0, -COVERED, 0);
    if (scene.bColourBar)
        DrawColourBar(painter, visible, ColourBar(scene.palette), scene.ends);
    if (scene.spot != nullptr) {
        const QRect block = geometry.ScreenRect(scene.spot->pixel);
        DrawCrossHair(painter, block);
        box = DrawReadingBox(painter, visible, block, scene.spot->Lines());
    }
    painter.end();
    return QPixmap::fromImage(canvas);
}

// Every level in its colour, turned, each a square block of the geometry's
// scale, into the canvas; black around a turned picture.
void PictureComposer::Enlarge(const unsigned char *image8, const ViewTransform &transform,
                              const QVector<QRgb> &colours, const PictureGeometry &geometry)
{
    if (canvas.size() != PictureSize())
        canvas = QImage(PictureSize(), QImage::Format_RGB32);
    const QRect rect = geometry.Rect();
    if (rect != canvas.rect())
        canvas.fill(Qt::black);
    const int scale = geometry.Scale();
    const QSize shown = transform.ShownSize();
    for (int v = 0; v < shown.height(); ++v) {
        const int top = rect.top() + v * scale;
        QRgb *line = reinterpret_cast<QRgb *>(canvas.scanLine(top)) + rect.left();
        for (int u = 0; u < shown.width(); ++u) {
            const QPoint sensor = transform.Sensor(QPoint(u, v));
            std::fill_n(line + u * scale, scale, colours[image8[sensor.y() * FRAME_WIDTH + sensor.x()]]);
        }
        for (int k = 1; k < scale; ++k)
            memcpy(reinterpret_cast<QRgb *>(canvas.scanLine(top + k)) + rect.left(), line, rect.width() * sizeof(QRgb));
    }
}

// The palette from 255 at the top to 0 at the bottom, made once per palette.
const QImage &PictureComposer::ColourBar(Palette palette)
{
    if (bar.isNull() || barPalette != palette) {
        const QVector<QRgb> colours = ColourTable(palette);
        bar = QImage(1, 256, QImage::Format_RGB32);
        for (int level = 0; level < 256; ++level)
            bar.setPixel(0, 255 - level, colours[level]);
        barPalette = palette;
    }
    return bar;
}
