#include "mainwindow.h"

#include "GUI.h"
#include "Process_Serial.h"
#include "Serial.h"
#include "WindowCommand.h"
#include "WireWait.h"
#include "calib/CalibrationController.h"
#include "keep/PictureArea.h"
#include "keep/ReferenceStore.h"
#include "keep/SignalNotifier.h"
#include "keep/SnapshotController.h"
#include "ui_mainwindow.h"
#include "video/VideoController.h"
#include "view/PictureLabel.h"
#include "view/ViewController.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QTimer>
#include <cstdlib>
#include <cstring>

MainWindow *pMainWindow = nullptr;

pthread_t pthread_GetData;
pthread_t pthread_TakeReferenceImage;
pthread_t pthread_ProcessImage;

namespace {

const int TICK_MS = 1000;
const int KNOB_FIRST = 1;      // the dials run 1..16 and wrap: 16 and 1 meet
const int KNOB_LAST = 16;
const int GAIN_UNIT = 1;
const int OFFSET_UNIT = 100;

// How the picture of a recording is seen when its file starts.
VideoTags ViewTags(ViewController &view)
{
    return VideoTags {{QStringLiteral("PALETTE"), PaletteName(view.CurrentPalette())},
                      {QStringLiteral("RANGE"), view.Range().Name()},
                      {QStringLiteral("ROTATION"), QString::number(view.Transform().rotation)},
                      {QStringLiteral("MIRROR"), QString::number(view.Transform().mirror ? 1 : 0)}};
}

// What the loop cost in the last second, for the tick's timing line: the
// cycles it ran and the worker threads they started.
int iCyclesThisSecond = 0;
int iWorkersThisSecond = 0;

// "framescope.frames: loop <cycles> <workers started>", once a second.
void LogLoopCost()
{
    qCDebug(lcFrames).noquote() << "loop" << iCyclesThisSecond << iWorkersThisSecond;
    iCyclesThisSecond = 0;
    iWorkersThisSecond = 0;
}

// Runs one pipeline step on a short-lived worker and waits for it: the
// create/join pair is what orders the step against the GUI thread.
void RunWorker(pthread_t *handle, void *(*entry)(void *), const char *step)
{
    static bool bCreateFailed = false;
    const int created = pthread_create(handle, nullptr, entry, nullptr);
    if (created != 0) {
        // No worker exists, so the step can safely run here instead.
        if (!bCreateFailed)
            qDebug() << "Worker for" << step << "not created:" << strerror(created)
                     << "- running it on the GUI thread";
        bCreateFailed = true;
        entry(nullptr);
        return;
    }
    bCreateFailed = false;
    ++iWorkersThisSecond;
    const int joined = pthread_join(*handle, nullptr);
    if (joined != 0) {
        // The worker may still be writing the frame buffers: no later step
        // may start, and there is no way left to wait for it.
        qCritical() << "Worker for" << step << "could not be joined:" << strerror(joined)
                    << "- framescope stops";
        std::_Exit(EXIT_FAILURE);
    }
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("VELMORA KVT2-D Lumen Deck 1x v1.1"));
    showFullScreen();
    pWindowCommand = new WindowCommand(nullptr);
    PlaceCommandWindow();
    ui->label_Title->setText(QStringLiteral("KVT2-D Lumen Deck 1x"));
    GetPointerToInstance();
    ui->label_Copyright->setText(QStringLiteral("\u00A9 2017 VELMORA\n"
                                                "Lumen Deck v1.1"));
    imgLogo.load(QString::fromLatin1(LOGO_FILE));
    pixLogo = QPixmap::fromImage(imgLogo);
    ui->label_LogoQZ->setPixmap(pixLogo);
    ui->checkBox_ApplyNUC->setEnabled(false);
    ui->pushButton_TakeFPN->setEnabled(false);
    ConnectControls();
    pTimer1s = new QTimer(this);
    connect(pTimer1s, SIGNAL(timeout()), this, SLOT(Timer1s_Timeout()));
    // Before the buffers and the logo, which they hear of; the Snapshot and
    // Record buttons share the free strip of the left column, below the
    // view's controls.
    pSnapshots = new SnapshotController(ui->DisplayImage, ui->centralWidget, QRect(10, 395, 60, 40));
    pPictureGrab = new PictureAreaGrab(ui->DisplayImage);
    pVideo = new VideoController(pPictureGrab, ui->DisplayImage, ui->centralWidget, QRect(80, 395, 60, 40));
    pReference = new ReferenceStore;
    InitImagesArray();
    ShowLogo(pixLogo);
    // In the free strip of the left column, between Offset and the copyright.
    pView = new ViewController(ui->DisplayImage, ui->centralWidget, QRect(10, 345, 130, 40));
    pShownFrames = new FrameFeed(this);
    ConnectShownFrames();
    pPortName = AllocateOrQuit<char>(PORT_NAME_SIZE);
    pPortName[0] = '\0'; // no device in use yet
}

MainWindow::~MainWindow()
{
    bStop = true;
    if (pWindowCommand->bIsShown) {
        pWindowCommand->bIsShown = false;
        pWindowCommand->close();
    }
    delete ui;
    // The window is the process's only one; releasing its blocks keeps leak
    // checkers quiet and costs nothing.
    delete pWindowCommand;
    delete pReference;
    delete pPictureGrab;
    delete[] pPortName;
    delete[] pRawFrame1;
    delete[] pRawFrame2;
    delete[] pRefFrame;
    delete[] pImage8;
    if (pMainWindow == this)
        pMainWindow = nullptr;
}

void MainWindow::GetPointerToInstance()
{
    pMainWindow = this;
}

void MainWindow::ConnectControls()
{
    connect(ui->checkBox_ApplyNUC, SIGNAL(stateChanged(int)), this, SLOT(CheckBox_ApplyNUC(int)));
    connect(ui->pushButton_TakeFPN, SIGNAL(released()), this, SLOT(PushButton_TakeReferenceImage()));
    connect(ui->dial_Offset, SIGNAL(valueChanged(int)), this, SLOT(Dial_Offset(int)));
    connect(ui->dial_Gain, SIGNAL(valueChanged(int)), this, SLOT(Dial_Gain(int)));
    connect(ui->pushButton_Exit, SIGNAL(released()), this, SLOT(close()));
    connect(ui->pushButton, SIGNAL(released()), this, SLOT(PushButton_Cmd()));
    connect(ui->pushButton_Start, SIGNAL(released()), this, SLOT(PushButton_Start()));
    connect(ui->pushButton_Stop, SIGNAL(released()), this, SLOT(PushButton_Stop()));
    connect(ui->spinBox_Gain, SIGNAL(valueChanged(int)), this, SLOT(SpinBox_Gain(int)));
    connect(ui->spinBox_Offset, SIGNAL(valueChanged(int)), this, SLOT(SpinBox_Offset(int)));
    connect(pWindowCommand, SIGNAL(SendCommandSensor()), this, SLOT(PushButton_SendSensor()));
    connect(pWindowCommand, SIGNAL(SendCommandProxy()), this, SLOT(PushButton_Send()));
}

// Those that watch the picture get every frame shown; the web server, made
// later and only with --http, is connected where it is made.
void MainWindow::ConnectShownFrames()
{
    connect(pShownFrames, &FrameFeed::Shown, pSnapshots, &SnapshotController::FrameShown);
    connect(pShownFrames, &FrameFeed::Shown, pVideo, &VideoController::FrameShown);
    pVideo->AddTagSource([this] { return ViewTags(*pView); });
}

// Without a window manager a new top-level window opens at 0,0, over Start,
// Stop, Cmd and Exit. Centre the command window over the picture instead,
// where it hides no control.
void MainWindow::PlaceCommandWindow()
{
    QRect place(QPoint(0, 0), pWindowCommand->size());
    place.moveCenter(geometry().topLeft() + ui->DisplayImage->geometry().center());
    pWindowCommand->move(place.topLeft());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    bStop = true;
    if (fdSerial > 0) {
        CloseSerial(&fdSerial);
        // The number is free for reuse now: nothing of the last cycle may read
        // or write it, and no tick may reopen the port while the window closes.
        fdSerial = 0;
    }
    pTimer1s->stop();
    event->accept();
}

void MainWindow::PushButton_Start()
{
    ui->pushButton_Start->setEnabled(false);
    ui->pushButton_Stop->setEnabled(true);
    iSecondsElapsed = 0;
    iTotalFramesShown = 0;
    if (!pTimer1s->isActive())
        pTimer1s->start(TICK_MS);
    iFramesShown = 0;
    iCyclesThisSecond = iWorkersThisSecond = 0; // a run's lines count its own cycles
    while (!bStopped) {
        ++iCyclesThisSecond;
        RunCycle();
        if (pWireWait != nullptr && !bStopped)
            pWireWait->AfterCycle();
    }
    WindDown();
}

void MainWindow::RunCycle()
{
    QCoreApplication::processEvents();
    {
        // The workers start without the stop signals, which wait for this
        // thread until the last one is joined: one mask change a cycle, not
        // one a worker (a system call each, costly on the board).
        const SignalsKeptFromNewThreads stopsStayHere;
        RunWorker(&pthread_GetData, fn_thread_GetDataFromSerial, "receive");
        VerifyCheckSum_0(uCksumCalc, uCksumRead, uCksumBuffer);
        const bool bReferencePending = bTakeReference;
        RunWorker(&pthread_TakeReferenceImage, fn_thread_TakeReferenceImage, "reference");
        // Widgets belong to the GUI thread: the box is enabled here, after the join.
        if (bReferencePending && !bTakeReference) {
            ui->checkBox_ApplyNUC->setEnabled(true);
            pReference->Taken(pRefFrame, NewestFacts());
        }
        pCelsiusMap = pCalibration ? pCalibration->Map() : nullptr;
        RunWorker(&pthread_ProcessImage, fn_thread_ProcessImage, "conversion");
    }
    DisplayImage();
    SendCommand();
    SendSensor();
    f_FrameAcquired = false;
    bStopped = bStop;
}

void MainWindow::WindDown()
{
    bStop = false;
    bStopped = false;
    if (pTimer1s->isActive())
        pTimer1s->stop();
    iErrorFrame = -1;
    ClearFrameBuffers();
    ShowIdleLook(pixLogo);
    ui->pushButton_Start->setEnabled(true);
    ui->pushButton_Stop->setEnabled(false);
}

void MainWindow::PushButton_Stop()
{
    bStop = true;
}

void MainWindow::Timer1s_Timeout()
{
    CheckSerialAvailable();
    if (iErrorFrame < 0 && iFramesShown > 0)
        iErrorFrame = 0;
    if (fdSerial != 0)
        ui->label_FrameRate->setText(QString::number(iFramesShown) + QStringLiteral("FPS"));
    iTotalFramesShown += iFramesShown;
    ++iSecondsElapsed;
    ui->label_Frame_Time->setText(QString::number(iTotalFramesShown)
                                  + QStringLiteral(" frames shown\nin ")
                                  + QString::number(iSecondsElapsed) + QStringLiteral("s"));
    iFramesShown = 0;
    LogLoopCost();
}

void MainWindow::ClearFrameBuffers()
{
    memset(pRawFrame1, 0, RAW_FRAME_SIZE);
    memset(pRawFrame2, 0, RAW_FRAME_SIZE);
    memset(pRefFrame, 0, RAW_FRAME_SIZE);
    memset(pImage8, 0, FRAME_PIXELS);
    pReference->Restore(pRefFrame); // a kept reference outlives the clearing
}

void MainWindow::ShowLogo(const QPixmap &logo)
{
    ShowOnPictureArea(ui->DisplayImage, logo);
    pSnapshots->PictureGone();
}

void MainWindow::ResetApplyNUC()
{
    // Unchecking reaches CheckBox_ApplyNUC(0), which clears bApplyNUC.
    ui->checkBox_ApplyNUC->setChecked(false);
    // A reference kept in its file stays usable, as right after a capture.
    ui->checkBox_ApplyNUC->setEnabled(pReference->IsKept());
}

// The look of a window that shows no live picture: logo, no rate, and no
// correction until a new reference is taken.
void MainWindow::ShowIdleLook(const QPixmap &logo)
{
    ShowLogo(logo);
    ui->label_FrameRate->setText(QString());
    ResetApplyNUC();
}

void MainWindow::SpinBox_Gain(int value)
{
    iGain = value;
}

void MainWindow::SpinBox_Offset(int value)
{
    iOffset = value;
}

void MainWindow::Dial_Gain(int value)
{
    static int oldValue = 0;
    StepKnob(value, oldValue, iGain, ui->spinBox_Gain, GAIN_UNIT);
}

void MainWindow::Dial_Offset(int value)
{
    static int oldValue = 0;
    StepKnob(value, oldValue, iOffset, ui->spinBox_Offset, OFFSET_UNIT);
}

// One knob report is at most one step, whatever the distance travelled. The
// seam between the last and the first position counts as no movement, and
// a step that starts on a seam position continues the way it came.
void MainWindow::StepKnob(int value, int &oldValue, int &member, QSpinBox *spinBox, int unit)
{
    if ((value == KNOB_FIRST && oldValue == KNOB_LAST)
        || (value == KNOB_LAST && oldValue == KNOB_FIRST))
        return;
    int step = 0;
    if (value > oldValue)
        step = oldValue == KNOB_FIRST ? -unit : unit;
    else if (value < oldValue)
        step = oldValue == KNOB_LAST ? unit : -unit;
    if (step != 0) {
        member += step;
        spinBox->setValue(member);
    }
    member = spinBox->value(); // the spin box's range is the bound
    oldValue = value;
}

