// Commands to the device: the Send requests of the command window, their
// validation and encoding, and the write paced by the acknowledgement byte.
#include "mainwindow.h"

#include "calib/CalibrationController.h"

#include "WindowCommand.h"

#include <QByteArray>
#include <QDebug>
#include <QMessageBox>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const int PROXY_COMMAND_SIZE = 6;
const int SENSOR_FIELD_LIMIT = 4096;

} // namespace

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
        bSendSensorAddress = false;
        if (!SendSensorStep(command))
            DropSensorWrite(address);
    } else if (bSendSensorValue) {
        EncodeSensorCommand(command, sizeof command, 'F', value);
        if (SendSensorStep(command) && pCalibration)
            pCalibration->MarkReadingsMayBeOff(); // the register may change the response
        bSendSensorValue = false;
        bSendSensorCommand = false;
    }
}

// True when the step went out whole and now waits for its acknowledgement.
bool MainWindow::SendSensorStep(const char *command)
{
    snprintf(szCommand, sizeof szCommand, "%s", command);
    if (fdSerial == 0 || !CommandToSend())
        return false;
    f_Acknowledge = false;
    return true;
}

// The device writes a value into the register it was last given: a value
// whose address did not go out would land in whatever register that was, so
// the whole write is consumed, as requests are while no port is open.
void MainWindow::DropSensorWrite(int address)
{
    bSendSensorValue = false;
    bSendSensorCommand = false;
    qDebug() << "Sensor write to address" << address << "dropped: address not sent";
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
