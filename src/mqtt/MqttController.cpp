#include "mqtt/MqttController.h"

#include <QTimer>

MqttController::MqttController(
    const MqttSettings &settings, RegionMonitor *regions, std::function<bool()> connected, QObject *parent)
    : QObject(parent), settings(settings), regions(regions), connected(std::move(connected)),
      client(new MqttClient(settings)), readingsTimer(new QTimer(this))
{
    DescribeIfChanged();
    for (const AlarmStatus &status : regions->Alarms())
        AlarmChanged(status);
    connect(regions, &RegionMonitor::Transition, this, &MqttController::AlarmChanged);
    connect(readingsTimer, &QTimer::timeout, this, &MqttController::Timer_Readings);
    readingsTimer->start(settings.intervalSeconds * 1000);
}

MqttController::~MqttController() = default;

void MqttController::FrameShown(const ShownFramePtr &)
{
    ++framesSinceReadings;
    DescribeIfChanged();
}

void MqttController::Timer_Readings()
{
    const double rate = double(framesSinceReadings) / settings.intervalSeconds;
    framesSinceReadings = 0;
    const RegionReadings *readings = regions->Shown() ? &regions->Readings() : nullptr;
    client->OfferReadings(ReadingsMessage(settings, readings, rate, connected()));
}

void MqttController::AlarmChanged(const AlarmStatus &status)
{
    client->SendTransition(AlarmMessage(settings, status));
}

// The entities depend on the regions' number and on the unit.
void MqttController::DescribeIfChanged()
{
    const RegionSet &set = regions->Regions();
    const ReadingUnit unit = regions->Shown() ? regions->Readings().unit : ReadingUnit::Counts;
    const QString now
        = QStringLiteral("%1 %2 %3").arg(set.spots.size()).arg(set.boxes.size()).arg(UnitName(unit));
    if (now == described)
        return;
    described = now;
    client->SetDiscovery(DiscoveryMessages(settings, set, regions->Rules(), unit));
}
