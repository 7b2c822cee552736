#include "mqtt/MqttMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace {

const char DISCOVERY_PREFIX[] = "homeassistant";

QByteArray Topic(const MqttSettings &settings, const QString &leaf)
{
    return (settings.Prefix() + QLatin1Char('/') + leaf).toUtf8();
}

// Hundredths are finer than the sensor tells apart.
double Rounded(double value)
{
    return std::round(value * 100) / 100;
}

// The keys of the readings message that hold values, with their names.
QVector<QPair<QString, QString>> ValueKeys(const RegionSet &regions)
{
    QVector<QPair<QString, QString>> keys {{QStringLiteral("min"), QStringLiteral("Minimum")},
        {QStringLiteral("max"), QStringLiteral("Maximum")}, {QStringLiteral("mean"), QStringLiteral("Mean")}};
    for (int i = 1; i <= regions.spots.size(); ++i)
        keys.append({QStringLiteral("spot%1").arg(i), QStringLiteral("Spot %1").arg(i)});
    for (int i = 1; i <= regions.boxes.size(); ++i) {
        for (const char *statistic : {"min", "max", "mean"})
            keys.append({QStringLiteral("box%1_%2").arg(i).arg(QLatin1String(statistic)),
                QStringLiteral("Box %1 %2").arg(i).arg(QLatin1String(statistic))});
    }
    return keys;
}

// What every entity of the kiosk shares: its device and its availability.
QJsonObject Entity(const MqttSettings &settings, const QString &object, const QString &name)
{
    const QJsonObject device {{QStringLiteral("identifiers"), QJsonArray {settings.id}},
        {QStringLiteral("name"), QStringLiteral("framescope ") + settings.id},
        {QStringLiteral("model"), QStringLiteral("framescope")},
        {QStringLiteral("sw_version"), QStringLiteral(FRAMESCOPE_VERSION)}};
    return {{QStringLiteral("name"), name},
        {QStringLiteral("unique_id"), settings.id + QLatin1Char('_') + object},
        {QStringLiteral("availability_topic"),
            QString::fromUtf8(Topic(settings, QStringLiteral("availability")))},
        {QStringLiteral("device"), device}};
}

MqttMessage Config(
    const MqttSettings &settings, const char *component, const QString &object, const QJsonObject &config)
{
    const QString topic
        = QStringLiteral("%1/%2/%3/%4/config")
              .arg(QLatin1String(DISCOVERY_PREFIX), QLatin1String(component), settings.id, object);
    return {topic.toUtf8(), QJsonDocument(config).toJson(QJsonDocument::Compact), 1, true};
}

MqttMessage ValueSensor(
    const MqttSettings &settings, const QString &key, const QString &name, ReadingUnit unit)
{
    QJsonObject config = Entity(settings, key, name);
    config[QStringLiteral("state_topic")] = QString::fromUtf8(Topic(settings, QStringLiteral("readings")));
    config[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.%1 }}").arg(key);
    config[QStringLiteral("unit_of_measurement")] = UnitName(unit);
    config[QStringLiteral("state_class")] = QStringLiteral("measurement");
    if (unit == ReadingUnit::Celsius)
        config[QStringLiteral("device_class")] = QStringLiteral("temperature");
    return Config(settings, "sensor", key, config);
}

MqttMessage AlarmSensor(const MqttSettings &settings, const AlarmRule &rule)
{
    const QString object = QStringLiteral("alarm_") + rule.name;
    QJsonObject config = Entity(settings, object, QStringLiteral("Alarm ") + rule.name);
    config[QStringLiteral("state_topic")]
        = QString::fromUtf8(Topic(settings, QStringLiteral("alarm/") + rule.name));
    config[QStringLiteral("payload_on")] = AlarmStateName(AlarmState::Raised);
    config[QStringLiteral("payload_off")] = AlarmStateName(AlarmState::Cleared);
    config[QStringLiteral("device_class")] = QStringLiteral("problem");
    return Config(settings, "binary_sensor", object, config);
}

void AddDeviceEntities(const MqttSettings &settings, std::vector<MqttMessage> &messages)
{
    QJsonObject rate = Entity(settings, QStringLiteral("frame_rate"), QStringLiteral("Frame rate"));
    rate[QStringLiteral("state_topic")] = QString::fromUtf8(Topic(settings, QStringLiteral("readings")));
    rate[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.frame_rate }}");
    rate[QStringLiteral("unit_of_measurement")] = QStringLiteral("fps");
    messages.push_back(Config(settings, "sensor", QStringLiteral("frame_rate"), rate));
    QJsonObject connected = Entity(settings, QStringLiteral("connected"), QStringLiteral("Sensor connected"));
    connected[QStringLiteral("state_topic")] = QString::fromUtf8(Topic(settings, QStringLiteral("readings")));
    connected[QStringLiteral("value_template")]
        = QStringLiteral("{{ 'ON' if value_json.connected else 'OFF' }}");
    connected[QStringLiteral("device_class")] = QStringLiteral("connectivity");
    messages.push_back(Config(settings, "binary_sensor", QStringLiteral("connected"), connected));
}

// With --http: Home Assistant fetches the picture from the kiosk's URL.
void AddPicture(const MqttSettings &settings, std::vector<MqttMessage> &messages)
{
    if (settings.imageUrl.isEmpty())
        return;
    const QByteArray urlTopic = Topic(settings, QStringLiteral("picture_url"));
    QJsonObject picture = Entity(settings, QStringLiteral("picture"), QStringLiteral("Picture"));
    picture[QStringLiteral("url_topic")] = QString::fromUtf8(urlTopic);
    messages.push_back(Config(settings, "image", QStringLiteral("picture"), picture));
    messages.push_back({urlTopic, settings.imageUrl.toUtf8(), 1, true});
}

} // namespace

std::vector<MqttMessage> DiscoveryMessages(const MqttSettings &settings, const RegionSet &regions,
    const QVector<AlarmRule> &alarms, ReadingUnit unit)
{
    std::vector<MqttMessage> messages;
    AddDeviceEntities(settings, messages);
    for (const auto &key : ValueKeys(regions))
        messages.push_back(ValueSensor(settings, key.first, key.second, unit));
    for (const AlarmRule &rule : alarms)
        messages.push_back(AlarmSensor(settings, rule));
    AddPicture(settings, messages);
    return messages;
}

MqttMessage ReadingsMessage(
    const MqttSettings &settings, const RegionReadings *readings, double frameRate, bool bConnected)
{
    QJsonObject json {
        {QStringLiteral("frame_rate"), Rounded(frameRate)}, {QStringLiteral("connected"), bConnected}};
    if (readings) {
        json[QStringLiteral("unit")] = UnitName(readings->unit);
        const auto put
            = [&json](const QString &key, const Reading &reading) { json[key] = Rounded(reading.value); };
        const auto putSummary = [&put](const QString &stem, const ReadingSummary &summary) {
            put(stem + QStringLiteral("min"), summary.min);
            put(stem + QStringLiteral("max"), summary.max);
            put(stem + QStringLiteral("mean"), summary.mean);
        };
        putSummary(QString(), readings->frame);
        for (int i = 0; i < readings->spots.size(); ++i)
            put(QStringLiteral("spot%1").arg(i + 1), readings->spots[i]);
        for (int i = 0; i < readings->boxes.size(); ++i)
            putSummary(QStringLiteral("box%1_").arg(i + 1), readings->boxes[i]);
    }
    return {Topic(settings, QStringLiteral("readings")), QJsonDocument(json).toJson(QJsonDocument::Compact),
        0, false};
}

MqttMessage AlarmMessage(const MqttSettings &settings, const AlarmStatus &status)
{
    return {Topic(settings, QStringLiteral("alarm/") + status.name), AlarmStateName(status.state).toUtf8(), 1,
        true};
}
