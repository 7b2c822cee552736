// The colours of the picture's 256 levels. A palette is the colour table of
// the 8-bit picture: the conversion does not change with it.
#ifndef VIEW_PALETTE_H
#define VIEW_PALETTE_H

#include <QRgb>
#include <QString>
#include <QVector>

enum class Palette {
    Grey,     // each level its own grey, as without a palette
    Inverted, // hot is black
    Iron,     // black, purple, red, orange, yellow, white
    Rainbow,  // blue, cyan, green, yellow, red
};

QString PaletteName(Palette palette);
// "grey, inverted, iron, rainbow", for messages and the help text.
QString PaletteNames();
// Reads a palette's name; on an unknown one returns false with the reason in error.
bool ParsePalette(const QString &name, Palette &palette, QString &error);
// The next one in the order above, round again after the last.
Palette NextPalette(Palette palette);
// The colour of each of the 256 levels: the 8-bit picture's colour table.
// Grey is each level's own grey, as an 8-bit picture without a table shows.
QVector<QRgb> ColourTable(Palette palette);

#endif
