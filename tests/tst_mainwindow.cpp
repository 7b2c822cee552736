// The application shell: what the main window's constructor builds and wires,
// how the window closes (serial port, timer, a run in progress) and goes away,
// the command window with its "Cmd" toggle, a buffer allocation that fails at
// start-up, the program's entry point from start to exit status, and the one
// widget style it draws in wherever it runs.

#include "testsupport.h"

#include "Process_Serial.h"
#include "Serial.h"
#include "WindowCommand.h"
#include "mainwindow.h"
#include "ui_WindowCommand.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDial>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStyle>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The program's entry point, compiled from its own source under another name
// so that a child process of this test can run it.
#define main framescope_main
#include "main.cpp"
#undef main

namespace {

// Arguments that turn this executable into one of the child processes below.
const char kAllocationChild[] = "--child-allocation-failure";
const char kMainChild[] = "--child-main";
const char kStyleChild[] = "--child-style";

// A nothrow array allocation of exactly this many bytes fails (0: none fails).
std::atomic<std::size_t> gFailArraySize{0};

} // namespace

// The frame buffers are allocated with new (std::nothrow) T[n]. This version
// fails on demand and otherwise takes the ordinary allocation, which the
// ordinary delete[] releases.
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    if (size != 0 && size == gFailArraySize.load())
        return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

// What a window manager does when the user closes a window by its frame.
void CloseByFrame(QWidget *window)
{
    QCloseEvent event;
    QCoreApplication::sendEvent(window->windowHandle(), &event);
}

QRect GlobalRect(const QWidget *widget)
{
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

// Counts the close requests a widget receives.
class CloseCounter : public QObject
{
public:
    int closes = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Close)
            ++closes;
        return false;
    }
};

// Runs this executable again as a child with the given arguments; returns its
// exit code (-1 if it did not exit normally) and collects its error output.
// variables are set in its environment (an empty value removes one).
int RunChild(const QStringList &arguments, QByteArray *errors,
             const QHash<QString, QString> &variables = QHash<QString, QString>())
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto variable = variables.cbegin(); variable != variables.cend(); ++variable) {
        if (variable.value().isEmpty())
            environment.remove(variable.key());
        else
            environment.insert(variable.key(), variable.value());
    }
    // A child that is meant to end in the middle of start-up leaves its heap as
    // it was; that is not a leak of the program.
    QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    asan += asan.isEmpty() ? QStringLiteral("detect_leaks=0") : QStringLiteral(":detect_leaks=0");
    environment.insert(QStringLiteral("ASAN_OPTIONS"), asan);
    child.setProcessEnvironment(environment);
    testsupport::StartThisProgram(child, arguments);
    if (!child.waitForStarted(10000) || !child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return -1;
    }
    *errors = child.readAllStandardError();
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

QStringList Lines(const QByteArray &text)
{
    return QString::fromLocal8Bit(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// ---- Child: a start-up whose buffer allocation fails -----------------------

int AllocationFailureChild(int argc, char **argv)
{
    const std::size_t size = std::strtoul(argv[2], nullptr, 10);
    QApplication application(argc, argv);
    gFailArraySize = size;
    {
        MainWindow window;
        gFailArraySize = 0;
        fprintf(stderr, "window constructed\n");
    }
    return 0;
}

// ---- Child: the program's entry point, driven like an operator -------------

// Set by the child's start-up routine, read when the application exists.
const char *gMainScenario = "";

void DriveProgram()
{
    // Runs once the program's event loop is up: look at the window, then end
    // the program the way the scenario says.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
        MainWindow *window = pMainWindow;
        if (window == nullptr) {
            fprintf(stderr, "no window\n");
            qApp->exit(42);
            return;
        }
        fprintf(stderr, "window visible=%d fullscreen=%d title=%s\n", window->isVisible() ? 1 : 0,
                window->isFullScreen() ? 1 : 0, qPrintable(window->windowTitle()));
        if (qstrcmp(gMainScenario, "exit-code") == 0) {
            qApp->exit(3);
            return;
        }
        // Exit during a run: Start now, Exit a moment later, from inside the run.
        QTimer::singleShot(100, [window] {
            fprintf(stderr, "exit during run=%d\n", window->ui->pushButton_Start->isEnabled() ? 0 : 1);
            QTest::mouseClick(window->ui->pushButton_Exit, Qt::LeftButton);
        });
        QTest::mouseClick(window->ui->pushButton_Start, Qt::LeftButton);
        fprintf(stderr, "run ended start=%d stop=%d\n", window->ui->pushButton_Start->isEnabled() ? 1 : 0,
                window->ui->pushButton_Stop->isEnabled() ? 1 : 0);
    }, Qt::QueuedConnection);
}

int MainChild(char **argv)
{
    gMainScenario = argv[2];
    static QByteArray pattern = QByteArray(argv[3]) + "/ttyUSB%d";
    if (!SetPortPattern(pattern.constData()))
        return 40;
    qAddPreRoutine(DriveProgram);
    // The program sees only its own name, like a start from the shell.
    char *programArguments[] = {argv[0], nullptr};
    int programArgc = 1;
    const int status = framescope_main(programArgc, programArguments);
    fprintf(stderr, "main returned %d window=%s application=%s\n", status,
            pMainWindow == nullptr ? "gone" : "left", QCoreApplication::instance() == nullptr ? "gone" : "left");
    return status;
}

// ---- Child: the program's entry point on a platform without a theme -------

// The minimal platform, like the board's framebuffer, suggests no widget
// style. The program is started there with the arguments after the child's
// own and says which style its window got.
int StyleChild(int argc, char **argv)
{
    qAddPreRoutine([] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
            fprintf(stderr, "style=%s\n", qPrintable(QApplication::style()->objectName()));
            qApp->exit(0);
        }, Qt::QueuedConnection);
    });
    static char platformOption[] = "-platform";
    static char minimalPlatform[] = "minimal";
    std::vector<char *> programArguments{argv[0], platformOption, minimalPlatform};
    programArguments.insert(programArguments.end(), argv + 2, argv + argc);
    programArguments.push_back(nullptr);
    int programArgc = int(programArguments.size()) - 1;
    return framescope_main(programArgc, programArguments.data());
}

const char kTitle[] = "VELMORA KVT2-D Lumen Deck 1x v1.1";

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    testsupport::PortDirectory portDir;

    void checkCommonState(MainWindow &w);

private slots:
    void initTestCase();
    void cleanup();

    void constructorBuildsTheWindow();
    void constructorWithoutLogo();
    void slotTable();
    void connectionTable();
    void buttonsActOnRelease();
    void valueControlsReachTheWindow();
    void commandWindowAsBuilt();
    void commandWindowMetaObject();
    void cmdToggles();
    void commandWindowClosedByFrame();
    void commandWindowKeepsEntries();
    void commandWindowSignalsOnRelease();
    void commandWindowSignalsReachMainWindow();
    void commandWindowPlacedOverPicture();
    void destructorTearsDown();
    void closeWhileIdle();
    void closeDuringRunReleasesPort();
    void exitDuringRunEndsEventLoop();
    void exitWaitsForCommandWindow();
    void bufferAllocationFailure_data();
    void bufferAllocationFailure();
    void entryPoint();
    void oneStyleUnlessChosen_data();
    void oneStyleUnlessChosen();
};

void TestMainWindow::initTestCase()
{
    QVERIFY(testsupport::StandardDescriptorsTaken());
    QVERIFY(portDir.isActive());
    QVERIFY2(QFile::exists(QStringLiteral("Logo.png")), "the tests run where Logo.png lies");
}

void TestMainWindow::cleanup()
{
    // Every test leaves no window behind: the event-loop tests rely on it.
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *w : windows)
        QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
    QCOMPARE(pMainWindow, static_cast<MainWindow *>(nullptr));
}

// Everything the constructor sets up, logo aside.
void TestMainWindow::checkCommonState(MainWindow &w)
{
    QCOMPARE(w.windowTitle(), QString::fromLatin1(kTitle));
    QCOMPARE(w.ui->label_Title->text(), QStringLiteral("KVT2-D Lumen Deck 1x"));
    const QStringList copyright = w.ui->label_Copyright->text().split(QLatin1Char('\n'));
    QCOMPARE(copyright.size(), 2);
    QVERIFY2(copyright[0].contains(QStringLiteral("2017"))
                 && (copyright[0].contains(QStringLiteral("Copyright")) || copyright[0].contains(QChar(0xA9))),
             qPrintable(copyright[0]));
    QVERIFY2(copyright[1].contains(QStringLiteral("v1.1")), qPrintable(copyright[1]));

    QVERIFY(w.isVisible());
    QVERIFY(w.isFullScreen());

    QVERIFY(!w.ui->checkBox_ApplyNUC->isEnabled());
    QVERIFY(!w.ui->checkBox_ApplyNUC->isChecked());
    QVERIFY(!w.ui->pushButton_TakeFPN->isEnabled());
    QVERIFY(w.ui->pushButton_Start->isEnabled());
    QVERIFY(w.ui->pushButton_Stop->isEnabled());
    QVERIFY(w.ui->pushButton_Exit->isEnabled());
    QVERIFY(w.ui->pushButton->isEnabled());
    QVERIFY(w.ui->dial_Gain->isEnabled());
    QVERIFY(w.ui->dial_Offset->isEnabled());
    QVERIFY(!w.ui->spinBox_Gain->isEnabled());
    QVERIFY(!w.ui->spinBox_Offset->isEnabled());
    QCOMPARE(w.ui->label_FrameRate->text(), QStringLiteral("FrameRate Image Serial"));

    QVERIFY(!w.bSendProxyCommand);
    QVERIFY(!w.bStopped);
    QVERIFY(!w.bStop);
    QVERIFY(!w.bSendSensorAddress);
    QVERIFY(!w.bSendSensorValue);
    QVERIFY(!w.bSendSensorCommand);
    QVERIFY(!w.bApplyNUC);
    QVERIFY(!w.bTakeReference);
    QVERIFY(!w.bImageProcessed);
    QCOMPARE(w.fdSerial, 0);
    QCOMPARE(w.iGain, 1);
    QCOMPARE(w.iOffset, 0);
    QCOMPARE(w.iTotalFramesShown, 0);
    QCOMPARE(w.iSecondsElapsed, 0);
    QCOMPARE(w.uCksumCalc, 0u);
    QCOMPARE(w.uCksumRead, 0u);
    QCOMPARE(w.uCksumBuffer, 0u);
    QVERIFY(w.pPortName != nullptr);

    QVERIFY(w.pRawFrame1 != nullptr);
    QVERIFY(w.pRawFrame2 != nullptr);
    QVERIFY(w.pRefFrame != nullptr);
    QVERIFY(w.pImage8 != nullptr);
    QVERIFY(w.pRawFrame1 != w.pRawFrame2 && w.pRawFrame1 != w.pRefFrame && w.pRawFrame2 != w.pRefFrame);
    QVERIFY(testsupport::AllZero(w.pRawFrame1, RAW_FRAME_SIZE));
    QVERIFY(testsupport::AllZero(w.pRawFrame2, RAW_FRAME_SIZE));
    QVERIFY(testsupport::AllZero(w.pRefFrame, RAW_FRAME_SIZE));
    QVERIFY(testsupport::AllZero(w.pImage8, FRAME_PIXELS));

    QVERIFY(w.pTimer1s != nullptr);
    QCOMPARE(w.pTimer1s->parent(), static_cast<QObject *>(&w));
    QVERIFY(!w.pTimer1s->isActive());

    QVERIFY(w.pWindowCommand != nullptr);
    QCOMPARE(w.pWindowCommand->parentWidget(), static_cast<QWidget *>(nullptr));
    QVERIFY(w.pWindowCommand->isWindow());
    QVERIFY(!w.pWindowCommand->isVisible());
    QVERIFY(!w.pWindowCommand->bIsShown);

    QCOMPARE(pMainWindow, &w);
}

void TestMainWindow::constructorBuildsTheWindow()
{
    // The form alone has the designer's captions; the constructor replaces them.
    {
        QMainWindow plain;
        Ui_MainWindow form;
        form.setupUi(&plain);
        QCOMPARE(plain.windowTitle(), QStringLiteral("MainWindow"));
        QVERIFY(form.label_Title->text() != QStringLiteral("KVT2-D Lumen Deck 1x"));
    }

    testsupport::LogCapture log;
    {
        MainWindow w;
        checkCommonState(w);
        QCOMPARE(log.count(QStringLiteral("Initalisation pointeurs done")), 1);

        const QImage logo(QStringLiteral("Logo.png"));
        QVERIFY(!logo.isNull());
        const QImage expected = QPixmap::fromImage(logo).toImage();
        QVERIFY(!w.imgLogo.isNull());
        QVERIFY(!w.pixLogo.isNull());
        QCOMPARE(testsupport::ShownPixmap(w.ui->label_LogoQZ).toImage(), expected);
        QCOMPARE(testsupport::ShownPixmap(w.ui->DisplayImage).toImage(), expected);
    }
    QCOMPARE(pMainWindow, static_cast<MainWindow *>(nullptr));
}

void TestMainWindow::constructorWithoutLogo()
{
    QTemporaryDir empty;
    QVERIFY(empty.isValid());
    const QString home = QDir::currentPath();
    QVERIFY(QDir::setCurrent(empty.path()));
    struct Back {
        QString path;
        ~Back() { QDir::setCurrent(path); }
    } back{home};

    testsupport::LogCapture log;
    MainWindow w;
    QVERIFY(w.imgLogo.isNull());
    QVERIFY(w.pixLogo.isNull());
    QVERIFY(testsupport::ShownPixmap(w.ui->label_LogoQZ).isNull());
    QVERIFY(testsupport::ShownPixmap(w.ui->DisplayImage).isNull());
    checkCommonState(w);
    QCOMPARE(log.count(QStringLiteral("Initalisation pointeurs done")), 1);
}

void TestMainWindow::slotTable()
{
    MainWindow w;
    const QMetaObject *meta = w.metaObject();
    QCOMPARE(meta->className(), "MainWindow");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
    QVERIFY(qobject_cast<MainWindow *>(static_cast<QObject *>(&w)) == &w);

    const QList<QByteArray> expected = {
        "CheckBox_ApplyNUC(int)", "PushButton_TakeReferenceImage()", "PushButton_Cmd()",
        "PushButton_Send()", "PushButton_SendSensor()", "SpinBox_Gain(int)", "SpinBox_Offset(int)",
        "Dial_Gain(int)", "Dial_Offset(int)", "Timer1s_Timeout()", "PushButton_Stop()",
        "PushButton_Start()", "SendCommand()", "SendSensor()", "closeEvent(QCloseEvent*)"};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
    const QList<QByteArray> value = {"value"};
    QCOMPARE(meta->method(meta->methodOffset() + 7).parameterNames(), value);
    QCOMPARE(meta->method(meta->methodOffset() + 8).parameterNames(), value);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
}

// Each of the thirteen connections exists (disconnecting it succeeds), the buttons
// are wired to released() and nothing else, and with the connections gone
// the controls no longer reach the window.
void TestMainWindow::connectionTable()
{
    MainWindow w;
    Ui_MainWindow *ui = w.ui;
    QVERIFY(QObject::disconnect(ui->checkBox_ApplyNUC, SIGNAL(stateChanged(int)), &w, SLOT(CheckBox_ApplyNUC(int))));
    QVERIFY(QObject::disconnect(ui->pushButton_TakeFPN, SIGNAL(released()), &w, SLOT(PushButton_TakeReferenceImage())));
    QVERIFY(QObject::disconnect(ui->dial_Offset, SIGNAL(valueChanged(int)), &w, SLOT(Dial_Offset(int))));
    QVERIFY(QObject::disconnect(ui->dial_Gain, SIGNAL(valueChanged(int)), &w, SLOT(Dial_Gain(int))));
    QVERIFY(QObject::disconnect(ui->pushButton_Exit, SIGNAL(released()), &w, SLOT(close())));
    QVERIFY(QObject::disconnect(ui->pushButton, SIGNAL(released()), &w, SLOT(PushButton_Cmd())));
    QVERIFY(QObject::disconnect(ui->pushButton_Start, SIGNAL(released()), &w, SLOT(PushButton_Start())));
    QVERIFY(QObject::disconnect(ui->pushButton_Stop, SIGNAL(released()), &w, SLOT(PushButton_Stop())));
    QVERIFY(QObject::disconnect(ui->spinBox_Gain, SIGNAL(valueChanged(int)), &w, SLOT(SpinBox_Gain(int))));
    QVERIFY(QObject::disconnect(ui->spinBox_Offset, SIGNAL(valueChanged(int)), &w, SLOT(SpinBox_Offset(int))));
    QVERIFY(QObject::disconnect(w.pWindowCommand, SIGNAL(SendCommandSensor()), &w, SLOT(PushButton_SendSensor())));
    QVERIFY(QObject::disconnect(w.pWindowCommand, SIGNAL(SendCommandProxy()), &w, SLOT(PushButton_Send())));
    QVERIFY(QObject::disconnect(w.pTimer1s, SIGNAL(timeout()), &w, SLOT(Timer1s_Timeout())));

    // Nothing else of the window listens to the buttons.
    const QList<QPushButton *> buttons = {ui->pushButton_TakeFPN, ui->pushButton_Exit, ui->pushButton,
                                          ui->pushButton_Start, ui->pushButton_Stop};
    for (QPushButton *button : buttons) {
        QVERIFY(!QObject::disconnect(button, SIGNAL(released()), &w, nullptr));
        QVERIFY(!QObject::disconnect(button, SIGNAL(clicked(bool)), &w, nullptr));
        QVERIFY(!QObject::disconnect(button, SIGNAL(clicked()), &w, nullptr));
        QVERIFY(!QObject::disconnect(button, SIGNAL(pressed()), &w, nullptr));
        QVERIFY(!QObject::disconnect(button, SIGNAL(toggled(bool)), &w, nullptr));
    }

    // Unwired, the controls do nothing.
    QTest::mouseClick(ui->pushButton, Qt::LeftButton);
    QVERIFY(!w.pWindowCommand->isVisible());
    QVERIFY(!w.pWindowCommand->bIsShown);
    QTest::mouseClick(ui->pushButton_Stop, Qt::LeftButton);
    QVERIFY(!w.bStop);
    QTest::mouseClick(ui->pushButton_Exit, Qt::LeftButton);
    QVERIFY(w.isVisible());
    ui->spinBox_Gain->setValue(7);
    QCOMPARE(w.iGain, 1);
    w.close();
}

void TestMainWindow::buttonsActOnRelease()
{
    MainWindow w;
    Ui_MainWindow *ui = w.ui;

    QTest::mousePress(ui->pushButton, Qt::LeftButton);
    QVERIFY(!w.pWindowCommand->isVisible());
    QVERIFY(!w.pWindowCommand->bIsShown);
    QTest::mouseRelease(ui->pushButton, Qt::LeftButton);
    QVERIFY(w.pWindowCommand->isVisible());
    QVERIFY(w.pWindowCommand->bIsShown);
    QTest::mouseClick(ui->pushButton, Qt::LeftButton);
    QVERIFY(!w.pWindowCommand->isVisible());

    QTest::mousePress(ui->pushButton_Stop, Qt::LeftButton);
    QVERIFY(!w.bStop);
    QTest::mouseRelease(ui->pushButton_Stop, Qt::LeftButton);
    QVERIFY(w.bStop);
    w.bStop = false;

    ui->pushButton_TakeFPN->setEnabled(true);
    QTest::mousePress(ui->pushButton_TakeFPN, Qt::LeftButton);
    QVERIFY(!w.bTakeReference);
    QTest::mouseRelease(ui->pushButton_TakeFPN, Qt::LeftButton);
    QVERIFY(w.bTakeReference);

    // Start held down: no run begins. Nor when the button is let go away
    // from it (a run started by mistake would end after one cycle and leave
    // Stop disabled).
    QTest::mousePress(ui->pushButton_Start, Qt::LeftButton);
    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(!w.pTimer1s->isActive());
    w.bStop = true;
    QTest::mouseRelease(ui->pushButton_Start, Qt::LeftButton, Qt::KeyboardModifiers(), QPoint(-20, -20));
    QVERIFY(ui->pushButton_Stop->isEnabled());
    QVERIFY(w.bStop);
    w.bStop = false;

    QTest::mousePress(ui->pushButton_Exit, Qt::LeftButton);
    QVERIFY(w.isVisible());
    QVERIFY(!w.bStop);
    QTest::mouseRelease(ui->pushButton_Exit, Qt::LeftButton);
    QVERIFY(!w.isVisible());
    QVERIFY(w.bStop);
}

void TestMainWindow::valueControlsReachTheWindow()
{
    MainWindow w;
    Ui_MainWindow *ui = w.ui;

    ui->checkBox_ApplyNUC->setEnabled(true);
    ui->checkBox_ApplyNUC->setChecked(true);
    QVERIFY(w.bApplyNUC);
    ui->checkBox_ApplyNUC->setChecked(false);
    QVERIFY(!w.bApplyNUC);

    ui->spinBox_Gain->setValue(5);
    QCOMPARE(w.iGain, 5);
    ui->spinBox_Offset->setValue(-1200);
    QCOMPARE(w.iOffset, -1200);

    // A knob step moves the member by one unit and shows it in its spin box.
    ui->dial_Gain->setValue(8);
    const int gain = w.iGain;
    QCOMPARE(ui->spinBox_Gain->value(), gain);
    ui->dial_Gain->setValue(9);
    QCOMPARE(w.iGain, gain + 1);
    QCOMPARE(ui->spinBox_Gain->value(), gain + 1);

    ui->dial_Offset->setValue(8);
    const int offset = w.iOffset;
    QCOMPARE(ui->spinBox_Offset->value(), offset);
    ui->dial_Offset->setValue(9);
    QCOMPARE(w.iOffset, offset + 100);
    QCOMPARE(ui->spinBox_Offset->value(), offset + 100);
    w.close();
}

void TestMainWindow::commandWindowAsBuilt()
{
    WindowCommand window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Send Commands"));
    QVERIFY(!window.isVisible());
    QCOMPARE(window.parentWidget(), static_cast<QWidget *>(nullptr));
    QVERIFY(!window.bIsShown);
    QCOMPARE(window.iAddress, 0);
    QCOMPARE(window.iValue, 0);
    QVERIFY(window.strCommand.isEmpty());
    QCOMPARE(window.ui->spinBox_Address->value(), 0);
    QCOMPARE(window.ui->spinBox_Value->value(), 0);
    QVERIFY(window.ui->lineEdit_Command->text().isEmpty());

    // The members follow their widgets, inside the widgets' ranges.
    window.ui->spinBox_Address->setValue(300);
    QCOMPARE(window.ui->spinBox_Address->value(), 255);
    QCOMPARE(window.iAddress, 255);
    window.ui->spinBox_Address->setValue(-4);
    QCOMPARE(window.iAddress, 0);
    window.ui->spinBox_Address->setValue(17);
    QCOMPARE(window.iAddress, 17);
    window.ui->spinBox_Value->setValue(150);
    QCOMPARE(window.ui->spinBox_Value->value(), 99);
    QCOMPARE(window.iValue, 99);
    window.ui->spinBox_Value->setValue(-1);
    QCOMPARE(window.iValue, 0);
    window.ui->spinBox_Value->setValue(42);
    QCOMPARE(window.iValue, 42);

    // The text is taken on every change, not only when "Send" is released.
    window.show();
    QTest::keyClicks(window.ui->lineEdit_Command, QStringLiteral("!1ab"));
    QCOMPARE(window.strCommand, QStringLiteral("!1ab"));
    QTest::keyClick(window.ui->lineEdit_Command, Qt::Key_C);
    QCOMPARE(window.strCommand, QStringLiteral("!1abc"));
    QTest::keyClick(window.ui->lineEdit_Command, Qt::Key_Backspace);
    QCOMPARE(window.strCommand, QStringLiteral("!1ab"));
    window.ui->lineEdit_Command->clear();
    QVERIFY(window.strCommand.isEmpty());
    QTest::keyClick(window.ui->spinBox_Value, Qt::Key_Up);
    QCOMPARE(window.iValue, 43);
    window.close();
}

void TestMainWindow::commandWindowMetaObject()
{
    WindowCommand window;
    const QMetaObject *meta = window.metaObject();
    QCOMPARE(meta->className(), "WindowCommand");
    const struct {
        const char *signature;
        QMetaMethod::MethodType type;
    } expected[] = {{"SendCommandProxy()", QMetaMethod::Signal},
                    {"SendCommandSensor()", QMetaMethod::Signal},
                    {"PushButton_SendToSensor()", QMetaMethod::Slot},
                    {"PushButton_SendToProxy()", QMetaMethod::Slot},
                    {"SpinBox_Address(int)", QMetaMethod::Slot},
                    {"SpinBox_Value(int)", QMetaMethod::Slot},
                    {"Label_Command(QString)", QMetaMethod::Slot}};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), int(sizeof expected / sizeof expected[0]));
    for (int i = 0; i < meta->methodCount() - meta->methodOffset(); ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.methodType(), expected[i].type);
        if (expected[i].type == QMetaMethod::Slot)
            QCOMPARE(method.access(), QMetaMethod::Private);
    }
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
}

void TestMainWindow::cmdToggles()
{
    MainWindow w;
    WindowCommand *command = w.pWindowCommand;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());
    QVERIFY(command->bIsShown);
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(!command->isVisible());
    QVERIFY(!command->bIsShown);
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());
    QVERIFY(command->bIsShown);
    QCOMPARE(w.pWindowCommand, command); // the same window, opened again
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(!command->isVisible());
    w.close();
}

void TestMainWindow::commandWindowClosedByFrame()
{
    MainWindow w;
    WindowCommand *command = w.pWindowCommand;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());

    CloseByFrame(command);
    QTRY_VERIFY(!command->isVisible());
    QVERIFY(command->bIsShown); // the flag follows the button only
    QVERIFY(w.isVisible());

    // First press only clears the flag, the second opens the window again.
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(!command->isVisible());
    QVERIFY(!command->bIsShown);
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());
    QVERIFY(command->bIsShown);
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(!command->isVisible());
    w.close();
}

void TestMainWindow::commandWindowKeepsEntries()
{
    MainWindow w;
    WindowCommand *command = w.pWindowCommand;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());
    QCOMPARE(command->iAddress, 0);
    QCOMPARE(command->iValue, 0);
    QVERIFY(command->strCommand.isEmpty());

    QTest::keyClicks(command->ui->lineEdit_Command, QStringLiteral("!3xyz0"));
    command->ui->spinBox_Address->setValue(201);
    command->ui->spinBox_Value->setValue(77);

    // Closed by the toggle, then by the frame: everything stays.
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(!command->isVisible());
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());
    QCOMPARE(command->ui->lineEdit_Command->text(), QStringLiteral("!3xyz0"));
    QCOMPARE(command->ui->spinBox_Address->value(), 201);
    QCOMPARE(command->ui->spinBox_Value->value(), 77);
    QCOMPARE(command->strCommand, QStringLiteral("!3xyz0"));
    QCOMPARE(command->iAddress, 201);
    QCOMPARE(command->iValue, 77);

    CloseByFrame(command);
    QTRY_VERIFY(!command->isVisible());
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());
    QCOMPARE(command->ui->lineEdit_Command->text(), QStringLiteral("!3xyz0"));
    QCOMPARE(command->strCommand, QStringLiteral("!3xyz0"));
    QCOMPARE(command->iAddress, 201);
    QCOMPARE(command->iValue, 77);
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    w.close();
}

void TestMainWindow::commandWindowSignalsOnRelease()
{
    WindowCommand window;
    window.show();
    QSignalSpy proxy(&window, SIGNAL(SendCommandProxy()));
    QSignalSpy sensor(&window, SIGNAL(SendCommandSensor()));
    QVERIFY(proxy.isValid() && sensor.isValid());

    QTest::mousePress(window.ui->pushButton_Send_Proxy, Qt::LeftButton);
    QCOMPARE(proxy.count(), 0);
    QTest::mouseRelease(window.ui->pushButton_Send_Proxy, Qt::LeftButton);
    QCOMPARE(proxy.count(), 1);
    QCOMPARE(sensor.count(), 0);

    QTest::mousePress(window.ui->pushButton_SendSensor, Qt::LeftButton);
    QCOMPARE(sensor.count(), 0);
    QTest::mouseRelease(window.ui->pushButton_SendSensor, Qt::LeftButton);
    QCOMPARE(sensor.count(), 1);
    QCOMPARE(proxy.count(), 1);

    // Sending changes nothing in the window itself.
    QCOMPARE(window.iAddress, 0);
    QCOMPARE(window.iValue, 0);
    QVERIFY(window.strCommand.isEmpty());
    QVERIFY(!window.bIsShown);
    window.close();
}

void TestMainWindow::commandWindowSignalsReachMainWindow()
{
    MainWindow w;
    WindowCommand *command = w.pWindowCommand;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);

    QTest::mousePress(command->ui->pushButton_Send_Proxy, Qt::LeftButton);
    QVERIFY(!w.bSendProxyCommand);
    QTest::mouseRelease(command->ui->pushButton_Send_Proxy, Qt::LeftButton);
    QVERIFY(w.bSendProxyCommand);
    QVERIFY(!w.bSendSensorCommand);

    QTest::mousePress(command->ui->pushButton_SendSensor, Qt::LeftButton);
    QVERIFY(!w.bSendSensorCommand);
    QTest::mouseRelease(command->ui->pushButton_SendSensor, Qt::LeftButton);
    QVERIFY(w.bSendSensorCommand);
    QVERIFY(w.bSendSensorAddress);
    QVERIFY(w.bSendSensorValue);

    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    w.close();
}

void TestMainWindow::commandWindowPlacedOverPicture()
{
    MainWindow w;
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    WindowCommand *command = w.pWindowCommand;
    QVERIFY(QTest::qWaitForWindowExposed(command));

    const QRect frame = command->frameGeometry();
    QVERIFY(frame.isValid());
    Ui_MainWindow *ui = w.ui;
    const QList<QWidget *> controls = {ui->pushButton_Start,  ui->pushButton_Stop, ui->pushButton,
                                       ui->pushButton_Exit,   ui->pushButton_TakeFPN,
                                       ui->checkBox_ApplyNUC, ui->spinBox_Gain,    ui->spinBox_Offset,
                                       ui->dial_Gain,         ui->dial_Offset};
    for (QWidget *control : controls) {
        QVERIFY2(!frame.intersects(GlobalRect(control)),
                 qPrintable(QStringLiteral("the command window hides %1").arg(control->objectName())));
    }
    // Over the picture area, centred on it (give or take the window frame).
    const QRect picture = GlobalRect(ui->DisplayImage);
    QVERIFY(picture.contains(frame));
    const QPoint shift = frame.center() - picture.center();
    const int slackX = 1 + frame.width() - command->width();
    const int slackY = 1 + frame.height() - command->height();
    QVERIFY2(qAbs(shift.x()) <= slackX && qAbs(shift.y()) <= slackY,
             qPrintable(QStringLiteral("centre %1,%2 of the picture, %3,%4 of the window")
                            .arg(picture.center().x()).arg(picture.center().y())
                            .arg(frame.center().x()).arg(frame.center().y())));
    QTest::mouseClick(ui->pushButton, Qt::LeftButton);
    w.close();
}

void TestMainWindow::destructorTearsDown()
{
    auto *w = new MainWindow;
    QCOMPARE(pMainWindow, w);
    QPointer<WindowCommand> command = w->pWindowCommand;
    QPointer<QTimer> timer = w->pTimer1s;
    QPointer<QLabel> picture = w->ui->DisplayImage;
    QTest::mouseClick(w->ui->pushButton, Qt::LeftButton);
    QVERIFY(command->isVisible());

    CloseCounter closes;
    command->installEventFilter(&closes);
    delete w;
    // The shown command window was closed, then released with the rest.
    QCOMPARE(closes.closes, 1);
    QVERIFY(command.isNull());
    QVERIFY(timer.isNull());
    QVERIFY(picture.isNull());
    QCOMPARE(pMainWindow, static_cast<MainWindow *>(nullptr));
    // The buffers go too: the leak checker of the sanitizer build reports any
    // block left behind.
}

void TestMainWindow::closeWhileIdle()
{
    // An idle window with a port open: closing releases the descriptor.
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    MainWindow w;
    QByteArray path = pty.slavePath();
    QCOMPARE(ConnectToSerial_0(&w.fdSerial, path.data()), int(SERIAL_CONNECTED));
    qstrncpy(w.pPortName, path.constData(), PORT_NAME_SIZE);
    const int fd = w.fdSerial;
    QVERIFY(fd > 0);
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QVERIFY(w.bStop);
    QCOMPARE(w.fdSerial, 0);
    errno = 0;
    QCOMPARE(fcntl(fd, F_GETFD), -1);
    QCOMPARE(errno, EBADF);
    QVERIFY(!w.pTimer1s->isActive());
}

// Closing the window during a run: the port is closed and forgotten, the
// timer stops at once, and the rest of the last cycle neither reads from nor
// writes to the old descriptor number, even when another file has it now.
void TestMainWindow::closeDuringRunReleasesPort()
{
    testsupport::Pty pty;
    QVERIFY(pty.isOpen());
    // The file that will take the freed number: four bytes, read position 0.
    QTemporaryFile sink;
    QVERIFY(sink.open());
    QCOMPARE(write(sink.handle(), "SINK", 4), ssize_t(4));
    QCOMPARE(lseek(sink.handle(), 0, SEEK_SET), off_t(0));

    MainWindow w;
    QByteArray path = pty.slavePath();
    QCOMPARE(ConnectToSerial_0(&w.fdSerial, path.data()), int(SERIAL_CONNECTED));
    qstrncpy(w.pPortName, path.constData(), PORT_NAME_SIZE);
    const int fd = w.fdSerial;
    QVERIFY(fd > 0);
    f_Acknowledge = true;

    int passes = 0;
    bool closed = false;
    int fdAfterClose = -1;
    bool timerAfterClose = true;
    int getfd = 0;
    int getfdErrno = 0;
    int reused = -1;
    QTimer poll;
    poll.setInterval(0);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!w.pTimer1s->isActive() || ++passes < 3 || closed)
            return;
        closed = true;
        poll.stop();
        // A valid proxy command waits to be sent in this very cycle.
        w.pWindowCommand->ui->lineEdit_Command->setText(QStringLiteral("!1abcd"));
        w.bSendProxyCommand = true;
        QTest::mouseClick(w.ui->pushButton_Exit, Qt::LeftButton);
        fdAfterClose = w.fdSerial;
        timerAfterClose = w.pTimer1s->isActive();
        errno = 0;
        getfd = fcntl(fd, F_GETFD);
        getfdErrno = errno;
        // The freed number now belongs to another file.
        reused = dup2(sink.handle(), fd);
    });
    poll.start();
    QTest::mouseClick(w.ui->pushButton_Start, Qt::LeftButton);

    QVERIFY(closed);
    QCOMPARE(fdAfterClose, 0);
    QVERIFY(!timerAfterClose);
    QCOMPARE(getfd, -1);
    QCOMPARE(getfdErrno, EBADF);
    QCOMPARE(reused, fd);
    QVERIFY(!w.isVisible());
    // The run wound down after its cycle and left the port closed.
    QVERIFY(w.ui->pushButton_Start->isEnabled());
    QVERIFY(!w.ui->pushButton_Stop->isEnabled());
    QCOMPARE(w.fdSerial, 0);
    QVERIFY(!w.bStop);
    // The file that took the number was neither read (its position would have
    // moved) nor written, and nothing went to the device either.
    struct stat info;
    QCOMPARE(fstat(fd, &info), 0);
    QCOMPARE(static_cast<long long>(info.st_size), 4LL);
    QCOMPARE(lseek(fd, 0, SEEK_CUR), off_t(0));
    char content[5] = {};
    QCOMPARE(pread(fd, content, 4, 0), ssize_t(4));
    QCOMPARE(content, "SINK");
    QVERIFY(pty.received().isEmpty());
    close(fd);
}

// Exit during a run, from the program's own event loop: the run ends after its
// cycle, the event loop quits with status 0.
void TestMainWindow::exitDuringRunEndsEventLoop()
{
    MainWindow w;
    bool exitPressedDuringRun = false;
    bool runEnded = false;
    QTimer::singleShot(0, &w, [&] {
        QTimer::singleShot(150, &w, [&] {
            exitPressedDuringRun = w.pTimer1s->isActive() && !w.ui->pushButton_Start->isEnabled();
            QTest::mouseClick(w.ui->pushButton_Exit, Qt::LeftButton);
        });
        QTest::mouseClick(w.ui->pushButton_Start, Qt::LeftButton);
        runEnded = true;
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        w.bStop = true;
        QCoreApplication::exit(99);
    });
    guard.start(20000);
    const int status = QCoreApplication::exec();
    guard.stop();
    QCOMPARE(status, 0);
    QVERIFY(exitPressedDuringRun);
    QVERIFY(runEnded);
    QVERIFY(!w.isVisible());
    QVERIFY(w.ui->pushButton_Start->isEnabled());
    QVERIFY(!w.ui->pushButton_Stop->isEnabled());
    QVERIFY(!w.pTimer1s->isActive());
    QVERIFY(!w.bStop);
}

// With the command window open, closing the main window leaves the event loop
// running until the command window is closed too.
void TestMainWindow::exitWaitsForCommandWindow()
{
    MainWindow w;
    QTest::mouseClick(w.ui->pushButton, Qt::LeftButton);
    QVERIFY(w.pWindowCommand->isVisible());
    bool stillRunning = false;
    QTimer::singleShot(0, &w, [&] { QTest::mouseClick(w.ui->pushButton_Exit, Qt::LeftButton); });
    QTimer::singleShot(300, &w, [&] {
        stillRunning = !w.isVisible() && w.pWindowCommand->isVisible();
        CloseByFrame(w.pWindowCommand);
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(20000);
    const int status = QCoreApplication::exec();
    guard.stop();
    QCOMPARE(status, 0);
    QVERIFY(stillRunning);
    QVERIFY(!w.pWindowCommand->isVisible());
    QVERIFY(w.pWindowCommand->bIsShown); // closed by the frame, not the toggle
}

void TestMainWindow::bufferAllocationFailure_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("raw frame") << int(RAW_FRAME_SIZE);
    QTest::newRow("8-bit image") << int(FRAME_PIXELS);
    QTest::newRow("port name") << int(PORT_NAME_SIZE);
}

void TestMainWindow::bufferAllocationFailure()
{
    QFETCH(int, size);
    QByteArray errors;
    const int status = RunChild({QString::fromLatin1(kAllocationChild), QString::number(size)}, &errors);
    QVERIFY2(status == 1, errors.constData());
    const QStringList lines = Lines(errors);
    QVERIFY2(lines.contains(QStringLiteral("framescope: not enough memory for its frame buffers")),
             errors.constData());
    QVERIFY2(!lines.contains(QStringLiteral("window constructed")), errors.constData());
}

void TestMainWindow::entryPoint()
{
    QTemporaryDir ports;
    QVERIFY(ports.isValid());

    // Exit pressed during a run ends the program with status 0, after main has
    // destroyed the window and then the application.
    QByteArray errors;
    int status = RunChild({QString::fromLatin1(kMainChild), QStringLiteral("exit-button"), ports.path()}, &errors);
    QVERIFY2(status == 0, errors.constData());
    QStringList lines = Lines(errors);
    QVERIFY2(lines.contains(QStringLiteral("window visible=1 fullscreen=1 title=%1").arg(QString::fromLatin1(kTitle))),
             errors.constData());
    QVERIFY2(lines.contains(QStringLiteral("exit during run=1")), errors.constData());
    QVERIFY2(lines.contains(QStringLiteral("run ended start=1 stop=0")), errors.constData());
    QVERIFY2(lines.contains(QStringLiteral("main returned 0 window=gone application=gone")), errors.constData());

    // main returns whatever the event loop returns.
    status = RunChild({QString::fromLatin1(kMainChild), QStringLiteral("exit-code"), ports.path()}, &errors);
    QVERIFY2(status == 3, errors.constData());
    lines = Lines(errors);
    QVERIFY2(lines.contains(QStringLiteral("main returned 3 window=gone application=gone")), errors.constData());
}

// The window looks the same on every platform (Fusion), unless the operator
// names another style on the command line or in QT_STYLE_OVERRIDE.
void TestMainWindow::oneStyleUnlessChosen_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("styleOverride");
    QTest::addColumn<QString>("style");
    QTest::newRow("none chosen") << QStringList() << QString() << "fusion";
    QTest::newRow("-style NAME") << QStringList{"-style", "windows"} << QString() << "windows";
    QTest::newRow("--style=NAME") << QStringList{"--style=windows"} << QString() << "windows";
    QTest::newRow("QT_STYLE_OVERRIDE") << QStringList() << "windows" << "windows";
}

void TestMainWindow::oneStyleUnlessChosen()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, styleOverride);
    QFETCH(QString, style);
    QByteArray errors;
    const int status = RunChild(QStringList{QString::fromLatin1(kStyleChild)} + arguments, &errors,
                                {{QStringLiteral("QT_STYLE_OVERRIDE"), styleOverride}});
    QVERIFY2(status == 0, errors.constData());
    QVERIFY2(Lines(errors).contains("style=" + style), errors.constData());
}

int main(int argc, char **argv)
{
    if (argc >= 2 && qstrcmp(argv[1], kStyleChild) == 0)
        return StyleChild(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], kAllocationChild) == 0)
        return AllocationFailureChild(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], kMainChild) == 0)
        return MainChild(argv);
    QApplication application(argc, argv);
    application.setAttribute(Qt::AA_Use96Dpi, true);
    TestMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
