#include "GUI.h"

#include "WindowCommand.h"
#include "calib/CalibrationController.h"
#include "keep/RawPicture.h"
#include "keep/ReferenceStore.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "view/PictureLabel.h"
#include "view/ViewController.h"

#include <QDebug>
#include <QLoggingCategory>
#include <cstring>
#include <time.h>

const QSize imgSize(PICTURE_WIDTH, PICTURE_HEIGHT);

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

// The newest frame with the correction's settings, as the conversion reads it.
FrameSamples MainWindow::NewestSamples() const
{
    return FrameSamples{NewestRawFrame(), pRefFrame, bApplyNUC, iGain, iOffset};
}

// What the reference's file says about the newest frame; the time is the store's.
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
    if (!pReference->Take(NewestRawFrame(), f_FrameAcquired, pRefFrame))
        return;
    bTakeReference = false;
}

// The view's range converts: the design's conversion unless the operator
// chose another range.
void MainWindow::ProcessImage()
{
    if (!f_FrameRdy || bTakeReference || fdSerial == 0)
        return;
    pCelsius = pCelsiusMap ? pCelsiusMap->Plane(NewestRawFrame()) : nullptr;
    pView->Range().Convert(NewestSamples(), pImage8, pCelsius.get());
    bImageProcessed = true;
}

void MainWindow::DisplayImage()
{
    if (!f_FrameRdy || fdSerial == 0 || !bImageProcessed)
        return;
    const ShownFramePtr frame = NewShownFrame();
    // Without options or touches the view enlarges the grey levels as they are.
    ShowOnPictureArea(ui->DisplayImage, pView->PictureOf(frame));
    // The checksum the sensor sent is the frame's name on both ends of the line.
    qCDebug(lcFrames).noquote() << "shown" << frame->arrivedMicros << QString::number(frame->checksum, 16);
    pShownFrames->Publish(frame);
    ++iFramesShown;
    bImageProcessed = false;
    f_FrameRdy = false;
}

// The frame being shown, as everything that watches the picture gets it.
ShownFramePtr MainWindow::NewShownFrame()
{
    const std::shared_ptr<ShownFrame> frame = std::make_shared<ShownFrame>();
    frame->number = ++uFramesShownSinceLaunch;
    memcpy(frame->raw.data(), NewestRawFrame(), RAW_FRAME_SIZE);
    frame->checksum = uCksumRead;
    frame->arrivedMsecs = QDateTime::currentMSecsSinceEpoch();
    frame->arrivedMicros = MonotonicMicros();
    frame->bCorrected = bApplyNUC;
    frame->gain = iGain;
    frame->offset = iOffset;
    if (bApplyNUC)
        frame->reference = SharedReference();
    memcpy(frame->levels.data(), pImage8, FRAME_PIXELS);
    frame->celsius = pCelsius;
    if (pCelsius && pCalibration) {
        frame->basis = pCalibration->Basis();
        frame->bReadingsMayBeOff = pCalibration->ReadingsMayBeOff();
    }
    return frame;
}

// The reference as frames shown share it: copied again only once the
// reference buffer holds another one (a capture, a restored file).
std::shared_ptr<const RawFrameBytes> MainWindow::SharedReference()
{
    if (!pSharedReference || memcmp(pSharedReference->data(), pRefFrame, RAW_FRAME_SIZE) != 0) {
        const std::shared_ptr<RawFrameBytes> copy = std::make_shared<RawFrameBytes>();
        memcpy(copy->data(), pRefFrame, RAW_FRAME_SIZE);
        pSharedReference = copy;
    }
    return pSharedReference;
}
