#include "regions/RegionsView.h"
#include "view/TouchPosition.h"

#include "ui_RegionsControls.h"
#include "ui_RegionsOverlay.h"

#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

namespace {

const int DRAG_PX = 12; // a press and release further apart are a drag, not a tap
const int MARK_PX = 5;  // half a spot's cross
const QColor MARKER_COLOUR(255, 255, 255);
const QColor LABEL_BACKGROUND(0, 0, 0, 160);
const QColor BANNER_COLOUR(200, 0, 0);

QString SummaryText(const ReadingSummary &summary)
{
    return QStringLiteral("%1 / %2 / %3").arg(summary.min.Text(), summary.max.Text(), summary.mean.Text());
}

QRect BoxOnScreen(const QRect &box, const PictureGeometry &geometry)
{
    return geometry.ScreenRect(box.topLeft()).united(geometry.ScreenRect(box.bottomRight()));
}

QPoint PixelOf(int i)
{
    return QPoint(i % FRAME_WIDTH, i / FRAME_WIDTH);
}

} // namespace

RegionsView::RegionsView(RegionMonitor *monitor, QLabel *picture, std::function<ViewTransform()> transform,
    QWidget *parent, const QRect &strip)
    : QObject(parent), ui(new Ui_RegionsControls), monitor(monitor), picture(picture),
      overlay(new QWidget(picture)), overlayUi(new Ui_RegionsOverlay), transform(std::move(transform))
{
    QWidget *controls = new QWidget(parent);
    ui->setupUi(controls);
    controls->setGeometry(strip);
    controls->show();
    ui->pushButton_Extremes->setChecked(monitor->Regions().bExtremes);
    overlayUi->setupUi(overlay);
    overlay->setGeometry(picture->rect());
    overlay->setAttribute(Qt::WA_TransparentForMouseEvents);
    overlay->show();
    overlay->installEventFilter(this);
    // Installed after the view's filter, so seen first: a gesture of the
    // regions is not also a tap of the spot meter.
    picture->installEventFilter(this);
    connect(ui->pushButton_Extremes, &QPushButton::toggled, this, &RegionsView::PushButton_Extremes);
    connect(monitor, &RegionMonitor::Updated, overlay, QOverload<>::of(&QWidget::update));
}

RegionsView::~RegionsView()
{
    delete overlayUi;
    delete ui;
}

bool RegionsView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == overlay && event->type() == QEvent::Paint) {
        Paint();
        return true;
    }
    const bool bPress = event->type() == QEvent::MouseButtonPress;
    const bool bRelease = event->type() == QEvent::MouseButtonRelease;
    if (watched != picture || !monitor->Shown() || !(bPress || bRelease)
        || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
        return QObject::eventFilter(watched, event);
    const QPoint at = PositionOf(static_cast<QMouseEvent *>(event));
    if (bPress) {
        pressedAt = at;
        bPressed = true;
    } else if (bPressed) {
        bPressed = false;
        return Release(at);
    }
    return QObject::eventFilter(watched, event);
}

void RegionsView::PushButton_Extremes(bool bOn)
{
    RegionSet set = monitor->Regions();
    set.bExtremes = bOn;
    monitor->SetRegions(set);
}

// True when the release was the regions' gesture, not the spot meter's tap.
bool RegionsView::Release(QPoint at)
{
    const PictureGeometry geometry(transform(), PictureSize());
    if ((at - pressedAt).manhattanLength() > DRAG_PX)
        return AddBoxBetween(pressedAt, at, geometry);
    if (RemoveAt(at))
        return true;
    QPoint pixel;
    if (!ui->pushButton_AddSpot->isChecked() || !geometry.SensorPixelAt(at, pixel))
        return false;
    RegionSet set = monitor->Regions();
    AddSpot(set, pixel);
    ui->pushButton_AddSpot->setChecked(false);
    monitor->SetRegions(set);
    return true;
}

bool RegionsView::RemoveAt(QPoint at)
{
    for (const Label &label : Labels(PictureGeometry(transform(), PictureSize()))) {
        if (!label.rect.contains(at))
            continue;
        RegionSet set = monitor->Regions();
        if (label.spot >= 0)
            set.spots.remove(label.spot);
        else if (label.box >= 0)
            set.boxes.remove(label.box);
        else
            set.bExtremes = false;
        ui->pushButton_Extremes->setChecked(set.bExtremes);
        monitor->SetRegions(set);
        return true;
    }
    return false;
}

bool RegionsView::AddBoxBetween(QPoint from, QPoint to, const PictureGeometry &geometry)
{
    QPoint first;
    QPoint last;
    if (!geometry.SensorPixelAt(from, first) || !geometry.SensorPixelAt(to, last))
        return false;
    RegionSet set = monitor->Regions();
    if (!AddBox(set, QRect(first, last).normalized()))
        return false;
    monitor->SetRegions(set);
    return true;
}

void RegionsView::Paint()
{
    if (!monitor->Shown())
        return;
    QPainter painter(overlay);
    const PictureGeometry geometry(transform(), PictureSize());
    PaintSignal(painter, geometry);
    PaintMarkers(painter, geometry);
    PaintBanner(painter, geometry);
}

// Each raised alarm's pixels past its threshold, within the area it watches:
// marked on an image of the turned picture's pixels, then enlarged as the
// picture is (one draw instead of one a pixel).
void RegionsView::PaintSignal(QPainter &painter, const PictureGeometry &geometry)
{
    const ShownFrame &frame = *monitor->Shown();
    const QVector<AlarmStatus> alarms = monitor->Alarms();
    const QVector<AlarmRule> rules = monitor->Rules();
    const ViewTransform turn = transform();
    QImage marks(turn.ShownSize(), QImage::Format_ARGB32_Premultiplied);
    marks.fill(Qt::transparent);
    bool bAny = false;
    for (int a = 0; a < rules.size(); ++a) {
        if (alarms[a].state != AlarmState::Raised)
            continue;
        const QRect area = rules[a].Area(monitor->Regions());
        for (int row = area.top(); row <= area.bottom(); ++row) {
            for (int column = area.left(); column <= area.right(); ++column) {
                if (!rules[a].Past(frame.ReadingAt(row * FRAME_WIDTH + column).value))
                    continue;
                marks.setPixel(turn.Shown(QPoint(column, row)), SIGNAL_COLOUR.rgb());
                bAny = true;
            }
        }
    }
    if (bAny)
        painter.drawImage(geometry.Rect(), marks);
}

void RegionsView::PaintMarkers(QPainter &painter, const PictureGeometry &geometry)
{
    const RegionSet &set = monitor->Regions();
    painter.setPen(MARKER_COLOUR);
    for (QPoint spot : set.spots) {
        const QPoint centre = geometry.ScreenRect(spot).center();
        painter.drawLine(centre - QPoint(MARK_PX, 0), centre + QPoint(MARK_PX, 0));
        painter.drawLine(centre - QPoint(0, MARK_PX), centre + QPoint(0, MARK_PX));
    }
    for (const QRect &box : set.boxes)
        painter.drawRect(BoxOnScreen(box, geometry).adjusted(0, 0, -1, -1));
    for (const Label &label : Labels(geometry)) {
        painter.fillRect(label.rect, LABEL_BACKGROUND);
        painter.drawText(label.rect, Qt::AlignCenter, label.text);
    }
}

// Every marker's label with its reading, where it is drawn and tapped.
QVector<RegionsView::Label> RegionsView::Labels(const PictureGeometry &geometry) const
{
    const RegionSet &set = monitor->Regions();
    const RegionReadings &readings = monitor->Readings();
    QVector<Label> labels;
    for (int i = 0; i < set.spots.size() && i < readings.spots.size(); ++i)
        labels << LabelAt(geometry.ScreenRect(set.spots[i]).center(),
            QStringLiteral("S%1 %2").arg(i + 1).arg(readings.spots[i].Text()), i, -1);
    for (int i = 0; i < set.boxes.size() && i < readings.boxes.size(); ++i)
        labels << LabelAt(BoxOnScreen(set.boxes[i], geometry).topLeft(),
            QStringLiteral("B%1 %2").arg(i + 1).arg(SummaryText(readings.boxes[i])), -1, i);
    if (set.bExtremes) {
        labels << LabelAt(geometry.ScreenRect(PixelOf(readings.hottest)).center(),
            QStringLiteral("\u25b2 %1").arg(readings.frame.max.Text()), -1, -1)
               << LabelAt(geometry.ScreenRect(PixelOf(readings.coldest)).center(),
                      QStringLiteral("\u25bc %1").arg(readings.frame.min.Text()), -1, -1);
    }
    return labels;
}

// Beside the marker at `at`, kept inside the picture area.
RegionsView::Label RegionsView::LabelAt(QPoint at, const QString &text, int spot, int box) const
{
    QRect rect = overlay->fontMetrics().boundingRect(text).adjusted(-3, -2, 3, 2);
    rect.moveTopLeft(at + QPoint(MARK_PX + 2, MARK_PX + 2));
    const QRect area = overlay->rect();
    rect.moveRight(std::min(rect.right(), area.right()));
    rect.moveBottom(std::min(rect.bottom(), area.bottom()));
    return {rect, text, spot, box};
}

// One line over the picture's top: every raised alarm with its value.
void RegionsView::PaintBanner(QPainter &painter, const PictureGeometry &geometry)
{
    QStringList raised;
    for (const AlarmStatus &alarm : monitor->Alarms()) {
        if (alarm.state == AlarmState::Raised)
            raised << QStringLiteral("%1: %2 (%3)").arg(alarm.name, alarm.value.Text(), alarm.condition);
    }
    if (raised.isEmpty())
        return;
    QFont bold = painter.font();
    bold.setBold(true);
    painter.setFont(bold);
    const QRect banner(geometry.Rect().left(), geometry.Rect().top(), geometry.Rect().width(),
        painter.fontMetrics().height() + 8);
    painter.fillRect(banner, BANNER_COLOUR);
    painter.setPen(Qt::white);
    painter.drawText(
        banner, Qt::AlignCenter, QStringLiteral("ALARM ") + raised.join(QStringLiteral("  \u2022  ")));
}
