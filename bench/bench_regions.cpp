// Cost a frame of the regions and their alarms on the GUI thread: the
// readings of four spots, two boxes and the frame with four alarms moved
// (every shown frame, with --spot/--box/--alarm or --mqtt), and the overlay
// drawn over the picture with a raised alarm's signal pixels (the repaint
// that follows). The link delivers a frame every 146 ms at most.
#include "regions/RegionMonitor.h"
#include "regions/RegionsView.h"

#include <QApplication>
#include <QLabel>
#include <QLoggingCategory>
#include <QPixmap>
#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

ShownFramePtr Frame(quint64 number)
{
    auto frame = std::make_shared<ShownFrame>();
    frame->number = number;
    for (int i = 0; i < FRAME_PIXELS; ++i)
        EncodeSample(frame->raw.data(), i, (i * 37 + int(number)) % 16384);
    return frame;
}

RegionSet FullSet()
{
    RegionSet set;
    set.spots = {QPoint(1, 1), QPoint(20, 30), QPoint(50, 60), QPoint(83, 79)};
    set.boxes = {QRect(0, 0, 40, 40), QRect(30, 20, 54, 60)};
    set.bExtremes = true;
    return set;
}

AlarmSettings FourAlarms()
{
    AlarmSettings alarms;
    for (const char *text : {"max>8000", "spot2<100", "box1.mean>5000", "box2.max>16000"}) {
        AlarmRule rule;
        QString error;
        if (!ParseAlarm(QString::fromLatin1(text), rule, error))
            std::abort();
        alarms.rules << rule;
    }
    return alarms;
}

void BM_RegionsAndAlarms(benchmark::State &state)
{
    RegionMonitor monitor(FullSet(), FourAlarms(), nullptr);
    const ShownFramePtr frames[2] = {Frame(1), Frame(2)};
    quint64 n = 0;
    for (auto _ : state) {
        monitor.FrameShown(frames[n++ & 1]);
        benchmark::DoNotOptimize(monitor.Readings().frame.mean.value);
    }
}
BENCHMARK(BM_RegionsAndAlarms);

// The overlay of the full set with "max>8000" raised: about half the frame
// in the signal colour, the worst case.
void BM_OverlayPaint(benchmark::State &state)
{
    QWidget parent;
    QLabel picture(&parent);
    picture.setGeometry(0, 0, PICTURE_WIDTH, PICTURE_HEIGHT);
    RegionMonitor monitor(FullSet(), FourAlarms(), nullptr);
    RegionsView view(
        &monitor, &picture, [] { return ViewTransform(); }, &parent, QRect(0, 0, 130, 25));
    monitor.FrameShown(Frame(1));
    QPixmap target(PICTURE_WIDTH, PICTURE_HEIGHT);
    for (auto _ : state)
        picture.render(&target);
}
BENCHMARK(BM_OverlayPaint);

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); // the alarms' lines
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
