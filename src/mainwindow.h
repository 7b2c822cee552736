#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "SharedState.h"
#include "Threads.h"
#include "frame/ShownFrame.h"

#include <QImage>
#include <QMainWindow>
#include <QPixmap>
#include <cstdlib>
#include <new>

class CalibrationController;
class CelsiusMap;
class FrameFeed;
class HttpController;
class PictureAreaGrab;
class MqttController;
class RegionMonitor;
class QByteArray;
class QCloseEvent;
class QSpinBox;
class QTimer;
class ReferenceStore;
class SnapshotController;
class Ui_MainWindow;
class VideoController;
class ViewController;
class WindowCommand;
class WireWait;
struct FrameSamples;
struct RawFacts;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // mainwindow.cpp: registration for the workers.
    void GetPointerToInstance();
    // GUI.cpp: buffers, reference capture, conversion and display.
    void InitImagesArray();
    void TakeReferenceImage();
    void ProcessImage();
    void DisplayImage();
    // CommandSender.cpp: the write of a prepared command.
    bool CommandToSend();
    // PortDiscovery.cpp: the port check of every tick.
    void CheckSerialAvailable();
    void ManageErrorWhenConnecting(int *fd, int result, char *path);

    // Members marked [worker] are also read or written by a worker of the
    // cycle (Threads.cpp), only while the GUI thread waits in its join.

    // Request flags raised by the operator's controls, consumed by the loop.
    bool bSendProxyCommand = false;
    bool bStopped = false;          // the loop's exit flag, copied from bStop
    bool bStop = false;
    bool bSendSensorAddress = false;
    bool bSendSensorValue = false;
    bool bSendSensorCommand = false;
    bool bApplyNUC = false;         // [worker]
    bool bTakeReference = false;    // [worker]
    bool bImageProcessed = false;   // [worker] pImage8 holds a picture not yet shown

    char *pPortName = nullptr;      // device in use, empty when none
    char szCommand[20] = {};        // command last prepared for sending
    WindowCommand *pWindowCommand = nullptr;
    int fdSerial = 0;               // [worker] 0: no device open
    int iGain = 1;                  // [worker]
    int iOffset = 0;                // [worker]
    int iFramesShown = 0;           // since the last tick
    int iTotalFramesShown = 0;      // since Start
    quint64 uFramesShownSinceLaunch = 0; // the number of the last frame shown
    std::shared_ptr<const RawFrameBytes> pSharedReference; // the reference as frames shown share it
    int iSecondsElapsed = 0;        // ticks since Start
    unsigned char *pRawFrame1 = nullptr; // [worker] the blocks these four point at
    unsigned char *pRawFrame2 = nullptr;
    unsigned char *pRefFrame = nullptr;
    unsigned char *pImage8 = nullptr;
    unsigned int uCksumCalc = 0;    // [worker] sum of the data bytes as they arrived
    unsigned int uCksumRead = 0;    // [worker] checksum sent by the sensor
    unsigned int uCksumBuffer = 0;  // [worker] sum over the completed buffer
    Ui_MainWindow *ui;
    QImage imgLogo;
    QPixmap pixLogo;
    QTimer *pTimer1s = nullptr;
    ViewController *pView = nullptr; // [worker] palette, range (the conversion's), rotation, spot meter
    WireWait *pWireWait = nullptr;   // --wait-for-data: rest while the wire is silent
    ReferenceStore *pReference = nullptr; // [worker] the reference, averaged on the worker, and its file
    FrameFeed *pShownFrames = nullptr;    // every frame shown, to those that watch the picture
    SnapshotController *pSnapshots = nullptr;
    PictureAreaGrab *pPictureGrab = nullptr; // the picture area once a frame, for the stream and the video
    VideoController *pVideo = nullptr;       // recordings of what is shown
    HttpController *pHttp = nullptr; // --http: the web server's hand-over
    CalibrationController *pCalibration = nullptr; // --calibration: readings in degrees
    // The calibration's map for this cycle (taken from pCalibration before the
    // workers start; null while uncalibrated) and the frame it made.
    std::shared_ptr<const CelsiusMap> pCelsiusMap; // [worker]
    std::shared_ptr<const CelsiusPlane> pCelsius;  // [worker]
    RegionMonitor *pRegions = nullptr; // --spot, --box, --alarm, --mqtt...: the regions and alarms
    MqttController *pMqtt = nullptr;   // --mqtt: the broker's hand-over

private slots:
    // In the meta-object's order. GUI.cpp: the first three; CommandSender.cpp:
    // PushButton_Send, PushButton_SendSensor, SendCommand, SendSensor;
    // mainwindow.cpp: the others.
    void CheckBox_ApplyNUC(int);
    void PushButton_TakeReferenceImage();
    void PushButton_Cmd();
    void PushButton_Send();
    void PushButton_SendSensor();
    void SpinBox_Gain(int);
    void SpinBox_Offset(int);
    void Dial_Gain(int value);
    void Dial_Offset(int value);
    void Timer1s_Timeout();
    void PushButton_Stop();
    void PushButton_Start();
    void SendCommand();
    void SendSensor();
    void closeEvent(QCloseEvent *event) override;

private:
    // mainwindow.cpp: wiring, the acquisition cycle, the idle look, the knobs.
    void ConnectControls();
    void PlaceCommandWindow();
    void RunCycle();
    void WindDown();
    void ClearFrameBuffers();
    void ShowLogo(const QPixmap &logo);
    void ResetApplyNUC();
    void ShowIdleLook(const QPixmap &logo);
    void ConnectShownFrames();
    static constexpr const char *LOGO_FILE = "Logo.png"; // in the working directory
    void StepKnob(int value, int &oldValue, int &member, QSpinBox *spinBox, int unit);
    // PortDiscovery.cpp: connecting and noticing an unplug.
    void DiscoverPort();
    bool PortStillPresent() const;
    void HandleUnplug();
    // GUI.cpp: the newest frame, what is known of it, the frame shown.
    unsigned char *NewestRawFrame() const;
    FrameSamples NewestSamples() const;
    RawFacts NewestFacts() const;
    ShownFramePtr NewShownFrame();
    std::shared_ptr<const RawFrameBytes> SharedReference();
    // CommandSender.cpp: validation, the register write's steps, warnings.
    bool ProxyCommandIsValid(const QByteArray &command);
    bool SendSensorStep(const char *command);
    void DropSensorWrite(int address);
    void WarnOperator(const char *logLine, const char *title, const char *text);
    void WarnTooShort();
    void WarnTooLong();

    // Start-up cannot go on without its buffers: report and end the program.
    template <typename T> static T *AllocateOrQuit(size_t count)
    {
        T *block = new (std::nothrow) T[count];
        if (block == nullptr) {
            qCritical("framescope: not enough memory for its frame buffers");
            std::exit(EXIT_FAILURE);
        }
        return block;
    }
};

// mainwindow.cpp: the single main window, for the worker threads.
extern MainWindow *pMainWindow;

// PortDiscovery.cpp. Discovery looks for "/dev/ttyUSB%d". Tests point it at a directory of their
// own; a pattern is taken only if it holds exactly one %d and no other
// conversion, and if its paths for 0..254 fit PORT_NAME_SIZE.
bool SetPortPattern(const char *pattern);
const char *PortPattern();

// With a fixed device (the operator's --device, often a link under
// /dev/serial/by-id/) discovery and unplug detection look at that path alone,
// as given, instead of the pattern; "" goes back to the pattern. Refused
// (false) when the path does not fit PORT_NAME_SIZE with its NUL.
bool SetFixedPort(const char *path);

#endif
