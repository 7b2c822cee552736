// Draws the viewer's window on this machine, as the board check compares it
// with the board's screen: the whole window, with the controls the kiosk's
// options add (the calibration page's opener), during a run with no adapter
// (idle look: the logo in the picture area), and the frame-rate readout with
// each count from 0 to 30 ("0FPS" ... "30FPS"), as PPM files in OUTDIR.
// Started on the offscreen platform, in a directory holding Logo.png.
//   framescope-board-reference OUTDIR
#include "ViewerOptions.h"
#include "WidgetStyle.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

namespace {

const int MAX_READOUT = 30;

bool Save(const QPixmap &picture, const QString &path)
{
    if (picture.toImage().convertToFormat(QImage::Format_RGB888).save(path, "PPM"))
        return true;
    std::fprintf(stderr, "framescope-board-reference: cannot write %s\n", qPrintable(path));
    return false;
}

// Runs inside the acquisition loop, once the window shows the idle look of
// a run whose adapter is missing.
bool DrawAll(MainWindow &window, const QDir &out)
{
    bool saved = Save(window.grab(), out.filePath("window.ppm"));
    QLabel *readout = window.ui->label_FrameRate;
    for (int count = 0; count <= MAX_READOUT; ++count) {
        readout->setText(QString::number(count) + QStringLiteral("FPS"));
        // From the window, as the screen shows it: the label alone has no
        // background of its own.
        const QRect area(readout->mapTo(&window, QPoint(0, 0)), readout->size());
        saved = Save(window.grab(area), out.filePath(QStringLiteral("readout-%1.ppm").arg(count))) && saved;
    }
    return saved;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: framescope-board-reference OUTDIR\n");
        return 2;
    }
    const bool styleChosen = StyleChosenOnStart(argc, argv);
    QApplication application(argc, argv);
    if (!styleChosen)
        UseCommonStyle();
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.exists() || !SetPortPattern("/nonexistent/framescope-board/ttyUSB%d")) {
        std::fprintf(stderr, "framescope-board-reference: no directory %s\n", argv[1]);
        return 2;
    }
    // As the kiosk's unit starts it, as far as the look goes: with no
    // calibration made yet.
    ViewerOptions options;
    QString error;
    if (!ParseViewerOptions({QStringLiteral("framescope"), QStringLiteral("--calibration"),
                             out.filePath(QStringLiteral("calibration.json"))},
                            options, error)) {
        std::fprintf(stderr, "framescope-board-reference: %s\n", qPrintable(error));
        return 2;
    }
    MainWindow window;
    ApplyViewerOptions(options, window);
    window.show();
    bool saved = false;
    // Two ticks into the run, as on the board a while after the adapter went.
    QTimer::singleShot(2500, &window, [&] {
        saved = DrawAll(window, out);
        window.ui->pushButton_Stop->click();
    });
    window.ui->pushButton_Start->click(); // the run: returns once Stop is seen
    return saved ? 0 : 1;
}
