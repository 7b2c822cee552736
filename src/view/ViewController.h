// The operator's view of the picture: palette, range, rotation and
// mirroring, and the spot meter. MainWindow creates one; the conversion
// worker converts frames through its range, the display step takes its
// picture of each frame shown.
// Without options and without a touch on its controls the picture is the
// plain grey one, made exactly as before.
#ifndef VIEW_VIEWCONTROLLER_H
#define VIEW_VIEWCONTROLLER_H

#include "view/Enlarger.h"
#include "view/PictureComposer.h"

#include <QObject>

class QLabel;
class QWidget;
class Ui_ViewControls;

// The view as the command line sets it.
struct ViewSettings {
    Palette palette = Palette::Grey;
    RangeSetting range;
    ViewTransform transform;
};

class ViewController : public QObject
{
    Q_OBJECT

public:
    // Watches taps on `picture`; places its controls in `strip` of `parent`.
    ViewController(QLabel *picture, QWidget *parent, const QRect &strip);
    ~ViewController() override;

    void Apply(const ViewSettings &settings);
    // For the conversion worker; it runs while the GUI thread waits.
    LevelRange &Range() { return range; }
    // The display step: the picture to show for the frame just converted,
    // which the view keeps for the spot meter and a change of settings.
    QPixmap PictureOf(const ShownFramePtr &frame);
    // The frame the picture was last made of; null before the first.
    const ShownFramePtr &Shown() const { return kept; }

    Palette CurrentPalette() const { return palette; }
    const ViewTransform &Transform() const { return transform; }
    bool HasSpot() const { return bSpot; }
    const SpotReading &Reading() const { return reading; }
    QRect ReadingBox() const { return composer.ReadingBox(); }
    Ui_ViewControls *ui;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void PushButton_Palette();
    void PushButton_Range();

private:
    void ConnectControls(QWidget *controls);
    void ShowSettings();
    void Tap(QPoint at);
    void Redraw();
    bool ShowsLivePicture() const;
    bool ShowsPlainPicture() const;
    QPixmap Picture();
    QPixmap Compose();

    QLabel *picture;
    Palette palette = Palette::Grey;
    LevelRange range;
    ViewTransform transform;
    ShownFramePtr kept;        // the frame last shown
    bool bKeptWindowed = false; // it was converted through a window, not as designed
    LevelWindow keptWindow;     // the window it was converted through
    bool bSpot = false;
    QPoint spotPixel;
    SpotReading reading;
    FrameValues readingValues;
    Enlarger enlarger; // the plain picture
    PictureComposer composer;
    QPixmap shown; // the last picture handed to the picture area
};

#endif
