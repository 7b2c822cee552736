#include "view/ViewController.h"

#include "GUI.h"
#include "ui_ViewControls.h"

#include <QKeySequence>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <utility>

namespace {

QPoint PositionOf(const QMouseEvent *event)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->position().toPoint();
#else
    return event->pos();
#endif
}

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
    connect(ui->pushButton_Palette, SIGNAL(released()), this, SLOT(PushButton_Palette()));
    connect(ui->pushButton_Range, SIGNAL(released()), this, SLOT(PushButton_Range()));
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

QPixmap ViewController::PictureOf(const QImage &frame8, const FrameSamples &samples)
{
    kept.Keep(samples, frame8.constBits(), range.MapsToWindow(), range.Window());
    shown = ShowsPlainPicture() ? enlarger.Enlarge(frame8, imgSize) : Compose();
    return shown;
}

QPixmap ViewController::PictureAsShown() const
{
    return ShowsLivePicture() ? shown : QPixmap();
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
    } else if (PictureGeometry(transform, imgSize).SensorPixelAt(at, pixel)) {
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
    const QImage frame8(kept.Image8(), FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, QImage::Format_Indexed8);
    shown = ShowsPlainPicture() ? enlarger.Enlarge(frame8, imgSize) : Compose();
    picture->setPixmap(shown);
}

// The picture area still shows the last picture made here (not the logo).
bool ViewController::ShowsLivePicture() const
{
    return !shown.isNull() && KeyOfShown(picture) == shown.cacheKey();
}

bool ViewController::ShowsPlainPicture() const
{
    return palette == Palette::Grey && !kept.Windowed() && transform.IsIdentity() && !bSpot;
}

QPixmap ViewController::Compose()
{
    if (bSpot)
        reading = ReadSpot(kept.Samples(), spotPixel, readingValues);
    const bool bColourBar = palette != Palette::Grey || kept.Windowed();
    return composer.Compose(
        {kept.Image8(), palette, transform, bColourBar, kept.Window(), bSpot ? &reading : nullptr});
}
