// The MQTT client's side of the window (--mqtt): on the GUI thread, hands the
// client the readings every interval, each alarm transition at once, and the
// discovery messages again whenever the regions or the unit change. Only
// hands over; the client's thread does the talking.
#ifndef MQTT_MQTTCONTROLLER_H
#define MQTT_MQTTCONTROLLER_H

#include "mqtt/MqttMessages.h"
#include "regions/RegionMonitor.h"

#include <QObject>
#include <functional>
#include <memory>

class QTimer;

class MqttController : public QObject
{
    Q_OBJECT

public:
    // Publishes what `regions` reads; `connected` tells whether a sensor is.
    MqttController(const MqttSettings &settings, RegionMonitor *regions, std::function<bool()> connected,
        QObject *parent);
    ~MqttController() override;

    // The display step's frame (FrameFeed::Shown): counted for the rate.
    void FrameShown(const ShownFramePtr &frame);

private slots:
    void Timer_Readings();
    void AlarmChanged(const AlarmStatus &status);

private:
    void DescribeIfChanged();

    MqttSettings settings;
    RegionMonitor *regions;
    std::function<bool()> connected;
    std::unique_ptr<MqttClient> client;
    QTimer *readingsTimer;
    quint64 framesSinceReadings = 0;
    QString described; // what the discovery messages last sent describe
};

#endif
