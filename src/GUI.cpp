#include "GUI.h"

#include "WindowCommand.h"
#include "http/HttpController.h"
#include "keep/KeepController.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "view/ViewController.h"

#include <QDebug>
#include <QLoggingCategory>
#include <cstring>
#include <time.h>

const QSize imgSize(6 * FRAME_WIDTH, 6 * FRAME_HEIGHT);

// One line per frame handed to the display, for timing the way from the
// sensor to the screen. Off unless switched on, e.g. with
// QT_LOGGING_RULES="framescope.frames.debug=true"; then it reads
// "framescope.frames: shown <microseconds> <checksum in hex>".
Q_LOGGING_CATEGORY(lcFrames, "framescope.frames", QtWarningMsg)

namespace {

// CLOCK_MONOTONIC, the clock framescope-sim stamps the frames it sends with.
qint64 MonotonicMicros()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

void MainWindow::InitImagesArray()
{
    pRawFrame1 = AllocateOrQuit<unsigned char>(RAW_FRAME_SIZE);
    pRawFrame2 = AllocateOrQuit<unsigned char>(RAW_FRAME_SIZE);
    pImage8 = AllocateOrQuit<unsigned char>(FRAME_PIXELS);
    pRefFrame = AllocateOrQuit<unsigned char>(RAW_FRAME_SIZE);
    ClearFrameBuffers();
    qDebug() << "Initalisation pointeurs done";
}

void MainWindow::CheckBox_ApplyNUC(int state)
{
    bApplyNUC = state != 0;
}

void MainWindow::PushButton_TakeReferenceImage()
{
    bTakeReference = true;
}

void MainWindow::PushButton_Cmd()
{
    // The flag follows this button only: a window closed by its frame needs
    // one press to clear the flag and a second one to come back.
    pWindowCommand->bIsShown = !pWindowCommand->bIsShown;
    if (pWindowCommand->bIsShown)
        pWindowCommand->show();
    else
        pWindowCommand->close();
}

// The receiver has just switched buffers: the newest frame is in the one it
// is not filling.
unsigned char *MainWindow::NewestRawFrame() const
{
    return f_SwitchImage ? pRawFrame1 : pRawFrame2;
}

// The newest frame with the correction's settings, as the view reads it.
FrameSamples MainWindow::NewestSamples() const
{
    return FrameSamples{NewestRawFrame(), pRefFrame, bApplyNUC, iGain, iOffset};
}

// What a kept picture of the newest frame says about it; the time is the keeper's.
RawFacts MainWindow::NewestFacts() const
{
    RawFacts facts;
    facts.bChecksum = true;
    facts.checksum = uCksumRead;
    facts.bCorrected = bApplyNUC;
    facts.gain = iGain;
    facts.offset = iOffset;
    return facts;
}

// Runs on the reference worker; the check box is enabled by the cycle after
// the join, on the GUI thread. The store copies the frame, or with
// --reference-frames averages it in; the request stays pending (and the
// picture still) until the last frame of an average is in.
void MainWindow::TakeReferenceImage()
{
    if (!bTakeReference || !f_FrameRdy)
        return;
    if (!pKeep->Reference().Take(NewestRawFrame(), f_FrameAcquired, pRefFrame))
        return;
    bTakeReference = false;
}

void MainWindow::ProcessImage()
{
    if (!f_FrameRdy || bTakeReference || fdSerial == 0)
        return;
    if (pView->Range().MapsToWindow())
        pView->Range().Convert(NewestSamples(), pImage8);
    else if (bApplyNUC)
        ConvertCorrected(NewestRawFrame());
    else
        ConvertPlain(NewestRawFrame());
    bImageProcessed = true;
}

// The top 8 of the 14 sample bits.
void MainWindow::ConvertPlain(const unsigned char *raw)
{
    for (int i = 0; i < FRAME_PIXELS; ++i)
        pImage8[i] = static_cast<unsigned char>((raw[2 * i] << 1) + ((raw[2 * i + 1] & 0x40) >> 6));
}

// Four times the sample, as the correction works on it.
static inline int Sample4(const unsigned char *frame, int i)
{
    return ((frame[2 * i] << 9) + (frame[2 * i + 1] << 2)) & 0xFFFC;
}

// Gain x (sample - reference + offset) / 256, rounded down and saturated.
void MainWindow::ConvertCorrected(const unsigned char *raw)
{
    for (int i = 0; i < FRAME_PIXELS; ++i) {
        const int v = iGain * (Sample4(raw, i) - Sample4(pRefFrame, i) + iOffset) >> 8;
        pImage8[i] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

void MainWindow::DisplayImage()
{
    if (!f_FrameRdy || fdSerial == 0 || !bImageProcessed)
        return;
    // Over the buffer, not a copy; without a colour table each value shows as
    // its own grey. Without options or touches the view enlarges it as it is.
    const QImage frame(pImage8, FRAME_WIDTH, FRAME_HEIGHT, FRAME_WIDTH, QImage::Format_Indexed8);
    ui->DisplayImage->setPixmap(pView->PictureOf(frame, NewestSamples()));
    // The checksum the sensor sent is the frame's name on both ends of the line.
    qCDebug(lcFrames).noquote() << "shown" << MonotonicMicros() << QString::number(uCksumRead, 16);
    pKeep->FrameShown(NewestRawFrame(), NewestFacts());
    if (pHttp != nullptr)
        pHttp->FrameShown(NewestRawFrame(), NewestFacts());
    ++iFramesShown;
    bImageProcessed = false;
    f_FrameRdy = false;
}
