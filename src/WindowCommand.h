#ifndef WINDOWCOMMAND_H
#define WINDOWCOMMAND_H

#include <QMainWindow>
#include <QString>

class Ui_WindowCommand;

// The small window in which the operator types a proxy command or picks a
// sensor register address and value. It keeps what was entered; the main
// window reads the members when it sends.
class WindowCommand : public QMainWindow
{
    Q_OBJECT

public:
    explicit WindowCommand(QWidget *parent = nullptr);
    ~WindowCommand() override;

    bool bIsShown = false; // opened by the main window's "Cmd" button, not yet closed by it
    int iAddress = 0;      // sensor register address, as the spin box shows it
    int iValue = 0;        // sensor register value, as the spin box shows it
    QString strCommand;    // proxy command, as typed
    Ui_WindowCommand *ui;

signals:
    void SendCommandProxy();
    void SendCommandSensor();

private slots:
    void PushButton_SendToSensor();
    void PushButton_SendToProxy();
    void SpinBox_Address(int);
    void SpinBox_Value(int);
    void Label_Command(QString);
};

#endif
