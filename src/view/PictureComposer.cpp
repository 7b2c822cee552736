#include "view/PictureComposer.h"

#include "GUI.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

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
    const QFontMetrics metrics(painter.font());
    int width = 0;
    for (const QString &line : lines)
        width = std::max(width, metrics.horizontalAdvance(line));
    QRect patch(0, 0, width + 2 * PADDING, lines.size() * metrics.height() + 2 * PADDING);
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
void DrawColourBar(QPainter &painter, const QRect &visible, Palette palette, LevelWindow ends)
{
    const QRect bar(visible.right() - MARGIN - BAR_WIDTH + 1, visible.top() + MARGIN, BAR_WIDTH,
                    visible.height() - 2 * MARGIN);
    const int last = bar.height() - 1;
    for (int y = 0; y <= last; ++y) {
        const int level = (255 * (last - y) + last / 2) / last;
        painter.fillRect(bar.left(), bar.top() + y, bar.width(), 1, QColor(PaletteColour(palette, level)));
    }
    painter.setPen(Qt::black);
    painter.drawRect(bar.adjusted(-1, -1, 0, 0));
    const int textRight = bar.left() - 1 - GAP;
    DrawText(painter, {QString::number(ends.hi)}, QPoint(textRight, bar.top()), Qt::AlignRight | Qt::AlignTop);
    DrawText(painter, {QString::number(ends.lo)}, QPoint(textRight, bar.bottom()),
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
    Orient(scene.image8, scene.transform);
    oriented.setColorTable(ColourTable(scene.palette));
    const PictureGeometry geometry(scene.transform, imgSize);
    const QPixmap picture = QPixmap::fromImage(oriented).scaled(geometry.Rect().size(), Qt::IgnoreAspectRatio,
                                                                Qt::FastTransformation);
    box = QRect();
    const QRect area(QPoint(0, 0), imgSize);
    if (geometry.Rect() == area && !scene.bColourBar && scene.spot == nullptr)
        return picture;

    QPixmap canvas(imgSize);
    canvas.fill(Qt::black);
    QPainter painter(&canvas);
    painter.drawPixmap(geometry.Rect().topLeft(), picture);
    QFont font = painter.font();
    font.setPointSize(FONT_POINTS);
    painter.setFont(font);
    const QRect visible = geometry.Rect() & area.adjusted(COVERED, 0, -COVERED, 0);
    if (scene.bColourBar)
        DrawColourBar(painter, visible, scene.palette, scene.ends);
    if (scene.spot != nullptr) {
        const QRect block = geometry.ScreenRect(scene.spot->pixel);
        DrawCrossHair(painter, block);
        box = DrawReadingBox(painter, visible, block, scene.spot->Lines());
    }
    return canvas;
}

// The levels as they are to be seen, before enlarging.
void PictureComposer::Orient(const unsigned char *image8, const ViewTransform &transform)
{
    const QSize size = transform.ShownSize();
    if (oriented.size() != size)
        oriented = QImage(size, QImage::Format_Indexed8);
    for (int v = 0; v < size.height(); ++v) {
        uchar *line = oriented.scanLine(v);
        for (int u = 0; u < size.width(); ++u) {
            const QPoint sensor = transform.Sensor(QPoint(u, v));
            line[u] = image8[sensor.y() * FRAME_WIDTH + sensor.x()];
        }
    }
}
