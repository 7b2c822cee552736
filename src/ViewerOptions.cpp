#include "ViewerOptions.h"

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

namespace {

const char START_OPTION[] = "start";

// Every option of the viewer, for parsing and for the help text alike.
void DescribeOptions(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("framescope"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FRAMESCOPE_VERSION));
    parser.setApplicationDescription(QStringLiteral(
        "Viewer and control panel for the 84 x 80 infrared sensor on a USB serial adapter.\n"
        "Qt's own options (-platform, -style, ...) are accepted as well."));
    // Qt's options are single-dash words (-platform, -reverse): read words the
    // same way, so none of them is ever taken for a string of one-letter flags.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QString::fromLatin1(START_OPTION),
                                        QStringLiteral("Start acquiring as soon as the window is shown, "
                                                       "as if Start had been pressed.")));
}

// --help-all (which Qt adds) gets the same text: Qt's options are Qt's to list.
bool AsksForHelp(const QCommandLineParser &parser)
{
    return parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
}

QStringList ArgumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void Print(FILE *to, const QString &text)
{
    fputs(text.toLocal8Bit().constData(), to);
    fflush(to);
}

} // namespace

bool AsksForHelpOrVersion(int argc, char **argv)
{
    // Parsed with no application object: Qt's own options are still in the
    // list and count as unknown here, which does not matter for this question.
    QCommandLineParser parser;
    DescribeOptions(parser);
    parser.parse(ArgumentList(argc, argv));
    return AsksForHelp(parser) || parser.isSet(QStringLiteral("version"));
}

int PrintHelpOrVersion()
{
    QCommandLineParser parser;
    DescribeOptions(parser);
    parser.parse(QCoreApplication::arguments());
    if (AsksForHelp(parser))
        Print(stdout, parser.helpText());
    else
        Print(stdout, QCoreApplication::applicationName() + QLatin1Char(' ')
                          + QCoreApplication::applicationVersion() + QLatin1Char('\n'));
    return 0;
}

bool ParseViewerOptions(const QStringList &arguments, ViewerOptions &options, QString &error)
{
    QCommandLineParser parser;
    DescribeOptions(parser);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    options.bStartAtOnce = parser.isSet(QString::fromLatin1(START_OPTION));
    return true;
}

int RefuseCommandLine(const QString &error)
{
    QCommandLineParser parser;
    DescribeOptions(parser);
    Print(stderr, QStringLiteral("framescope: %1\n\n").arg(error) + parser.helpText());
    return OPTIONS_EXIT_STATUS;
}

void ApplyViewerOptions(const ViewerOptions &options, MainWindow &window)
{
    if (options.bStartAtOnce) {
        // The run lives inside the Start slot, so it must begin from the event
        // loop, once it runs; a click also goes through the button's signals
        // exactly as the operator's press does.
        QTimer::singleShot(0, window.ui->pushButton_Start, &QPushButton::click);
    }
}
