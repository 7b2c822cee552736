#include "mqtt/MqttSettings.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

bool ParseMqttUrl(const QString &text, MqttSettings &settings, QString &error)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")))
        error = QStringLiteral("'%1' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]").arg(text);
    else if (url.host().isEmpty())
        error = QStringLiteral("'%1' names no host").arg(text);
    else if (!url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        || url.hasQuery() || url.hasFragment())
        error = QStringLiteral("'%1' holds more than a host and a port (credentials go in --mqtt-user and "
                               "--mqtt-password-file)")
                    .arg(text);
    if (!error.isEmpty())
        return false;
    settings.bTls = scheme == QLatin1String("mqtts");
    settings.host = url.host();
    settings.port = url.port(settings.bTls ? 8883 : 1883);
    return true;
}

bool ReadPasswordFile(const QString &path, QByteArray &password, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString());
        return false;
    }
    password = file.readLine();
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    return true;
}

bool IsMqttId(const QString &id)
{
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return form.match(id).hasMatch();
}

QString DefaultMqttId()
{
    QString id = QSysInfo::machineHostName();
    id.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    return id.isEmpty() ? QStringLiteral("framescope") : id.left(64);
}
