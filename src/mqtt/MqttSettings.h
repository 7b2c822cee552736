// Where and as whom the kiosk publishes (--mqtt and its companions). Needs
// no window.
#ifndef MQTT_MQTTSETTINGS_H
#define MQTT_MQTTSETTINGS_H

#include <QByteArray>
#include <QString>

struct MqttSettings {
    QString host;
    int port = 1883;
    bool bTls = false;
    QString caFile;          // empty: the system's certificates
    QString user;            // empty: no credentials
    QByteArray password;     // read from its file, never from the command line
    QString id;              // the client id and the last part of the topics' prefix
    int intervalSeconds = 5; // between two readings
    QString imageUrl;        // with --http: where the picture is; empty: no image entity

    QString Prefix() const { return QStringLiteral("framescope/") + id; }
    QString Server() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

// "mqtt://HOST[:PORT]" (1883) or "mqtts://HOST[:PORT]" (8883). On a bad URL
// returns false with the reason in error.
bool ParseMqttUrl(const QString &text, MqttSettings &settings, QString &error);
// Its first line; false with the reason when it cannot be read.
bool ReadPasswordFile(const QString &path, QByteArray &password, QString &error);
// An id as MQTT topics and Home Assistant take it: letters, digits, - and _.
bool IsMqttId(const QString &id);
// The host name made into such an id.
QString DefaultMqttId();

#endif
