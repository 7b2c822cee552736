// The README's pictures of the view, made from the simulator: the viewer on
// the offscreen platform with --palette iron --range auto, a tap on the
// hottest pixel once 20 frames are shown, then the picture area
// (view-iron.png) and the whole 800 x 480 window (window-view.png) saved into
// DIR; then again with two spots, a box and an alarm on the warm object, its
// banner and signal pixels (alarm.png, window-alarm.png); then recording
// from the first frame, the window with the recording's mark
// (window-recording.png). Then the calibration's: the page after a cold and
// a hot reference taken from the simulator's flat fields at 20 and 60 C
// (calibration-page.png), and the picture in degrees with the spot meter on
// the warm object (view-celsius.png). Run from the build directory, which
// holds Logo.png and framescope-sim:
//   build/framescope-screenshots docs
#include "ViewerOptions.h"
#include "WidgetStyle.h"
#include "calib/CalibrationController.h"
#include "mainwindow.h"
#include "ui_CalibrationOpener.h"
#include "ui_CalibrationPage.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

const int FRAMES = 20;

// The middle of the brightest pixel's block in the plain six-fold picture.
QPoint Hottest(const unsigned char *image8)
{
    int hottest = 0;
    for (int i = 1; i < FRAME_PIXELS; ++i)
        hottest = image8[i] > image8[hottest] ? i : hottest;
    return QPoint(hottest % FRAME_WIDTH, hottest / FRAME_WIDTH) * 6 + QPoint(3, 3);
}

void Tap(QWidget *widget, QPoint at)
{
    const QPointF global = widget->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QCoreApplication::sendEvent(widget, &release);
}

bool Save(const QPixmap &picture, const QString &path)
{
    const bool saved = picture.save(path);
    fprintf(saved ? stdout : stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

// A viewer with these options until FRAMES frames are shown, then save(),
// which runs inside the acquisition loop's event processing.
bool Shoot(const QStringList &arguments, const std::function<bool(MainWindow &)> &save)
{
    ViewerOptions options;
    QString error;
    if (!ParseViewerOptions(QStringList(QStringLiteral("framescope")) + arguments, options, error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    MainWindow window;
    ApplyViewerOptions(options, window);
    window.show();
    bool saved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (window.iTotalFramesShown + window.iFramesShown < FRAMES)
            return;
        poll.stop();
        saved = save(window);
        window.close();
    });
    poll.start(0);
    QApplication::exec();
    return saved;
}

// The simulator at link, with options; a previous one there ends first, and
// the viewer follows it as an adapter unplugged and plugged in again.
void StartSimulator(QProcess &sim, const QString &link, const QStringList &options)
{
    if (sim.state() != QProcess::NotRunning) {
        sim.terminate();
        sim.waitForFinished();
    }
    sim.start(QStringLiteral("./framescope-sim"), QStringList{QStringLiteral("--link"), link} + options);
    for (int wait = 0; wait < 100 && !QFileInfo::exists(link); ++wait)
        QThread::msleep(50);
}

int Shown(const MainWindow &window)
{
    return window.iTotalFramesShown + window.iFramesShown;
}

// The calibration page as an operator uses it, then the picture it gives.
bool CalibrationPictures(const QDir &out)
{
    const QStringList bad {QStringLiteral("--bad-pixels"), QStringLiteral("6")};
    const QStringList flat {QStringLiteral("--pattern"), QStringLiteral("flat"), QStringLiteral("--temperature")};
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("sensor"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    StartSimulator(sim, link, flat + QStringList{QStringLiteral("20")} + bad);
    ViewerOptions options;
    QString error;
    if (!ParseViewerOptions({QStringLiteral("framescope"), QStringLiteral("--start"), QStringLiteral("--device"), link,
                             QStringLiteral("--calibration"), dir.filePath(QStringLiteral("calibration.json")),
                             QStringLiteral("--reference-frames"), QStringLiteral("8"), QStringLiteral("--palette"),
                             QStringLiteral("iron"), QStringLiteral("--range"), QStringLiteral("auto")},
                            options, error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    MainWindow window;
    ApplyViewerOptions(options, window);
    window.show();
    Ui_CalibrationPage &page = *window.pCalibration->page;
    enum { Cold, ColdTaking, HotWait, HotTaking, Picture } step = Cold;
    int mark = 3; // frames shown before the next step
    bool saved = false;
    const auto full = [&] { return page.progressBar->value() > 0 && page.progressBar->value() == page.progressBar->maximum(); };
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (step == Cold && Shown(window) >= mark) {
            window.pCalibration->opener->pushButton_Calibration->click();
            page.doubleSpinBox_Cold->setValue(20.0);
            page.doubleSpinBox_Hot->setValue(60.0);
            page.pushButton_TakeCold->click();
            step = ColdTaking;
        } else if (step == ColdTaking && full()) {
            StartSimulator(sim, link, flat + QStringList{QStringLiteral("60")} + bad);
            mark = Shown(window) + 5;
            step = HotWait;
        } else if (step == HotWait && Shown(window) >= mark) {
            page.pushButton_TakeHot->click();
            step = HotTaking;
        } else if (step == HotTaking && page.label_Outcome->text().contains(QStringLiteral("Save"))) {
            saved = Save(window.grab(QRect(0, 0, 800, 480)), out.filePath(QStringLiteral("calibration-page.png")));
            page.pushButton_Save->click();
            StartSimulator(sim, link, bad);
            mark = Shown(window) + FRAMES;
            step = Picture;
        } else if (step == Picture && Shown(window) >= mark) {
            poll.stop();
            Tap(window.ui->DisplayImage, Hottest(window.pImage8));
            saved = saved && Save(window.grab(window.ui->DisplayImage->geometry()),
                                  out.filePath(QStringLiteral("view-celsius.png")));
            window.close();
        }
    });
    poll.start(0);
    QCoreApplication::exec();
    sim.terminate();
    sim.waitForFinished();
    return saved;
}

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    UseCommonStyle(); // the program's own look
    if (argc != 2) {
        fprintf(stderr, "usage: framescope-screenshots DIR\n");
        return 2;
    }
    const QDir out(QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath());
    QDir::setCurrent(QCoreApplication::applicationDirPath()); // Logo.png

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("sensor"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral("./framescope-sim"), {QStringLiteral("--link"), link});
    for (int wait = 0; wait < 100 && !QFileInfo::exists(link); ++wait)
        QThread::msleep(50);
    if (!QFileInfo::exists(link)) {
        fprintf(stderr, "framescope-sim did not come up\n");
        return 1;
    }

    const QStringList view = {QStringLiteral("--start"), QStringLiteral("--device"), link,
                              QStringLiteral("--palette"), QStringLiteral("iron"), QStringLiteral("--range"),
                              QStringLiteral("auto")};
    const QStringList alarm = {QStringLiteral("--spot"), QStringLiteral("12,15"), QStringLiteral("--spot"),
                               QStringLiteral("70,60"), QStringLiteral("--box"), QStringLiteral("5,45,30,70"),
                               QStringLiteral("--alarm"), QStringLiteral("hot:max>12000")};
    const bool saved = Shoot(view, [&out](MainWindow &window) {
        Tap(window.ui->DisplayImage, Hottest(window.pImage8));
        // The picture area as seen, with the window's grey bars over its edges.
        return Save(window.grab(window.ui->DisplayImage->geometry()), out.filePath(QStringLiteral("view-iron.png")))
               && Save(window.grab(QRect(0, 0, 800, 480)), out.filePath(QStringLiteral("window-view.png")));
    }) && Shoot(view + alarm, [&out](MainWindow &window) {
        return Save(window.grab(window.ui->DisplayImage->geometry()), out.filePath(QStringLiteral("alarm.png")))
               && Save(window.grab(QRect(0, 0, 800, 480)), out.filePath(QStringLiteral("window-alarm.png")));
    }) && Shoot(view + QStringList{QStringLiteral("--video-start"), QStringLiteral("--video-dir"),
                                   dir.filePath(QStringLiteral("videos"))},
                [&out](MainWindow &window) {
                    return Save(window.grab(QRect(0, 0, 800, 480)),
                                out.filePath(QStringLiteral("window-recording.png")));
                });
    sim.terminate();
    sim.waitForFinished();
    return saved && CalibrationPictures(out) ? 0 : 1;
}
