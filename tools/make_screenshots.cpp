// The README's pictures of the view, made from the simulator: the viewer on
// the offscreen platform with --palette iron --range auto, a tap on the
// hottest pixel once 20 frames are shown, then the picture area
// (view-iron.png) and the whole 800 x 480 window (window-view.png) saved into
// DIR; then Record pressed, and 20 frames later the window with the
// recording's mark (window-recording.png). Run from the build directory,
// which holds Logo.png and framescope-sim:
//   build/framescope-screenshots docs
#include "ViewerOptions.h"
#include "WidgetStyle.h"
#include "mainwindow.h"
#include "ui_RecordControls.h"
#include "ui_mainwindow.h"
#include "video/VideoController.h"

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

    ViewerOptions options;
    QString error;
    const QStringList arguments = {QStringLiteral("framescope"), QStringLiteral("--start"),
                                   QStringLiteral("--device"), link, QStringLiteral("--palette"),
                                   QStringLiteral("iron"), QStringLiteral("--range"), QStringLiteral("auto")};
    if (!ParseViewerOptions(arguments, options, error)) {
        fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    MainWindow window;
    ApplyViewerOptions(options, window);
    window.show();

    window.pVideo->SetDirectory(dir.filePath(QStringLiteral("videos")));

    // Runs inside the acquisition loop's event processing.
    bool saved = false;
    int recordFrom = 0; // the frame count when Record was pressed
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const int shown = window.iTotalFramesShown + window.iFramesShown;
        if (shown < FRAMES || (recordFrom > 0 && shown < recordFrom + FRAMES))
            return;
        if (recordFrom > 0) {
            poll.stop();
            saved = Save(window.grab(QRect(0, 0, 800, 480)),
                         out.filePath(QStringLiteral("window-recording.png")));
            window.pVideo->ui->pushButton_Record->click();
            window.close();
            return;
        }
        Tap(window.ui->DisplayImage, Hottest(window.pImage8));
        // The picture area as seen, with the window's grey bars over its edges.
        saved = Save(window.grab(window.ui->DisplayImage->geometry()), out.filePath(QStringLiteral("view-iron.png")))
                && Save(window.grab(QRect(0, 0, 800, 480)), out.filePath(QStringLiteral("window-view.png")));
        if (!saved) {
            window.close();
            return;
        }
        window.pVideo->ui->pushButton_Record->click();
        recordFrom = shown;
    });
    poll.start(0);
    application.exec();
    sim.terminate();
    sim.waitForFinished();
    return saved ? 0 : 1;
}
