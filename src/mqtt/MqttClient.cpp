#include "mqtt/MqttClient.h"

#include "keep/SignalNotifier.h"

#include <QDebug>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mosquitto.h>

namespace {

const int LOOP_WAIT_MS = 100; // how soon a handed message or a stop is seen
const int GOODBYE_LOOPS = 10; // a second to say offline at the end

void InitialiseLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

// libmosquitto's callbacks, run on the client's thread inside its loop.
struct MqttClient::Callbacks {
    static void Connected(mosquitto *, void *self, int code)
    {
        // Only noted: publishing from inside libmosquitto's callback would
        // take its locks in another order than a publish from the loop.
        MqttClient &client = *static_cast<MqttClient *>(self);
        client.refusal = code;
        client.bAccepted = code == 0;
    }
    static void Disconnected(mosquitto *, void *self, int)
    {
        MqttClient &client = *static_cast<MqttClient *>(self);
        client.bOnline = client.bAccepted = false;
    }
    static void Logged(mosquitto *, void *self, int level, const char *text)
    {
        if (level == MOSQ_LOG_ERR)
            static_cast<MqttClient *>(self)->lastLibraryError = QString::fromUtf8(text);
    }
};

MqttClient::MqttClient(const MqttSettings &settings)
    : settings(settings), availabilityTopic((settings.Prefix() + QStringLiteral("/availability")).toUtf8())
{
    InitialiseLibraryOnce();
    const SignalsKeptFromNewThreads stopsStayHere;
    thread = std::thread(&MqttClient::Run, this);
}

MqttClient::~MqttClient()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        bStop = true;
    }
    wake.notify_all();
    thread.join();
}

void MqttClient::SetDiscovery(std::vector<MqttMessage> messages)
{
    std::lock_guard<std::mutex> lock(mutex);
    discovery = std::move(messages);
    bDiscoveryChanged = true;
}

void MqttClient::OfferReadings(MqttMessage message)
{
    std::lock_guard<std::mutex> lock(mutex);
    readings.reset(new MqttMessage(std::move(message)));
}

void MqttClient::SendTransition(MqttMessage message)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (transitions.size() >= MAX_KEPT_TRANSITIONS)
        transitions.pop_front();
    states[message.topic] = message;
    transitions.push_back(std::move(message));
}

bool MqttClient::Stopping()
{
    std::lock_guard<std::mutex> lock(mutex);
    return bStop;
}

void MqttClient::Run()
{
    client = mosquitto_new(settings.id.toUtf8().constData(), true, this);
    if (client == nullptr) {
        Report(QStringLiteral("no client: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    Configure();
    int retryS = FIRST_RETRY_S;
    bool bFirst = true;
    while (!Stopping()) {
        refusal = 0;
        lastLibraryError.clear();
        // Without waiting for the TCP handshake: a host that never answers
        // must not hold up the end of the program.
        int result = bFirst
            ? mosquitto_connect_async(client, settings.host.toUtf8().constData(), settings.port, KEEPALIVE_S)
            : mosquitto_reconnect_async(client);
        bFirst = false;
        if (result == MOSQ_ERR_SUCCESS)
            result = Session();
        const int savedErrno = errno;
        const bool bWasOnline = reported == QLatin1String("online");
        if (Stopping())
            break;
        bOnline = bAccepted = false;
        Report(FailureReason(result, savedErrno));
        retryS = bWasOnline ? FIRST_RETRY_S : retryS;
        RestBeforeRetry(retryS);
        retryS = std::min(retryS * 2, int(LAST_RETRY_S));
    }
    SayGoodbye();
    mosquitto_destroy(client);
}

void MqttClient::Configure()
{
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, &Callbacks::Connected);
    mosquitto_disconnect_callback_set(client, &Callbacks::Disconnected);
    mosquitto_log_callback_set(client, &Callbacks::Logged);
    // A kiosk that drops off is marked so by the broker.
    mosquitto_will_set(client, availabilityTopic.constData(), 7, "offline", 1, true);
    if (!settings.user.isEmpty())
        mosquitto_username_pw_set(client, settings.user.toUtf8().constData(), settings.password.constData());
    if (settings.bTls) {
        const QByteArray caFile = QFile::encodeName(settings.caFile);
        mosquitto_tls_set(client, caFile.isEmpty() ? nullptr : caFile.constData(),
            caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
}

// Runs the connection until it fails or the client stops.
int MqttClient::Session()
{
    while (!Stopping()) {
        const int result = mosquitto_loop(client, LOOP_WAIT_MS, 1);
        if (result != MOSQ_ERR_SUCCESS)
            return result;
        if (bAccepted && !bOnline)
            Online();
        if (bOnline)
            PublishWaiting();
    }
    return MOSQ_ERR_SUCCESS;
}

void MqttClient::Online()
{
    bOnline = true;
    Report(QStringLiteral("online"));
    Publish({availabilityTopic, "online", 1, true});
    // A broker that restarted and lost its retained messages gets them again.
    std::lock_guard<std::mutex> lock(mutex);
    bDiscoveryChanged = true;
    bNewConnection = true;
}

// Discovery and transitions whenever connected; readings only while nothing
// else waits to be written, so that a stalled broker piles nothing up.
void MqttClient::PublishWaiting()
{
    const bool bIdle = !mosquitto_want_write(client); // asked outside the lock: it takes the library's own
    std::vector<MqttMessage> toSend;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (bDiscoveryChanged)
            toSend = discovery;
        bDiscoveryChanged = false;
        std::map<QByteArray, MqttMessage> untold = bNewConnection ? states : decltype(states)();
        bNewConnection = false;
        for (MqttMessage &transition : transitions) {
            untold.erase(transition.topic);
            toSend.push_back(std::move(transition));
        }
        transitions.clear();
        for (auto &state : untold)
            toSend.push_back(std::move(state.second));
        if (readings && bIdle) {
            toSend.push_back(*readings);
            readings.reset();
        }
    }
    for (const MqttMessage &message : toSend)
        Publish(message);
}

void MqttClient::Publish(const MqttMessage &message)
{
    mosquitto_publish(client, nullptr, message.topic.constData(), message.payload.size(),
        message.payload.constData(), message.qos, message.bRetain);
}

void MqttClient::Report(const QString &state)
{
    if (state == reported)
        return;
    reported = state;
    qDebug().noquote() << "MQTT broker" << settings.Server() + QLatin1Char(':') << state;
}

QString MqttClient::FailureReason(int result, int savedErrno) const
{
    QString reason = QString::fromUtf8(mosquitto_strerror(result));
    if (result == MOSQ_ERR_ERRNO)
        reason = QString::fromLocal8Bit(strerror(savedErrno));
    else if (result == MOSQ_ERR_EAI)
        reason = QStringLiteral("host name not found");
    if (refusal != 0)
        return QStringLiteral("refused: %1").arg(QString::fromUtf8(mosquitto_connack_string(refusal)));
    if (result == MOSQ_ERR_TLS)
        return QStringLiteral("TLS failure: %1")
            .arg(lastLibraryError.isEmpty() ? QStringLiteral("handshake failed") : lastLibraryError);
    if (reported == QLatin1String("online"))
        return QStringLiteral("connection lost: %1").arg(reason);
    return QStringLiteral("unreachable: %1").arg(reason);
}

void MqttClient::RestBeforeRetry(int seconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return bStop; });
}

// A clean disconnect sends no last will: say offline first.
void MqttClient::SayGoodbye()
{
    if (!bOnline)
        return;
    Publish({availabilityTopic, "offline", 1, true});
    mosquitto_disconnect(client);
    for (int i = 0; i < GOODBYE_LOOPS && mosquitto_loop(client, LOOP_WAIT_MS, 1) == MOSQ_ERR_SUCCESS; ++i) { }
}
