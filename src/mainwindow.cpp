#include "mainwindow.h"

#include "Process_Serial.h"
#include "Serial.h"
#include "Threads.h"
#include "WindowCommand.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

MainWindow *pMainWindow = nullptr;

bool f_FrameAcquired = false;
bool f_ReadCheckSum = false;
bool f_CalcCheckSum = false;
bool f_FrameRdy = false;
bool f_SwitchImage = false;
bool f_Acknowledge = true;
int iErrorFrame = -1;

pthread_t pthread_GetData;
pthread_t pthread_TakeReferenceImage;
pthread_t pthread_ProcessImage;

namespace {

const char LOGO_FILE[] = "Logo.png";
const int TICK_MS = 1000;
const int LAST_PORT_NUMBER = 254;
const int KNOB_FIRST = 1;      // the dials run 1..16 and wrap: 16 and 1 meet
const int KNOB_LAST = 16;
const int GAIN_UNIT = 1;
const int OFFSET_UNIT = 100;
const int PROXY_COMMAND_SIZE = 6;
const int SENSOR_FIELD_LIMIT = 4096;

const char *pPortPattern = "/dev/ttyUSB%d";

// Counts the conversions in pattern; only "%d" once (and "%%") is safe.
bool HoldsOneNumber(const char *pattern)
{
    int numbers = 0;
    for (const char *p = pattern; *p; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == 'd')
            ++numbers;
        else if (*p != '%')
            return false;
    }
    return numbers == 1;
}

// Forms the device path for number n; false when it does not fit.
bool FormPortPath(char *path, size_t size, int n)
{
    const int length = snprintf(path, size, pPortPattern, n);
    return length >= 0 && static_cast<size_t>(length) < size;
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

bool SetPortPattern(const char *pattern)
{
    char longest[PORT_NAME_SIZE];
    const char *previous = pPortPattern;
    if (pattern == nullptr || !HoldsOneNumber(pattern))
        return false;
    pPortPattern = pattern;
    if (!FormPortPath(longest, sizeof longest, LAST_PORT_NUMBER)) {
        pPortPattern = previous;
        return false;
    }
    return true;
}

const char *PortPattern()
{
    return pPortPattern;
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), bSendProxyCommand(false), bStopped(false), bStop(false),
      bSendSensorAddress(false), bSendSensorValue(false), bSendSensorCommand(false),
      bApplyNUC(false), bTakeReference(false), bImageProcessed(false), pPortName(nullptr),
      szCommand(), pWindowCommand(nullptr), fdSerial(0), iGain(1), iOffset(0),
      iFramesShown(0), iTotalFramesShown(0), iSecondsElapsed(0), pRawFrame1(nullptr),
      pRawFrame2(nullptr), pRefFrame(nullptr), pImage8(nullptr), uCksumCalc(0),
      uCksumRead(0), uCksumBuffer(0), ui(new Ui_MainWindow), pTimer1s(nullptr)
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
    InitImagesArray();
    ShowLogo(pixLogo);
    pPortName = AllocateOrQuit<char>(PORT_NAME_SIZE);
    pPortName[0] = '\0'; // no device in use yet
    fdSerial = 0;
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
    while (!bStopped)
        RunCycle();
    WindDown();
}

void MainWindow::RunCycle()
{
    QCoreApplication::processEvents();
    RunWorker(&pthread_GetData, fn_thread_GetDataFromSerial, "receive");
    VerifyCheckSum_0(uCksumCalc, uCksumRead, uCksumBuffer);
    const bool bReferencePending = bTakeReference;
    RunWorker(&pthread_TakeReferenceImage, fn_thread_TakeReferenceImage, "reference");
    // Widgets belong to the GUI thread: the box is enabled here, after the join.
    if (bReferencePending && !bTakeReference)
        ui->checkBox_ApplyNUC->setEnabled(true);
    RunWorker(&pthread_ProcessImage, fn_thread_ProcessImage, "conversion");
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
}

void MainWindow::ClearFrameBuffers()
{
    memset(pRawFrame1, 0, RAW_FRAME_SIZE);
    memset(pRawFrame2, 0, RAW_FRAME_SIZE);
    memset(pRefFrame, 0, RAW_FRAME_SIZE);
    memset(pImage8, 0, FRAME_PIXELS);
}

void MainWindow::ShowLogo(const QPixmap &logo)
{
    ui->DisplayImage->setPixmap(logo);
}

void MainWindow::ResetApplyNUC()
{
    // Unchecking reaches CheckBox_ApplyNUC(0), which clears bApplyNUC.
    ui->checkBox_ApplyNUC->setChecked(false);
    ui->checkBox_ApplyNUC->setEnabled(false);
}

// The look of a window that shows no live picture: logo, no rate, and no
// correction until a new reference is taken.
void MainWindow::ShowIdleLook(const QPixmap &logo)
{
    ShowLogo(logo);
    ui->label_FrameRate->setText(QString());
    ResetApplyNUC();
}

void MainWindow::CheckSerialAvailable()
{
    static bool bConnected = true;
    if (!bConnected || fdSerial == 0) {
        if (DiscoverPort())
            bConnected = true;
    } else if (!QFile::exists(QString::fromLocal8Bit(pPortName))) {
        HandleUnplug();
        bConnected = false;
    }
}

// Connects to the lowest-numbered device present; false if there is none.
bool MainWindow::DiscoverPort()
{
    char path[PORT_NAME_SIZE];
    pPortName[0] = '\0';
    int n = 0;
    for (; n <= LAST_PORT_NUMBER; ++n) {
        if (FormPortPath(path, sizeof path, n) && QFile::exists(QString::fromLocal8Bit(path)))
            break;
    }
    if (n > LAST_PORT_NUMBER)
        return false;
    qDebug() << path << "detected";
    memcpy(pPortName, path, sizeof path);
    const int result = ConnectToSerial_0(&fdSerial, pPortName);
    ManageErrorWhenConnecting(&fdSerial, result, pPortName);
    if (result == SERIAL_CONNECTED)
        f_Acknowledge = true; // a fresh port has no command in flight
    ui->pushButton_TakeFPN->setEnabled(true);
    ClearFrameBuffers();
    return true;
}

void MainWindow::HandleUnplug()
{
    qDebug() << "Serial Port" << pPortName << "disconnected";
    CloseSerial(&fdSerial);
    fdSerial = 0;
    // Loaded afresh: the file may have changed while the device was in use.
    ShowIdleLook(QPixmap(QString::fromLatin1(LOGO_FILE)));
    ui->pushButton_TakeFPN->setEnabled(false);
    iErrorFrame = -1;
}

void MainWindow::ManageErrorWhenConnecting(int *fd, int result, char *path)
{
    switch (result) {
    case SERIAL_CONNECTED:
        qDebug() << "Connection to" << path << "established";
        return;
    case SERIAL_ALREADY_OPEN:
        qDebug() << path << "already use";
        return;
    case SERIAL_OPEN_FAILED:
        qDebug() << path << "not available";
        break;
    case SERIAL_CONFIG_FAILED:
        qDebug() << path << "can't be configurable";
        break;
    default:
        break;
    }
    *fd = 0;
    path[0] = '\0';
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

void MainWindow::PushButton_Send()
{
    bSendProxyCommand = true;
}

void MainWindow::PushButton_SendSensor()
{
    bSendSensorCommand = true;
    bSendSensorAddress = true;
    bSendSensorValue = true;
}

void MainWindow::WarnOperator(const char *logLine, const char *title, const char *text)
{
    if (logLine != nullptr)
        qDebug() << logLine;
    QMessageBox::warning(this, QString::fromLatin1(title), QString::fromLatin1(text));
}

void MainWindow::WarnTooShort()
{
    WarnOperator("Command size too low (< 6 char)", "Command size not respected",
                 "The command wrote is too short to be sent (inferior to 6 characters).");
}

void MainWindow::WarnTooLong()
{
    WarnOperator("Command size too high (> 6 char)", "Command size not respected",
                 "The command wrote is too long to be sent (superior to 6 characters).");
}

// A proxy command is "!", a digit 1..6 and four free characters.
bool MainWindow::ProxyCommandIsValid(const QByteArray &command)
{
    if (command.size() < PROXY_COMMAND_SIZE) {
        WarnTooShort();
        return false;
    }
    if (command.size() > PROXY_COMMAND_SIZE) {
        WarnTooLong();
        return false;
    }
    if (command.at(0) != '!') {
        WarnOperator("Command not valid", "Command not valid", "The command wrote is not valid.");
        return false;
    }
    if (command.at(1) < '1' || command.at(1) > '6') {
        WarnOperator(nullptr, "Command not valid", "The command wrote is unknown.");
        return false;
    }
    return true;
}

// Writes szCommand unless a command is still waiting for its acknowledgement;
// the caller clears f_Acknowledge only for a command that went out whole.
void MainWindow::SendCommand()
{
    if (!bSendProxyCommand || !f_Acknowledge)
        return;
    bSendProxyCommand = false;
    const QByteArray command = pWindowCommand->strCommand.toLatin1();
    if (!ProxyCommandIsValid(command))
        return;
    memcpy(szCommand, command.constData(), PROXY_COMMAND_SIZE);
    szCommand[PROXY_COMMAND_SIZE] = '\0';
    if (fdSerial != 0 && CommandToSend())
        f_Acknowledge = false;
}

// "!E%4d" / "!F%4d" with the blanks of the field turned into zeros.
static void EncodeSensorCommand(char *out, size_t size, char field, int number)
{
    snprintf(out, size, "!%c%4d", field, number);
    for (char *c = out; *c; ++c) {
        if (*c == ' ')
            *c = '0';
    }
}

void MainWindow::SendSensor()
{
    if (!bSendSensorCommand || !f_Acknowledge)
        return;
    const int address = pWindowCommand->iAddress;
    const int value = pWindowCommand->iValue;
    if (address < 0 || value < 0) {
        WarnTooShort();
        return;
    }
    if (address >= SENSOR_FIELD_LIMIT || value >= SENSOR_FIELD_LIMIT) {
        WarnTooLong();
        return;
    }
    char command[sizeof szCommand];
    if (bSendSensorAddress) {
        EncodeSensorCommand(command, sizeof command, 'E', address);
        SendSensorStep(command);
        bSendSensorAddress = false;
    } else if (bSendSensorValue) {
        EncodeSensorCommand(command, sizeof command, 'F', value);
        SendSensorStep(command);
        bSendSensorValue = false;
        bSendSensorCommand = false;
    }
}

void MainWindow::SendSensorStep(const char *command)
{
    snprintf(szCommand, sizeof szCommand, "%s", command);
    if (fdSerial != 0 && CommandToSend())
        f_Acknowledge = false;
}

// True when the whole command went out. A command that did not go out leaves
// the handshake open, so the next one is not held back by an acknowledgement
// that can never come.
bool MainWindow::CommandToSend()
{
    if (!f_Acknowledge && szCommand[0] != '\0')
        return false;
    qDebug() << "Command :" << szCommand << "sent to" << pPortName;
    const size_t length = strlen(szCommand);
    const ssize_t written = write(fdSerial, szCommand, length);
    if (written == static_cast<ssize_t>(length))
        return true;
    if (written < 0)
        qDebug() << "Command :" << szCommand << "not sent:" << strerror(errno);
    else
        qDebug() << "Command :" << szCommand << "not sent: only" << written << "bytes written";
    return false;
}
