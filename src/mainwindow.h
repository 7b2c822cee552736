#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QImage>
#include <QMainWindow>
#include <QPixmap>
#include <cstdlib>
#include <new>
#include <pthread.h>

class QByteArray;
class QCloseEvent;
class QSpinBox;
class QTimer;
class Ui_MainWindow;
class WindowCommand;

// Sensor frame geometry: 84 x 80 samples of 14 bits, each sent as two 7-bit groups.
enum {
    FRAME_WIDTH = 84,
    FRAME_HEIGHT = 80,
    FRAME_PIXELS = FRAME_WIDTH * FRAME_HEIGHT,
    RAW_FRAME_SIZE = 2 * FRAME_PIXELS
};

// Capacity of the device path buffer, NUL included.
enum { PORT_NAME_SIZE = 64 };

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void GetPointerToInstance();
    void InitImagesArray();
    void TakeReferenceImage();
    void ProcessImage();
    void DisplayImage();
    bool CommandToSend();
    void CheckSerialAvailable();
    void ManageErrorWhenConnecting(int *fd, int result, char *path);

    // Request flags raised by the operator's controls, consumed by the loop.
    bool bSendProxyCommand;
    bool bStopped;
    bool bStop;
    bool bSendSensorAddress;
    bool bSendSensorValue;
    bool bSendSensorCommand;
    bool bApplyNUC;
    bool bTakeReference;
    bool bImageProcessed;

    char *pPortName;    // device in use, empty when none
    char szCommand[20]; // command last prepared for sending
    WindowCommand *pWindowCommand;
    int fdSerial;       // 0: no device open
    int iGain;
    int iOffset;
    int iFramesShown;
    int iTotalFramesShown;
    int iSecondsElapsed;
    unsigned char *pRawFrame1;
    unsigned char *pRawFrame2;
    unsigned char *pRefFrame;
    unsigned char *pImage8;
    unsigned int uCksumCalc;
    unsigned int uCksumRead;
    unsigned int uCksumBuffer;
    Ui_MainWindow *ui;
    QImage imgLogo;
    QPixmap pixLogo;
    QTimer *pTimer1s;

private slots:
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
    void ConnectControls();
    void PlaceCommandWindow();
    void RunCycle();
    void WindDown();
    void ClearFrameBuffers();
    void ShowLogo(const QPixmap &logo);
    void ResetApplyNUC();
    void ShowIdleLook(const QPixmap &logo);
    bool DiscoverPort();
    void HandleUnplug();
    void StepKnob(int value, int &oldValue, int &member, QSpinBox *spinBox, int unit);
    unsigned char *NewestRawFrame() const;
    void ConvertPlain(const unsigned char *raw);
    void ConvertCorrected(const unsigned char *raw);
    bool ProxyCommandIsValid(const QByteArray &command);
    void SendSensorStep(const char *command);
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

// The single main window, for the worker threads.
extern MainWindow *pMainWindow;

// Flags shared by the receiver, the verification, the image pipeline and the
// command sender; the create/join pairs of the acquisition cycle order all access.
extern bool f_FrameAcquired;
extern bool f_ReadCheckSum;
extern bool f_CalcCheckSum;
extern bool f_FrameRdy;
extern bool f_SwitchImage;
extern bool f_Acknowledge;
extern int iErrorFrame;

extern pthread_t pthread_GetData;
extern pthread_t pthread_TakeReferenceImage;
extern pthread_t pthread_ProcessImage;

// Discovery looks for "/dev/ttyUSB%d". Tests point it at a directory of their
// own; a pattern is taken only if it holds exactly one %d and no other
// conversion, and if its paths for 0..254 fit PORT_NAME_SIZE.
bool SetPortPattern(const char *pattern);
const char *PortPattern();

#endif
