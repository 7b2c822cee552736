// Cost of the per-frame work of the acquisition cycle: the receive step's
// byte rule, the conversion with and without correction, and the display.
// The link delivers a frame every 146 ms at most; everything here must be a
// small fraction of that on the board.
#include "GUI.h"
#include "Serial.h"
#include "mainwindow.h"

#include <QApplication>
#include <QLoggingCategory>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
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

// Image over the buffer, pixmap, six-fold scaling, into the label (the
// per-frame timing line off, as by default).
void BM_Display(benchmark::State &state)
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
BENCHMARK(BM_Display);

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
    PrepareConversion(false);
    window->ProcessImage();
    for (auto _ : state) {
        f_FrameRdy = true;
        window->bImageProcessed = true;
        window->DisplayImage();
    }
    window->fdSerial = 0;
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
}
BENCHMARK(BM_DisplayFramesCategoryOn);

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
