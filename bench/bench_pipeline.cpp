// Cost of the per-frame work of the acquisition cycle: the receive step's
// byte rule, the conversion with and without correction, the calibration's
// map from samples to degrees (with and without emissivity) and the
// conversion through it, the same through a
// palette and each range of the view, the display plain and with the view's
// overlays, and what --record adds to a receive step; and what a snapshot
// costs the GUI thread, against the writing that its writer thread does;
// and the same for a recording: the hand-over of a frame on the GUI thread,
// and the writer's JPEG, FFV1 and Matroska work for it.
// The link delivers a frame every 146 ms at most; everything here must be a
// small fraction of that on the board.
#include "GUI.h"
#include "Recording.h"
#include "Serial.h"
#include "calib/CelsiusMap.h"
#include "keep/PictureArea.h"
#include "keep/PictureFiles.h"
#include "keep/RawPicture.h"
#include "mainwindow.h"
#include "ui_RecordControls.h"
#include "ui_mainwindow.h"
#include "video/VideoController.h"
#include "video/VideoFile.h"
#include "view/ViewController.h"

#include <QApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QLabel>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

MainWindow *window = nullptr;

void FillFrames()
{
    for (int i = 0; i < RAW_FRAME_SIZE; ++i) {
        window->pRawFrame1[i] = static_cast<unsigned char>((i * 37) & 0x7F);
        window->pRawFrame2[i] = static_cast<unsigned char>((i * 53) & 0x7F);
        window->pRefFrame[i] = static_cast<unsigned char>((i * 11) & 0x7F);
    }
}

// The conversion runs only with a verified frame and an open port.
void PrepareConversion(bool correct)
{
    FillFrames();
    f_FrameRdy = true;
    window->fdSerial = 1;
    window->bTakeReference = false;
    window->bApplyNUC = correct;
    window->iGain = 16;
    window->iOffset = 300;
}

void BM_ConvertPlain(benchmark::State &state)
{
    PrepareConversion(false);
    for (auto _ : state) {
        window->ProcessImage();
        benchmark::DoNotOptimize(window->pImage8[100]);
    }
    window->fdSerial = 0;
}
BENCHMARK(BM_ConvertPlain);

void BM_ConvertCorrected(benchmark::State &state)
{
    PrepareConversion(true);
    for (auto _ : state) {
        window->ProcessImage();
        benchmark::DoNotOptimize(window->pImage8[100]);
    }
    window->fdSerial = 0;
}
BENCHMARK(BM_ConvertCorrected);

// A calibration of slopes around 0.01 degrees a count with a bad pixel in
// every hundred, as the per-frame map sees it.
std::shared_ptr<const CelsiusMap> MapOf(double emissivity)
{
    Calibration calibration;
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        calibration.slope[i] = 0.01f + 0.001f * (i % 7);
        calibration.intercept[i] = -60.0f;
        calibration.bad[i] = i % 100 == 7;
    }
    ReadingSettings settings;
    settings.emissivity = emissivity;
    return std::make_shared<const CelsiusMap>(calibration, settings);
}

void BM_CelsiusMap(benchmark::State &state, double emissivity)
{
    FillFrames();
    const std::shared_ptr<const CelsiusMap> map = MapOf(emissivity);
    CelsiusPlane plane;
    for (auto _ : state) {
        map->Fill(window->pRawFrame1, plane);
        benchmark::DoNotOptimize(plane[100]);
    }
}
BENCHMARK_CAPTURE(BM_CelsiusMap, black_body, 1.0);
BENCHMARK_CAPTURE(BM_CelsiusMap, emissivity_0_9, 0.9);

// The conversion worker's whole step with a calibration: the frame's degrees
// (a new plane, shared with the frame shown), then its levels through auto.
void BM_ConvertCalibrated(benchmark::State &state, RangeMode mode)
{
    PrepareConversion(false);
    ViewSettings view;
    view.range.mode = mode;
    window->pView->Apply(view);
    window->pCelsiusMap = MapOf(1.0);
    for (auto _ : state) {
        window->ProcessImage();
        benchmark::DoNotOptimize(window->pImage8[100]);
    }
    window->pCelsiusMap = nullptr;
    window->pCelsius = nullptr;
    window->pView->Apply(ViewSettings());
    window->fdSerial = 0;
}
BENCHMARK_CAPTURE(BM_ConvertCalibrated, design, RangeMode::Design);
BENCHMARK_CAPTURE(BM_ConvertCalibrated, auto, RangeMode::Auto);

// A palette and a range for the time of one benchmark; the plain picture
// afterwards. A lock takes the window of the first frame it converts.
class ViewFor
{
public:
    ViewFor(Palette palette, RangeMode mode)
    {
        ViewSettings view;
        view.palette = palette;
        view.range.mode = mode;
        view.range.fixed = {2000, 9000};
        window->pView->Apply(view);
    }
    ~ViewFor() { window->pView->Apply(ViewSettings()); }
    ViewFor(const ViewFor &) = delete;
    ViewFor &operator=(const ViewFor &) = delete;
};

// The conversion as the view asks for it: the palette is only the image's
// colour table, so with the design range this is the conversion above.
void BM_ConvertView(benchmark::State &state, bool correct, Palette palette, RangeMode mode)
{
    PrepareConversion(correct);
    const ViewFor view(palette, mode);
    for (auto _ : state) {
        window->ProcessImage();
        benchmark::DoNotOptimize(window->pImage8[100]);
    }
    window->fdSerial = 0;
}
BENCHMARK_CAPTURE(BM_ConvertView, plain_iron_design, false, Palette::Iron, RangeMode::Design);
BENCHMARK_CAPTURE(BM_ConvertView, plain_iron_auto, false, Palette::Iron, RangeMode::Auto);
BENCHMARK_CAPTURE(BM_ConvertView, plain_iron_locked, false, Palette::Iron, RangeMode::Locked);
BENCHMARK_CAPTURE(BM_ConvertView, plain_iron_fixed, false, Palette::Iron, RangeMode::Fixed);
BENCHMARK_CAPTURE(BM_ConvertView, corrected_iron_design, true, Palette::Iron, RangeMode::Design);
BENCHMARK_CAPTURE(BM_ConvertView, corrected_iron_auto, true, Palette::Iron, RangeMode::Auto);
BENCHMARK_CAPTURE(BM_ConvertView, corrected_iron_locked, true, Palette::Iron, RangeMode::Locked);
BENCHMARK_CAPTURE(BM_ConvertView, corrected_iron_fixed, true, Palette::Iron, RangeMode::Fixed);

// Shows the same converted frame again and again.
void DisplayRepeatedly(benchmark::State &state)
{
    PrepareConversion(false);
    window->ProcessImage();
    for (auto _ : state) {
        f_FrameRdy = true;
        window->bImageProcessed = true;
        window->DisplayImage();
    }
    window->fdSerial = 0;
}

// Image over the buffer, pixmap, six-fold scaling, into the label (the
// per-frame timing line off, as by default).
void BM_Display(benchmark::State &state)
{
    DisplayRepeatedly(state);
}
BENCHMARK(BM_Display);

// A tap ends with the release of the button, which the view acts on.
void ReleaseOn(QWidget *widget, QPoint at)
{
    QMouseEvent release(QEvent::MouseButtonRelease, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

// The display with all the view draws: iron with the auto range's colour
// bar, the spot meter's reading (one pass over the frame) and its cross-hair.
void BM_DisplayView(benchmark::State &state)
{
    const ViewFor view(Palette::Iron, RangeMode::Auto);
    PrepareConversion(false);
    window->ProcessImage();
    f_FrameRdy = true;
    window->bImageProcessed = true;
    window->DisplayImage();
    ReleaseOn(window->ui->DisplayImage, QPoint(250, 240));
    if (!window->pView->HasSpot())
        std::abort();
    for (auto _ : state) {
        f_FrameRdy = true;
        window->bImageProcessed = true;
        window->DisplayImage();
    }
    window->fdSerial = 0;
    ReleaseOn(window->ui->DisplayImage, window->pView->ReadingBox().center());
}
BENCHMARK(BM_DisplayView);

// All that the per-frame timing line costs while it is off: one check.
void BM_FramesCategoryOff(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(lcFrames().isDebugEnabled());
}
BENCHMARK(BM_FramesCategoryOff);

void DropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// The display with the timing line on: clock, formatting and the message
// handler (here one that drops it, so stderr is not what is measured).
void BM_DisplayFramesCategoryOn(benchmark::State &state)
{
    QLoggingCategory::setFilterRules(QStringLiteral("framescope.frames.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(DropMessage);
    DisplayRepeatedly(state);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
}
BENCHMARK(BM_DisplayFramesCategoryOn);

// The part of a snapshot on the GUI thread, inside the loop's event
// processing: the grab of the picture area and the raw picture of its frame.
void BM_SnapshotOnGuiThread(benchmark::State &state)
{
    PrepareConversion(false);
    window->ProcessImage();
    f_FrameRdy = window->bImageProcessed = true;
    window->DisplayImage();
    for (auto _ : state) {
        const QImage shown = GrabPictureArea(window->ui->DisplayImage);
        const QImage raw = RawPicture(window->pRawFrame1, RawFacts());
        benchmark::DoNotOptimize(shown.constBits());
        benchmark::DoNotOptimize(raw.constBits());
    }
    window->fdSerial = 0;
}
BENCHMARK(BM_SnapshotOnGuiThread)->Unit(benchmark::kMicrosecond);

// A picture of the picture area's size made from the raw frame's bytes, as
// the writers get one.
QImage ShownPictureStandIn()
{
    return QPixmap::fromImage(QImage(window->pRawFrame1, 84, 80, 84, QImage::Format_Indexed8))
        .scaled(imgSize)
        .toImage();
}

// The writer thread's part: both PNG files encoded and put in place.
void BM_SnapshotWrite(benchmark::State &state)
{
    QTemporaryDir dir;
    FillFrames();
    const QImage shown = ShownPictureStandIn();
    const QImage raw = RawPicture(window->pRawFrame1, RawFacts());
    for (auto _ : state)
        benchmark::DoNotOptimize(WriteSnapshot(dir.path(), QDateTime::currentDateTime(), shown, raw).bWritten);
}
BENCHMARK(BM_SnapshotWrite)->Unit(benchmark::kMillisecond);

// A frame shown as the display step makes it, numbered anew each time.
ShownFramePtr BenchFrame(quint64 number)
{
    auto frame = std::make_shared<ShownFrame>();
    frame->number = number;
    memcpy(frame->raw.data(), window->pRawFrame1, RAW_FRAME_SIZE);
    frame->arrivedMicros = static_cast<qint64>(number) * 146000; // the link's pace
    return frame;
}

// What a recording costs the GUI thread for every frame shown: the grab of
// the picture area (shared with the web stream) and the hand-over to the
// writer. Frames the writer cannot take yet are dropped, after the grab.
void BM_RecordingHandOver(benchmark::State &state)
{
    QTemporaryDir dir;
    PrepareConversion(false);
    window->ProcessImage();
    f_FrameRdy = window->bImageProcessed = true;
    window->DisplayImage();
    window->pVideo->SetDirectory(dir.path());
    window->pVideo->StartWithNextFrame();
    quint64 number = 1u << 20;
    for (auto _ : state)
        window->pVideo->FrameShown(BenchFrame(++number));
    window->pVideo->ui->pushButton_Record->click(); // stops
    window->fdSerial = 0;
}
BENCHMARK(BM_RecordingHandOver)->Unit(benchmark::kMicrosecond);

// The writer's part for one frame: the picture's JPEG, the samples' FFV1
// and both packets into the file.
void BM_RecordingWrite(benchmark::State &state)
{
    QTemporaryDir dir;
    FillFrames();
    const QImage shown = ShownPictureStandIn();
    VideoFile file;
    QString reason;
    if (!file.Open(dir.filePath("bench.mkv"), VideoTags(), shown.size(), reason))
        std::abort();
    quint64 number = 0;
    for (auto _ : state) {
        const AreaPicture picture(shown);
        if (!file.Add(*BenchFrame(++number), *picture.Jpeg(), reason))
            std::abort();
    }
    file.Flush(reason);
    state.counters["bytes/frame"] = double(QFileInfo(dir.filePath("bench.mkv")).size()) / double(number);
}
BENCHMARK(BM_RecordingWrite)->Unit(benchmark::kMillisecond);

// One whole frame through the receive step, from a pipe.
void BM_ReceiveFrame(benchmark::State &state)
{
    unsigned char wire[RAW_FRAME_SIZE + 7];
    unsigned int sum = 0;
    wire[0] = 0x02;
    for (int i = 0; i < RAW_FRAME_SIZE; ++i) {
        wire[1 + i] = static_cast<unsigned char>(0x80 | ((i * 29) & 0x7F));
        sum += (i * 29) & 0x7F;
    }
    wire[RAW_FRAME_SIZE + 1] = 0x03;
    for (int k = 0; k < 5; ++k)
        wire[RAW_FRAME_SIZE + 2 + k] = static_cast<unsigned char>((sum >> (7 * k)) & 0x7F);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        std::abort();
    for (auto _ : state) {
        state.PauseTiming();
        if (write(pipeFds[1], wire, sizeof wire) != static_cast<ssize_t>(sizeof wire))
            std::abort();
        state.ResumeTiming();
        while (!f_FrameAcquired)
            ReadDataOnSerialPort(&pipeFds[0], window->pRawFrame1, window->pRawFrame2,
                                 &window->uCksumRead, &window->uCksumCalc, &window->uCksumBuffer);
        f_FrameAcquired = false;
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
}
BENCHMARK(BM_ReceiveFrame);

// What --record adds to one receive step that read `range(0)` bytes: the copy
// into the recording's buffer and, every 64 KiB, the write of a full buffer
// to a file. 8192 is the most one step reads; at the link rate a busy loop
// sees a few dozen bytes per step.
void BM_RecordStep(benchmark::State &state)
{
    char path[] = "/tmp/framescope-bench-record-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    close(fd);
    std::string reason;
    if (!StartRecording(path, reason))
        std::abort();
    unsigned char bytes[8192];
    memset(bytes, 0x95, sizeof bytes);
    const size_t count = static_cast<size_t>(state.range(0));
    size_t recorded = 0;
    for (auto _ : state) {
        RecordBytes(bytes, count);
        recorded += count;
        if (recorded >= 8 * 1024 * 1024) { // keep the file small: start it afresh
            state.PauseTiming();
            if (!StartRecording(path, reason))
                std::abort();
            recorded = 0;
            state.ResumeTiming();
        }
    }
    StopRecording();
    unlink(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RecordStep)->Arg(32)->Arg(1024)->Arg(8192);

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    MainWindow mainWindow;
    window = &mainWindow;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
