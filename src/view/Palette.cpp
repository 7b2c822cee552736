#include "view/Palette.h"

#include <QStringList>

namespace {

const Palette ALL[] = {Palette::Grey, Palette::Inverted, Palette::Iron, Palette::Rainbow};
const char *const NAMES[] = {"grey", "inverted", "iron", "rainbow"};

// A colour at a level; the table runs in straight lines between them.
struct Stop {
    int level;
    QRgb colour;
};

QVector<QRgb> Blend(std::initializer_list<Stop> stops)
{
    QVector<QRgb> table(256);
    const Stop *from = stops.begin();
    for (const Stop *to = from + 1; to != stops.end(); from = to++) {
        const int span = to->level - from->level;
        for (int level = from->level; level <= to->level; ++level) {
            const int t = level - from->level;
            const auto mix = [&](int a, int b) { return (a * (span - t) + b * t + span / 2) / span; };
            table[level] = qRgb(mix(qRed(from->colour), qRed(to->colour)),
                                mix(qGreen(from->colour), qGreen(to->colour)),
                                mix(qBlue(from->colour), qBlue(to->colour)));
        }
    }
    return table;
}

QVector<QRgb> MakeTable(Palette palette)
{
    switch (palette) {
    case Palette::Inverted:
        return Blend({{0, qRgb(255, 255, 255)}, {255, qRgb(0, 0, 0)}});
    case Palette::Iron:
        return Blend({{0, qRgb(0, 0, 0)}, {56, qRgb(80, 0, 130)}, {128, qRgb(220, 20, 50)},
                      {176, qRgb(255, 120, 0)}, {224, qRgb(255, 220, 0)}, {255, qRgb(255, 255, 255)}});
    case Palette::Rainbow:
        return Blend({{0, qRgb(0, 0, 255)}, {64, qRgb(0, 255, 255)}, {128, qRgb(0, 255, 0)},
                      {192, qRgb(255, 255, 0)}, {255, qRgb(255, 0, 0)}});
    case Palette::Grey:
        break;
    }
    return Blend({{0, qRgb(0, 0, 0)}, {255, qRgb(255, 255, 255)}});
}

} // namespace

QString PaletteName(Palette palette)
{
    return QString::fromLatin1(NAMES[static_cast<int>(palette)]);
}

QString PaletteNames()
{
    QStringList names;
    for (Palette palette : ALL)
        names << PaletteName(palette);
    return names.join(QStringLiteral(", "));
}

bool ParsePalette(const QString &name, Palette &palette, QString &error)
{
    for (Palette candidate : ALL) {
        if (name == PaletteName(candidate)) {
            palette = candidate;
            return true;
        }
    }
    error = QStringLiteral("unknown palette '%1' (%2)").arg(name, PaletteNames());
    return false;
}

Palette NextPalette(Palette palette)
{
    const int count = sizeof ALL / sizeof ALL[0];
    return ALL[(static_cast<int>(palette) + 1) % count];
}

QVector<QRgb> ColourTable(Palette palette)
{
    // Made once each; the copies handed out share them.
    static const QVector<QRgb> tables[] = {MakeTable(Palette::Grey), MakeTable(Palette::Inverted),
                                           MakeTable(Palette::Iron), MakeTable(Palette::Rainbow)};
    return tables[static_cast<int>(palette)];
}
