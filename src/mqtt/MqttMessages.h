// What the kiosk publishes, as messages: its readings, its alarms' states
// and the Home Assistant discovery messages that describe them. Needs no
// window.
//
// Topics, under PREFIX = framescope/ID:
//   PREFIX/availability   online, or offline (the last will), retained
//   PREFIX/readings       JSON every interval: frame_rate, connected, unit,
//                         min, max, mean, spotN, boxN_min|max|mean
//   PREFIX/alarm/NAME     raised, cleared or unavailable, QoS 1, retained
//   PREFIX/picture_url    with --http: the URL of /frame.png, retained
//   homeassistant/<component>/ID/<object>/config   discovery, retained
#ifndef MQTT_MQTTMESSAGES_H
#define MQTT_MQTTMESSAGES_H

#include "mqtt/MqttClient.h"
#include "regions/RegionMonitor.h"

#include <vector>

std::vector<MqttMessage> DiscoveryMessages(const MqttSettings &settings, const RegionSet &regions,
    const QVector<AlarmRule> &alarms, ReadingUnit unit);
// readings null: no frame shown, so no values.
MqttMessage ReadingsMessage(
    const MqttSettings &settings, const RegionReadings *readings, double frameRate, bool bConnected);
MqttMessage AlarmMessage(const MqttSettings &settings, const AlarmStatus &status);

#endif
