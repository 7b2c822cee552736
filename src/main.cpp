#include "main.h"

#include "ViewerOptions.h"
#include "WidgetStyle.h"
#include "keep/SignalNotifier.h"
#include "mainwindow.h"

#include <QApplication>
#include <csignal>

namespace {

// systemctl stop, a shutdown, ^C or a closed terminal end the viewer as its
// Exit button does: the loop ends after its cycle, the recording is flushed,
// snapshots being written are finished, the web server closes, and the
// status is 0.
void CloseOnStopSignals(MainWindow &window)
{
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        SignalNotifier *stop = new SignalNotifier(number, &window);
        QObject::connect(stop, &SignalNotifier::Raised, &window, &QWidget::close);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Answered before a display is needed: asking for help works over ssh.
    if (AsksForHelpOrVersion(argc, argv)) {
        QCoreApplication application(argc, argv);
        return PrintHelpOrVersion();
    }
    const bool styleChosen = StyleChosenOnStart(argc, argv);
    QApplication application(argc, argv); // takes its own options out of the list
    if (!styleChosen)
        UseCommonStyle();
    // A framebuffer whose driver is still loading at boot leaves Qt with no
    // screen, and the window would run where nobody sees it. Ending with a
    // failure lets the kiosk's unit start the viewer again a moment later.
    if (QGuiApplication::primaryScreen() == nullptr)
        return RefuseToStart(QStringLiteral("no screen to show the window on"));
    ViewerOptions options;
    QString error;
    if (!ParseViewerOptions(QCoreApplication::arguments(), options, error))
        return RefuseCommandLine(error);
    if (!PrepareViewerOptions(options, error))
        return RefuseToStart(error);
    MainWindow window;
    ApplyViewerOptions(options, window);
    CloseOnStopSignals(window);
    // A file-size limit (ulimit -f) would end the kiosk at the write that
    // reaches it; ignored, that write fails with EFBIG, which every writer
    // (snapshots, the reference, recordings) reports like a full disk.
    signal(SIGXFSZ, SIG_IGN);
    window.show();
    const int status = application.exec();
    FinishViewerOptions();
    return status;
}
