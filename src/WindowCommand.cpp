#include "WindowCommand.h"

#include "ui_WindowCommand.h"

WindowCommand::WindowCommand(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_WindowCommand)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Send Commands"));
    connect(ui->pushButton_SendSensor, SIGNAL(released()), this, SLOT(PushButton_SendToSensor()));
    connect(ui->pushButton_Send_Proxy, SIGNAL(released()), this, SLOT(PushButton_SendToProxy()));
    connect(ui->spinBox_Address, SIGNAL(valueChanged(int)), this, SLOT(SpinBox_Address(int)));
    connect(ui->spinBox_Value, SIGNAL(valueChanged(int)), this, SLOT(SpinBox_Value(int)));
    connect(ui->lineEdit_Command, SIGNAL(textChanged(QString)), this, SLOT(Label_Command(QString)));
}

WindowCommand::~WindowCommand()
{
    delete ui;
}

void WindowCommand::PushButton_SendToSensor()
{
    emit SendCommandSensor();
}

void WindowCommand::PushButton_SendToProxy()
{
    emit SendCommandProxy();
}

void WindowCommand::SpinBox_Address(int value)
{
    iAddress = value;
}

void WindowCommand::SpinBox_Value(int value)
{
    iValue = value;
}

void WindowCommand::Label_Command(QString text)
{
    strCommand = text;
}
