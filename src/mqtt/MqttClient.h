// The kiosk's MQTT client, on libmosquitto, on a thread of its own: the GUI
// thread only hands it messages and never waits on the network. While the
// broker is away the newest readings are kept (older ones dropped) and the
// alarms' transitions are kept, up to a bound, to be sent on reconnection;
// reconnection backs off from 1 s to 60 s, and each change of the
// connection's state is one log line with its reason, not one per try.
#ifndef MQTT_MQTTCLIENT_H
#define MQTT_MQTTCLIENT_H

#include "mqtt/MqttSettings.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct mosquitto;

struct MqttMessage {
    QByteArray topic;
    QByteArray payload;
    int qos = 0;
    bool bRetain = false;
};

class MqttClient
{
public:
    enum { MAX_KEPT_TRANSITIONS = 256, FIRST_RETRY_S = 1, LAST_RETRY_S = 60, KEEPALIVE_S = 10 };

    explicit MqttClient(const MqttSettings &settings); // connects, on its thread
    ~MqttClient(); // says offline, if it can within a second, and ends its thread
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // From the GUI thread; none of them waits on the broker.
    // Sent on every connection (retained) and again when changed.
    void SetDiscovery(std::vector<MqttMessage> messages);
    // Replaces any readings not yet sent.
    void OfferReadings(MqttMessage message);
    // Kept until sent; past the bound the oldest is dropped. The last one of
    // each topic is sent again on every connection, after those kept.
    void SendTransition(MqttMessage message);

private:
    struct Callbacks;
    void Run();
    void Configure();
    int Session();
    void PublishWaiting();
    void Publish(const MqttMessage &message);
    void Online();
    void Report(const QString &state);
    QString FailureReason(int result, int savedErrno) const;
    void RestBeforeRetry(int seconds);
    void SayGoodbye();
    bool Stopping();

    const MqttSettings settings;
    const QByteArray availabilityTopic;

    std::mutex mutex; // guards what follows, up to the thread
    std::condition_variable wake;
    bool bStop = false;
    std::vector<MqttMessage> discovery;
    bool bDiscoveryChanged = false;
    std::unique_ptr<MqttMessage> readings;
    std::deque<MqttMessage> transitions;
    std::map<QByteArray, MqttMessage> states; // the last transition of each topic
    bool bNewConnection = false;
    std::thread thread;

    // The client's thread alone.
    mosquitto *client = nullptr;
    bool bAccepted = false;   // the broker has just accepted the connection
    bool bOnline = false;     // and the connection's first messages are sent
    int refusal = 0;          // the broker's CONNACK code when it refused
    QString lastLibraryError; // libmosquitto's last error line (TLS failures)
    QString reported;         // the state last logged
};

#endif
