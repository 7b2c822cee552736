#include "view/ViewController.h"
#include "view/PictureLabel.h"
#include "view/TouchPosition.h"

#include "ui_ViewControls.h"

#include <QKeySequence>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <utility>

namespace {

qint64 KeyOfShown(const QLabel *label)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return label->pixmap().cacheKey();
#else
    return label->pixmap(Qt::ReturnByValue).cacheKey();
#endif
}

} // namespace

ViewController::ViewController(QLabel *picture, QWidget *parent, const QRect &strip)
    : QObject(parent), ui(new Ui_ViewControls), picture(picture)
{
    QWidget *controls = new QWidget(parent);
    ui->setupUi(controls);
    controls->setGeometry(strip);
    controls->show();
    ConnectControls(controls);
    ShowSettings();
}

ViewController::~ViewController()
{
    delete ui;
}

void ViewController::ConnectControls(QWidget *controls)
{
    connect(ui->pushButton_Palette, &QPushButton::released, this, &ViewController::PushButton_Palette);
    connect(ui->pushButton_Range, &QPushButton::released, this, &ViewController::PushButton_Range);
    // The keys act as the buttons do, in the main window only: the command
    // window takes P and A as text.
    for (auto key : {std::make_pair(Qt::Key_P, ui->pushButton_Palette),
                     std::make_pair(Qt::Key_A, ui->pushButton_Range)}) {
        QShortcut *shortcut = new QShortcut(QKeySequence(key.first), controls);
        connect(shortcut, &QShortcut::activated, key.second, &QPushButton::click);
    }
    picture->installEventFilter(this);
}

void ViewController::Apply(const ViewSettings &settings)
{
    palette = settings.palette;
    range.Set(settings.range);
    transform = settings.transform;
    ShowSettings();
}

QPixmap ViewController::PictureOf(const ShownFramePtr &frame)
{
    kept = frame;
    bKeptWindowed = range.MapsToWindow();
    keptWindow = range.Window();
    shown = Picture();
    return shown;
}

bool ViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == picture && event->type() == QEvent::MouseButtonRelease) {
        const QMouseEvent *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton)
            Tap(PositionOf(mouse));
    }
    return QObject::eventFilter(watched, event);
}

void ViewController::PushButton_Palette()
{
    palette = NextPalette(palette);
    ShowSettings();
    Redraw();
}

// The new range takes effect with the next frame, which it converts.
void ViewController::PushButton_Range()
{
    range.Step();
    ShowSettings();
}

void ViewController::ShowSettings()
{
    ui->pushButton_Palette->setText(QStringLiteral("Palette\n") + PaletteName(palette));
    ui->pushButton_Range->setText(QStringLiteral("Range\n") + range.Name());
}

// On the box: the spot meter goes. On the picture: it moves there. Elsewhere
// (the black beside a turned picture), or while no live picture is shown:
// nothing.
void ViewController::Tap(QPoint at)
{
    if (!ShowsLivePicture())
        return;
    QPoint pixel;
    if (bSpot && composer.ReadingBox().contains(at)) {
        bSpot = false;
    } else if (PictureGeometry(transform, PictureSize()).SensorPixelAt(at, pixel)) {
        spotPixel = pixel;
        bSpot = true;
    } else {
        return;
    }
    Redraw();
}

// The frame last shown again, as the settings now want it.
void ViewController::Redraw()
{
    if (!ShowsLivePicture())
        return;
    shown = Picture();
    ShowOnPictureArea(picture, shown);
}

QPixmap ViewController::Picture()
{
    if (!ShowsPlainPicture())
        return Compose();
    // Over the frame's levels, not a copy; without a colour table each
    // level shows as its own grey.
    const QImage levels(kept->levels.data(), FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, QImage::Format_Indexed8);
    return enlarger.Enlarge(levels, PictureSize());
}

// The picture area still shows the last picture made here (not the logo).
bool ViewController::ShowsLivePicture() const
{
    return !shown.isNull() && KeyOfShown(picture) == shown.cacheKey();
}

bool ViewController::ShowsPlainPicture() const
{
    return palette == Palette::Grey && !bKeptWindowed && transform.IsIdentity() && !bSpot;
}

QPixmap ViewController::Compose()
{
    if (bSpot)
        reading = ReadSpot(*kept, spotPixel, readingValues);
    const bool bColourBar = palette != Palette::Grey || bKeptWindowed;
    return composer.Compose(
        {kept->levels.data(), palette, transform, bColourBar, keptWindow, bSpot ? &reading : nullptr});
}
