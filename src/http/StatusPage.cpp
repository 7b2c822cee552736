#include "http/StatusPage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

QString PortText(const ViewerStatus &status)
{
    return status.bConnected ? status.port : QStringLiteral("no device");
}

QString RotationText(const ViewerStatus &status)
{
    return QStringLiteral("%1\u00B0%2").arg(status.rotation).arg(status.bMirror ? QStringLiteral(", mirrored") : QString());
}

// One row of the page's table; the script finds its value by the key.
QString Row(const char *key, const QString &caption, const QString &value)
{
    return QStringLiteral("<tr><th>%1</th><td id=\"%2\">%3</td></tr>\n")
        .arg(caption, QString::fromLatin1(key), value.toHtmlEscaped());
}

// The frame's minimum, maximum and mean; null before the first frame.
QJsonValue ReadingsJson(const ViewerStatus &status)
{
    if (!status.bReadings)
        return QJsonValue();
    QJsonObject readings;
    readings[QStringLiteral("min")] = status.readings.min.value;
    readings[QStringLiteral("max")] = status.readings.max.value;
    readings[QStringLiteral("mean")] = status.readings.mean.value;
    return readings;
}

QString ReadingsText(const ViewerStatus &status)
{
    if (!status.bReadings)
        return QStringLiteral("none yet");
    return QStringLiteral("%1 .. %2, mean %3%4")
        .arg(status.readings.min.Text(), status.readings.max.Text(), status.readings.mean.Text(),
             status.bReadingsMayBeOff ? QStringLiteral(" (may be off)") : QString());
}

const char PAGE_HEAD[] = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>framescope</title>
<style>
body { margin: 0; padding: 1em; background: #202020; color: #e0e0e0; font: 15px sans-serif; }
main { display: flex; flex-wrap: wrap; gap: 1.5em; align-items: flex-start; }
img { width: 504px; max-width: 100%; image-rendering: pixelated; background: #000; }
table { border-collapse: collapse; }
th { text-align: left; font-weight: normal; color: #a0a0a0; padding: 0.2em 1em 0.2em 0; }
td { font-variant-numeric: tabular-nums; }
a { color: #80b0ff; }
</style></head>
<body><h1>framescope</h1><main>
<img id="picture" src="/stream.mjpg" alt="the live picture (when frames are shown)">
<div><table>
)html";

// Polls the status once a second; the picture comes from the stream, which
// is opened again should it break (the viewer restarted, say).
const char PAGE_TAIL[] = R"html(</table>
<p><a href="/frame.png">picture as shown (PNG)</a><br>
<a href="/raw.png">raw samples (16-bit PNG)</a><br>
<a href="/stream.mjpg">stream (MJPEG)</a><br>
<a href="/status.json">status (JSON)</a></p></div></main>
<script>
const picture = document.getElementById("picture");
picture.onerror = () => setTimeout(() => { picture.src = "/stream.mjpg?" + Date.now(); }, 2000);
function show(s) {
  const set = (id, text) => { document.getElementById(id).textContent = text; };
  set("rate", s.framesLastSecond + " FPS");
  set("shown", s.framesShown);
  set("rejected", s.rejectedFrames);
  set("port", s.connected ? s.port : "no device");
  set("palette", s.palette);
  set("range", s.range);
  set("rotation", s.rotation + "\u00B0" + (s.mirror ? ", mirrored" : ""));
  set("uptime", s.uptimeSeconds + " s");
  const r = s.readings, text = v => s.unit === "counts" ? Math.round(v) : v.toFixed(1) + " " + s.unit;
  set("readings", r ? text(r.min) + " .. " + text(r.max) + ", mean " + text(r.mean)
                      + (s.readingsMayBeOff ? " (may be off)" : "") : "none yet");
  for (const a of s.alarms || [])
    set("alarm-" + a.name, a.state + (a.value === null ? "" : " at " + a.value) + " (" + a.condition + ")");
}
setInterval(() => fetch("/status.json", {cache: "no-store"}).then(r => r.json()).then(show).catch(() => {}), 1000);
</script></body></html>
)html";

QJsonArray AlarmsJson(const ViewerStatus &status)
{
    QJsonArray alarms;
    for (const AlarmSummary &alarm : status.alarms)
        alarms << QJsonObject { { QStringLiteral("name"), alarm.name },
                                { QStringLiteral("state"), alarm.state },
                                { QStringLiteral("value"), alarm.value.isEmpty() ? QJsonValue() : QJsonValue(alarm.value) },
                                { QStringLiteral("condition"), alarm.condition } };
    return alarms;
}

// "raised at 9286 (max > 8000)".
QString AlarmText(const AlarmSummary &alarm)
{
    return alarm.state + (alarm.value.isEmpty() ? QString() : QStringLiteral(" at ") + alarm.value)
           + QStringLiteral(" (") + alarm.condition + QLatin1Char(')');
}

// A row per alarm, its id "alarm-NAME" for the script.
QString AlarmRows(const ViewerStatus &status)
{
    QString rows;
    for (const AlarmSummary &alarm : status.alarms) {
        const QByteArray id = "alarm-" + alarm.name.toUtf8();
        rows += Row(id.constData(), QStringLiteral("Alarm ") + alarm.name.toHtmlEscaped(), AlarmText(alarm));
    }
    return rows;
}

} // namespace

QByteArray StatusJson(const ViewerStatus &status, qint64 uptimeSeconds)
{
    QJsonObject json;
    json[QStringLiteral("connected")] = status.bConnected;
    json[QStringLiteral("port")] = status.bConnected ? QJsonValue(status.port) : QJsonValue();
    json[QStringLiteral("framesShown")] = static_cast<double>(status.framesShown);
    json[QStringLiteral("framesLastSecond")] = status.framesLastSecond;
    json[QStringLiteral("rejectedFrames")] = status.rejectedFrames;
    json[QStringLiteral("acknowledgementsPending")] = status.acknowledgementsPending;
    json[QStringLiteral("palette")] = status.palette;
    json[QStringLiteral("range")] = status.range;
    json[QStringLiteral("rotation")] = status.rotation;
    json[QStringLiteral("mirror")] = status.bMirror;
    json[QStringLiteral("unit")] = UnitName(status.readings.mean.unit);
    json[QStringLiteral("readings")] = ReadingsJson(status);
    json[QStringLiteral("readingsMayBeOff")] = status.bReadingsMayBeOff;
    json[QStringLiteral("version")] = QStringLiteral(FRAMESCOPE_VERSION);
    json[QStringLiteral("uptimeSeconds")] = static_cast<double>(uptimeSeconds);
    json[QStringLiteral("alarms")] = AlarmsJson(status);
    return QJsonDocument(json).toJson(QJsonDocument::Indented);
}

QByteArray StatusPage(const ViewerStatus &status, qint64 uptimeSeconds)
{
    const QString rows = Row("rate", QStringLiteral("Frame rate"), QStringLiteral("%1 FPS").arg(status.framesLastSecond))
                         + Row("shown", QStringLiteral("Frames shown"), QString::number(status.framesShown))
                         + Row("rejected", QStringLiteral("Rejected frames"), QString::number(status.rejectedFrames))
                         + Row("port", QStringLiteral("Port"), PortText(status))
                         + Row("palette", QStringLiteral("Palette"), status.palette)
                         + Row("range", QStringLiteral("Range"), status.range)
                         + Row("rotation", QStringLiteral("Rotation"), RotationText(status))
                         + Row("readings", QStringLiteral("Readings"), ReadingsText(status))
                         + Row("uptime", QStringLiteral("Running for"), QStringLiteral("%1 s").arg(uptimeSeconds))
                         + AlarmRows(status);
    return QByteArray(PAGE_HEAD) + rows.toUtf8() + QByteArray(PAGE_TAIL);
}
