// The regions on the screen: their markers and readings drawn over the
// picture, a raised alarm's banner and the pixels past its threshold in a
// signal colour, and the gestures that change the regions (a further spot
// at the next tap after "+ Spot", a drag draws a box, a tap on a marker's
// label removes it, "Hot/Cold" marks the hottest and the coldest pixel).
// Made only with --spot, --box, --regions or --alarm; a tap elsewhere on the
// picture still moves the view's spot meter.
#ifndef REGIONS_REGIONSVIEW_H
#define REGIONS_REGIONSVIEW_H

#include "regions/RegionMonitor.h"
#include "view/Transform.h"

#include <QColor>
#include <QObject>
#include <functional>

class QLabel;
class QPainter;
class QWidget;
class Ui_RegionsControls;
class Ui_RegionsOverlay;

// The colour of the pixels past a raised alarm's threshold: in none of the palettes.
const QColor SIGNAL_COLOUR(255, 0, 255);

class RegionsView : public QObject
{
    Q_OBJECT

public:
    // Draws over `picture`, turned as `transform` says; the controls go into
    // `strip` of `parent`.
    RegionsView(RegionMonitor *monitor, QLabel *picture, std::function<ViewTransform()> transform,
        QWidget *parent, const QRect &strip);
    ~RegionsView() override;

    Ui_RegionsControls *ui;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void PushButton_Extremes(bool bOn);

private:
    // What a marker's label stands for, to remove it by a tap.
    struct Label {
        QRect rect;
        QString text;
        int spot; // the region it stands for, or -1
        int box;
    };
    bool Release(QPoint at);
    bool RemoveAt(QPoint at);
    bool AddBoxBetween(QPoint from, QPoint to, const PictureGeometry &geometry);
    void Paint();
    void PaintSignal(QPainter &painter, const PictureGeometry &geometry);
    void PaintMarkers(QPainter &painter, const PictureGeometry &geometry);
    void PaintBanner(QPainter &painter, const PictureGeometry &geometry);
    QVector<Label> Labels(const PictureGeometry &geometry) const;
    Label LabelAt(QPoint at, const QString &text, int spot, int box) const;

    RegionMonitor *monitor;
    QLabel *picture;
    QWidget *overlay;
    Ui_RegionsOverlay *overlayUi;
    std::function<ViewTransform()> transform;
    QPoint pressedAt;
    bool bPressed = false;
};

#endif
