// The picture as the operator sees it: the 8-bit frame in its palette,
// turned, enlarged and centred in the picture area, with the colour bar, the
// cross-hair and the reading box over it.
#ifndef VIEW_PICTURECOMPOSER_H
#define VIEW_PICTURECOMPOSER_H

#include "view/Palette.h"
#include "view/Range.h"
#include "view/SpotMeter.h"
#include "view/Transform.h"

#include <QImage>
#include <QPixmap>
#include <QRect>

// What one picture shows.
struct PictureScene {
    const unsigned char *image8;     // 84 x 80 levels, as the sensor sees
    Palette palette;
    ViewTransform transform;
    bool bColourBar;                 // with the values at its ends
    LevelWindow ends;
    const SpotReading *spot;         // null: no spot meter
};

class PictureComposer
{
public:
    QPixmap Compose(const PictureScene &scene);
    // Where the reading box of the last picture lies; empty without one.
    QRect ReadingBox() const { return box; }

private:
    void Enlarge(const unsigned char *image8, const ViewTransform &transform, const QVector<QRgb> &colours,
                 const PictureGeometry &geometry);
    const QImage &ColourBar(Palette palette);

    QImage canvas; // the picture area, reused from frame to frame
    QImage bar;    // the colour bar of barPalette, one pixel wide
    Palette barPalette = Palette::Grey;
    QRect box;
};

#endif
