#include "WidgetStyle.h"

#include <QApplication>
#include <QByteArray>

bool StyleChosenOnStart(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE"))
        return true;
    for (int i = 1; i < argc; ++i) {
        QByteArray argument(argv[i]);
        if (argument.startsWith("--"))
            argument.remove(0, 1); // Qt reads its options with one dash or two
        if (argument.startsWith("-style=") || (argument == "-style" && i + 1 < argc))
            return true;
    }
    return false;
}

void UseCommonStyle()
{
    QApplication::setStyle(QStringLiteral("Fusion"));
}
