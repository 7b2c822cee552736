#include "ViewerOptions.h"

#include "Recording.h"
#include "WireWait.h"
#include "calib/CalibrationController.h"
#include "http/HttpController.h"
#include "keep/ReferenceStore.h"
#include "keep/SnapshotController.h"
#include "mainwindow.h"
#include "video/VideoController.h"
#include "mqtt/MqttController.h"
#include "regions/RegionsView.h"
#include "ui_mainwindow.h"
#include "view/ViewController.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSysInfo>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace {

const char START_OPTION[] = "start";
const char DEVICE_OPTION[] = "device";
const char RECORD_OPTION[] = "record";
const char PALETTE_OPTION[] = "palette";
const char RANGE_OPTION[] = "range";
const char ROTATE_OPTION[] = "rotate";
const char MIRROR_OPTION[] = "mirror";
const char WAIT_OPTION[] = "wait-for-data";
const char SNAPSHOT_DIR_OPTION[] = "snapshot-dir";
const char REFERENCE_OPTION[] = "reference";
const char REFERENCE_FRAMES_OPTION[] = "reference-frames";
const char HTTP_OPTION[] = "http";
const char CALIBRATION_OPTION[] = "calibration";
const char EMISSIVITY_OPTION[] = "emissivity";
const char REFLECTED_OPTION[] = "reflected-temperature";
const int CALIBRATION_REFERENCE_FRAMES = 16; // without --reference-frames
// The calibration page's control, beside Apply NUC in the left column.
const QRect CALIBRATION_OPENER(95, 228, 45, 34);
const char VIDEO_START_OPTION[] = "video-start";
const char VIDEO_DIR_OPTION[] = "video-dir";
const char VIDEO_MAX_MINUTES_OPTION[] = "video-max-minutes";
const int MAX_VIDEO_MINUTES = 24 * 60;
const char SPOT_OPTION[] = "spot";
const char BOX_OPTION[] = "box";
const char REGIONS_OPTION[] = "regions";
const char ALARM_OPTION[] = "alarm";
const char HYSTERESIS_OPTION[] = "alarm-hysteresis";
const char HOLD_OPTION[] = "alarm-hold";
const char MQTT_OPTION[] = "mqtt";
const char MQTT_CA_OPTION[] = "mqtt-ca";
const char MQTT_USER_OPTION[] = "mqtt-user";
const char MQTT_PASSWORD_OPTION[] = "mqtt-password-file";
const char MQTT_ID_OPTION[] = "mqtt-id";
const char MQTT_INTERVAL_OPTION[] = "mqtt-interval";
const int MAX_HOLD_S = 3600;
const int MAX_INTERVAL_S = 3600;
const int FLUSH_MS = 1000; // at most this much of a recording is lost to a kill

// Listening from before the window is made until the window takes it over.
std::unique_ptr<HttpServer> preparedServer;

void AddOption(QCommandLineParser &parser, const char *name, const char *description,
               const char *valueName = nullptr)
{
    parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(description),
                                        QString::fromLatin1(valueName)));
}

// The regions, the alarms and the broker they are published to.
void DescribeSiteOptions(QCommandLineParser &parser)
{
    AddOption(parser, SPOT_OPTION,
              "Watch the sensor pixel at column COL, row ROW (0,0 top left; given up to 4 times: spot1, "
              "spot2, ...).",
              "COL,ROW");
    AddOption(parser, BOX_OPTION,
              "Watch the minimum, maximum and mean of the box between two opposite corners, in sensor "
              "pixels (given up to 2 times: box1, box2).",
              "COL,ROW,COL,ROW");
    AddOption(parser, REGIONS_OPTION,
              "Keep the spots and boxes changed on the screen in FILE; when it exists it is loaded "
              "instead of --spot and --box.",
              "FILE");
    AddOption(parser, ALARM_OPTION,
              "Raise the alarm NAME while SOURCE is above (>) or below (<) VALUE: SOURCE is max, min or "
              "mean of the frame, spotN, or boxN.max|min|mean; VALUE is in the frame's unit (counts, or "
              "degrees once calibrated), or with C (5C) in degrees only, the alarm being unavailable "
              "without a calibration. NAME: defaults to SOURCE. Given once per alarm.",
              "[NAME:]SOURCE>VALUE");
    AddOption(parser, HYSTERESIS_OPTION,
              "A raised alarm clears once its value is back past the threshold by H (default 1).", "H");
    AddOption(parser, HOLD_OPTION,
              "The condition must hold this long before the alarm is raised (0 to 3600; default 0).",
              "SECONDS");
    AddOption(parser, MQTT_OPTION,
              "Publish availability, readings, alarms and Home Assistant discovery to the broker at "
              "mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS against the system's "
              "certificates).",
              "URL");
    AddOption(parser, MQTT_CA_OPTION, "With mqtts://: trust the certificate authority in FILE instead.",
              "FILE");
    AddOption(parser, MQTT_USER_OPTION, "Log in to the broker as NAME.", "NAME");
    AddOption(parser, MQTT_PASSWORD_OPTION, "With --mqtt-user: the password is the first line of FILE.",
              "FILE");
    AddOption(parser, MQTT_ID_OPTION,
              "Client id and topic prefix framescope/ID (letters, digits, - and _; default: the host "
              "name).",
              "ID");
    AddOption(parser, MQTT_INTERVAL_OPTION, "Publish the readings every SECONDS (1 to 3600; default 5).",
              "SECONDS");
}

// Every option of the viewer, for parsing and for the help text alike.
void DescribeOptions(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("framescope"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FRAMESCOPE_VERSION));
    parser.setApplicationDescription(QStringLiteral(
        "Viewer and control panel for the 84 x 80 infrared sensor on a USB serial adapter.\n"
        "Qt's own options (-platform, -style, ...) are accepted as well."));
    // Qt's options are single-dash words (-platform, -reverse): read words the
    // same way, so none of them is ever taken for a string of one-letter flags.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    AddOption(parser, START_OPTION,
              "Start acquiring as soon as the window is shown, as if Start had been pressed.");
    AddOption(parser, DEVICE_OPTION,
              "Use the serial device at PATH alone (a link such as /dev/serial/by-id/usb-... "
              "is followed) instead of the first /dev/ttyUSB<n>.",
              "PATH");
    AddOption(parser, RECORD_OPTION,
              "Record every byte read from the device into FILE (created or truncated), "
              "for framescope-sim --replay.",
              "FILE");
    AddOption(parser, PALETTE_OPTION,
              qPrintable(QStringLiteral("Colours of the picture: %1 (default grey; the key P and the "
                                        "Palette button step through them).")
                             .arg(PaletteNames())),
              "NAME");
    AddOption(parser, RANGE_OPTION,
              "The values the colours span: design (default: the top 8 bits, or the corrected grey "
              "with Apply NUC), auto (each frame's coldest to hottest) or LO:HI (fixed, "
              "0 <= LO < HI <= 16383). The key A and the Range button step design, auto, locked "
              "(that auto window, kept), LO:HI. With --calibration also LOC:HIC in degrees "
              "(20C:40C).",
              "RANGE");
    AddOption(parser, ROTATE_OPTION, "Turn the picture clockwise by 0, 90, 180 or 270 degrees.", "DEGREES");
    AddOption(parser, MIRROR_OPTION, "Mirror the picture left to right (before turning it).");
    AddOption(parser, WAIT_OPTION,
              "Let the acquisition loop rest while no byte arrives, instead of keeping a core "
              "busy; frames, commands and controls keep their pace.");
    AddOption(parser, SNAPSHOT_DIR_OPTION,
              "Write snapshots (the Snapshot button, the key S, or SIGUSR1) into DIR, made if "
              "missing; default: framescope in the pictures folder (~/Pictures/framescope).",
              "DIR");
    AddOption(parser, REFERENCE_OPTION,
              "Keep the FPN reference in FILE: loaded at start, so Apply NUC is available at once, "
              "and written after every Take FPN Ref; it also outlasts Stop and unplugging.",
              "FILE");
    AddOption(parser, REFERENCE_FRAMES_OPTION,
              "Take FPN Ref averages the next N good frames (1 to 256; default 1).", "N");
    AddOption(parser, HTTP_OPTION,
              "Serve a read-only web page with the live picture and the status at "
              "http://ADDR:PORT/ (ADDR default 127.0.0.1; 0.0.0.0 for every network), with "
              "/stream.mjpg, /frame.png, /raw.png and /status.json; at most 8 clients at once.",
              "[ADDR:]PORT");
    AddOption(parser, CALIBRATION_OPTION,
              "Read in degrees Celsius through the two-point calibration in FILE (loaded at start "
              "when it is there; the calibration page, opened beside Apply NUC, writes it). "
              "Its references average --reference-frames frames (default 16 here).",
              "FILE");
    AddOption(parser, EMISSIVITY_OPTION,
              "With --calibration: the emissivity of what the sensor looks at, 0.1 to 1 (default 1).", "E");
    AddOption(parser, REFLECTED_OPTION,
              "With --calibration: the temperature of the surroundings the object reflects, in "
              "degrees Celsius, -273 to 1000 (default 20).",
              "C");
    AddOption(parser, VIDEO_START_OPTION,
              "Record a video (the Record button, the key R, or SIGUSR2) from the first frame shown.");
    AddOption(parser, VIDEO_DIR_OPTION,
              "Write videos into DIR, made if missing; default: framescope in the videos folder "
              "(~/Videos/framescope).",
              "DIR");
    AddOption(parser, VIDEO_MAX_MINUTES_OPTION,
              "Close a video after N minutes (1 to 1440) and go on in a new file.", "N");
    DescribeSiteOptions(parser);
}

bool ReadDevice(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    if (!parser.isSet(QString::fromLatin1(DEVICE_OPTION)))
        return true;
    options.device = QFile::encodeName(parser.value(QString::fromLatin1(DEVICE_OPTION)));
    if (options.device.isEmpty())
        error = QStringLiteral("--device needs a path");
    else if (options.device.size() >= PORT_NAME_SIZE)
        error = QStringLiteral("--device path is %1 bytes long; at most %2 fit")
                    .arg(options.device.size())
                    .arg(PORT_NAME_SIZE - 1);
    return error.isEmpty();
}

// A value given must not be empty; name tells what it should be.
bool ReadText(const QCommandLineParser &parser, const char *option, const char *name, QString &value,
              QString &error)
{
    if (!parser.isSet(QString::fromLatin1(option)))
        return true;
    value = parser.value(QString::fromLatin1(option));
    if (value.isEmpty())
        error = QStringLiteral("--%1 needs %2").arg(QString::fromLatin1(option), QString::fromLatin1(name));
    return error.isEmpty();
}

bool ReadHttp(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    if (!parser.isSet(QString::fromLatin1(HTTP_OPTION)))
        return true;
    ListenAddress address;
    if (!ParseListenAddress(parser.value(QString::fromLatin1(HTTP_OPTION)), address, error)) {
        error = QStringLiteral("--http: %1").arg(error);
        return false;
    }
    options.http = std::make_shared<const ListenAddress>(address);
    return true;
}

bool ReadWholeNumber(const QCommandLineParser &parser, const char *option, int low, int high, int &value,
                     QString &error)
{
    const QString name = QString::fromLatin1(option);
    if (!parser.isSet(name))
        return true;
    bool bNumber = false;
    value = parser.value(name).toInt(&bNumber);
    if (!bNumber || value < low || value > high)
        error = QStringLiteral("--%1 takes a whole number from %2 to %3, not '%4'")
                    .arg(name)
                    .arg(low)
                    .arg(high)
                    .arg(parser.value(name));
    return error.isEmpty();
}

bool ReadReferenceFrames(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    options.bReferenceFramesGiven = parser.isSet(QString::fromLatin1(REFERENCE_FRAMES_OPTION));
    return ReadWholeNumber(
        parser, REFERENCE_FRAMES_OPTION, 1, MAX_REFERENCE_FRAMES, options.referenceFrames, error);
}

// A number between low and high; the reason names the option.
bool ReadNumber(const QCommandLineParser &parser, const char *option, double low, double high, double &value,
                QString &error)
{
    if (!parser.isSet(QString::fromLatin1(option)))
        return true;
    const QString text = parser.value(QString::fromLatin1(option));
    bool bNumber = false;
    const double read = text.toDouble(&bNumber);
    if (!bNumber || !(read >= low && read <= high)) {
        error = QStringLiteral("--%1 takes a number from %2 to %3, not '%4'")
                    .arg(QString::fromLatin1(option))
                    .arg(low)
                    .arg(high)
                    .arg(text);
        return false;
    }
    value = read;
    return true;
}

// Degrees need a calibration: the emissivity and a range in degrees without
// one are refused rather than ignored.
bool ReadCalibration(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    if (!ReadText(parser, CALIBRATION_OPTION, "a file name", options.calibrationFile, error)
        || !ReadNumber(parser, EMISSIVITY_OPTION, 0.1, 1.0, options.emissivity, error)
        || !ReadNumber(parser, REFLECTED_OPTION, -273.0, 1000.0, options.reflectedCelsius, error))
        return false;
    const bool bNeedsCalibration = parser.isSet(QString::fromLatin1(EMISSIVITY_OPTION))
                                   || parser.isSet(QString::fromLatin1(REFLECTED_OPTION))
                                   || (options.view && options.view->range.bCelsius);
    if (bNeedsCalibration && options.calibrationFile.isEmpty())
        error = QStringLiteral(
            "--emissivity, --reflected-temperature and a --range in degrees need --calibration");
    return error.isEmpty();
}

// A view option through its own reader; a bad value's reason names the option.
template <typename Value>
bool ReadViewOption(const QCommandLineParser &parser, const char *option,
                    bool (*read)(const QString &, Value &, QString &), Value &value, QString &error)
{
    const QString name = QString::fromLatin1(option);
    if (!parser.isSet(name) || read(parser.value(name), value, error))
        return true;
    error = QStringLiteral("--%1: %2").arg(name, error);
    return false;
}

bool ReadView(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    ViewSettings view;
    view.transform.mirror = parser.isSet(QString::fromLatin1(MIRROR_OPTION));
    if (!ReadViewOption(parser, PALETTE_OPTION, ParsePalette, view.palette, error)
        || !ReadViewOption(parser, RANGE_OPTION, ParseRange, view.range, error)
        || !ReadViewOption(parser, ROTATE_OPTION, ParseRotation, view.transform.rotation, error))
        return false;
    options.view = std::make_shared<const ViewSettings>(view);
    return true;
}

// Every value of a repeated option through its parser and into the set.
template <typename Region>
bool ReadRegionList(const QCommandLineParser &parser, const char *option,
                    bool (*parse)(const QString &, Region &, QString &), bool (*add)(RegionSet &, const Region &),
                    RegionSet &set, QString &error)
{
    for (const QString &text : parser.values(QString::fromLatin1(option))) {
        Region region;
        if (!parse(text, region, error) || !add(set, region)) {
            error = QStringLiteral("--%1: %2").arg(QString::fromLatin1(option),
                                                   error.isEmpty() ? QStringLiteral("given too often") : error);
            return false;
        }
    }
    return true;
}

bool ReadRegionSet(const QCommandLineParser &parser, RegionOptions &regions, QString &error)
{
    if (!ReadRegionList<QPoint>(parser, SPOT_OPTION, ParseSpot, AddSpot, regions.regions, error)
        || !ReadRegionList<QRect>(parser, BOX_OPTION, ParseBox, AddBox, regions.regions, error)
        || !ReadText(parser, REGIONS_OPTION, "a file name", regions.file, error))
        return false;
    if (regions.file.isEmpty() || RegionsFile(regions.file).Load(regions.regions, error))
        return true;
    error = QStringLiteral("--regions: %1").arg(error);
    return false;
}

// Each alarm's region must exist and each name be its own.
bool CheckAlarm(const AlarmRule &rule, const RegionOptions &regions, QString &error)
{
    if (rule.spot >= regions.regions.spots.size() || rule.box >= regions.regions.boxes.size())
        error = QStringLiteral("--alarm %1: %2 is not among the %3 spots and %4 boxes given")
                    .arg(rule.name, rule.source.section(QLatin1Char('.'), 0, 0))
                    .arg(regions.regions.spots.size())
                    .arg(regions.regions.boxes.size());
    for (const AlarmRule &other : regions.alarms.rules) {
        if (other.name == rule.name)
            error = QStringLiteral("--alarm: the name %1 is given twice").arg(rule.name);
    }
    return error.isEmpty();
}

bool ReadAlarms(const QCommandLineParser &parser, RegionOptions &regions, QString &error)
{
    for (const QString &text : parser.values(QString::fromLatin1(ALARM_OPTION))) {
        AlarmRule rule;
        if (!ParseAlarm(text, rule, error)) {
            error = QStringLiteral("--alarm: %1").arg(error);
            return false;
        }
        if (!CheckAlarm(rule, regions, error))
            return false;
        regions.alarms.rules << rule;
    }
    const QString hysteresis = QString::fromLatin1(HYSTERESIS_OPTION);
    bool bNumber = true;
    if (parser.isSet(hysteresis))
        regions.alarms.hysteresis = parser.value(hysteresis).toDouble(&bNumber);
    if (!bNumber || regions.alarms.hysteresis < 0) {
        error = QStringLiteral("--alarm-hysteresis takes a number of 0 or more, not '%1'").arg(parser.value(hysteresis));
        return false;
    }
    return ReadWholeNumber(parser, HOLD_OPTION, 0, MAX_HOLD_S, regions.alarms.holdSeconds, error);
}

bool AnySet(const QCommandLineParser &parser, std::initializer_list<const char *> names)
{
    return std::any_of(names.begin(), names.end(),
                       [&parser](const char *name) { return parser.isSet(QString::fromLatin1(name)); });
}

bool ReadRegions(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    if (!AnySet(parser, { SPOT_OPTION, BOX_OPTION, REGIONS_OPTION, ALARM_OPTION, HYSTERESIS_OPTION, HOLD_OPTION }))
        return true;
    auto regions = std::make_shared<RegionOptions>();
    if (!ReadRegionSet(parser, *regions, error) || !ReadAlarms(parser, *regions, error))
        return false;
    options.regions = regions;
    return true;
}

// With --http, where Home Assistant finds the picture: the host name
// stands in for an address that means every network.
QString PictureUrl(const ViewerOptions &options)
{
    if (!options.http)
        return QString();
    QString address = options.http->Text();
    if (address.startsWith(QLatin1String("0.0.0.0:")))
        address.replace(0, 7, QSysInfo::machineHostName());
    return QStringLiteral("http://%1/frame.png").arg(address);
}

bool ReadMqttCredentials(const QCommandLineParser &parser, MqttSettings &mqtt, QString &error)
{
    QString passwordFile;
    if (!ReadText(parser, MQTT_CA_OPTION, "a file name", mqtt.caFile, error)
        || !ReadText(parser, MQTT_USER_OPTION, "a name", mqtt.user, error)
        || !ReadText(parser, MQTT_PASSWORD_OPTION, "a file name", passwordFile, error))
        return false;
    if (!mqtt.caFile.isEmpty() && !mqtt.bTls)
        error = QStringLiteral("--mqtt-ca needs an mqtts:// URL");
    else if (!mqtt.caFile.isEmpty() && !QFileInfo(mqtt.caFile).isReadable())
        error = QStringLiteral("--mqtt-ca: cannot read %1").arg(mqtt.caFile);
    else if (!passwordFile.isEmpty() && mqtt.user.isEmpty())
        error = QStringLiteral("--mqtt-password-file needs --mqtt-user");
    else if (!passwordFile.isEmpty() && !ReadPasswordFile(passwordFile, mqtt.password, error))
        error = QStringLiteral("--mqtt-password-file: %1").arg(error);
    return error.isEmpty();
}

bool ReadMqtt(const QCommandLineParser &parser, ViewerOptions &options, QString &error)
{
    if (!parser.isSet(QString::fromLatin1(MQTT_OPTION))) {
        if (AnySet(parser, { MQTT_CA_OPTION, MQTT_USER_OPTION, MQTT_PASSWORD_OPTION, MQTT_ID_OPTION,
                             MQTT_INTERVAL_OPTION }))
            error = QStringLiteral("the --mqtt-... options need --mqtt");
        return error.isEmpty();
    }
    auto mqtt = std::make_shared<MqttSettings>();
    if (!ParseMqttUrl(parser.value(QString::fromLatin1(MQTT_OPTION)), *mqtt, error)) {
        error = QStringLiteral("--mqtt: %1").arg(error);
        return false;
    }
    mqtt->id = parser.isSet(QString::fromLatin1(MQTT_ID_OPTION)) ? parser.value(QString::fromLatin1(MQTT_ID_OPTION))
                                                                   : DefaultMqttId();
    if (!IsMqttId(mqtt->id)) {
        error = QStringLiteral("--mqtt-id takes 1 to 64 letters, digits, - and _, not '%1'").arg(mqtt->id);
        return false;
    }
    mqtt->imageUrl = PictureUrl(options);
    if (!ReadMqttCredentials(parser, *mqtt, error)
        || !ReadWholeNumber(parser, MQTT_INTERVAL_OPTION, 1, MAX_INTERVAL_S, mqtt->intervalSeconds, error))
        return false;
    options.mqtt = mqtt;
    return true;
}

// --help-all (which Qt adds) gets the same text: Qt's options are Qt's to list.
bool AsksForHelp(const QCommandLineParser &parser)
{
    return parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
}

QStringList ArgumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void Print(FILE *to, const QString &text)
{
    fputs(text.toLocal8Bit().constData(), to);
    fflush(to);
}

// A reference loaded from its file is ready as one just captured: in the
// reference buffer, with Apply NUC to be checked.
void ApplyKeepOptions(const ViewerOptions &options, MainWindow &window)
{
    if (!options.snapshotDir.isEmpty())
        window.pSnapshots->SetSnapshotDirectory(options.snapshotDir);
    ReferenceStore &reference = *window.pReference;
    reference.SetFramesToAverage(options.referenceFrames);
    if (!options.referenceFile.isEmpty() && reference.UseFile(options.referenceFile)) {
        reference.Restore(window.pRefFrame);
        window.ui->checkBox_ApplyNUC->setEnabled(true);
    }
}

// A recording names what its degrees were read with, as a raw snapshot
// does, so that a tool can convert its samples; none while uncalibrated.
VideoTags CalibrationTags(const ReadingBasis *basis)
{
    VideoTags tags;
    if (basis == nullptr)
        return tags;
    tags.insert(QStringLiteral("CALIBRATION"), QString::fromUtf8(basis->calibration));
    tags.insert(QStringLiteral("EMISSIVITY"), QString::number(basis->emissivity));
    tags.insert(QStringLiteral("REFLECTED_TEMPERATURE"), QString::number(basis->reflectedCelsius));
    tags.insert(QStringLiteral("BAD_PIXELS"), basis->bReplaceBad ? QStringLiteral("replaced") : QStringLiteral("as read"));
    return tags;
}

// The calibration page's controller, with the file loaded when it is there;
// a file refused leaves the viewer uncalibrated, with one line saying why.
void ApplyCalibrationOptions(const ViewerOptions &options, MainWindow &window)
{
    if (options.calibrationFile.isEmpty())
        return;
    ReadingSettings settings;
    settings.emissivity = options.emissivity;
    settings.reflectedCelsius = options.reflectedCelsius;
    const int frames = options.bReferenceFramesGiven ? options.referenceFrames : CALIBRATION_REFERENCE_FRAMES;
    window.pCalibration =
        new CalibrationController(&window, CALIBRATION_OPENER, options.calibrationFile, settings, frames);
    QObject::connect(window.pShownFrames, &FrameFeed::Shown, window.pCalibration,
                     &CalibrationController::FrameShown);
    QString error;
    if (!window.pCalibration->Load(error))
        qWarning().noquote() << "framescope:" << error;
    const CalibrationController *calibration = window.pCalibration;
    window.pVideo->AddTagSource([calibration] { return CalibrationTags(calibration->Basis().get()); });
}

void ApplyVideoOptions(const ViewerOptions &options, VideoController &video)
{
    if (!options.videoDir.isEmpty())
        video.SetDirectory(options.videoDir);
    video.SetMaxMinutes(options.videoMaxMinutes);
    if (options.bVideoStart)
        video.StartWithNextFrame();
}

// What the web server tells of the window; read between cycles, on the GUI thread.
ViewerStatus StatusOf(const MainWindow &window)
{
    ViewerStatus status;
    status.bConnected = window.fdSerial != 0;
    if (status.bConnected)
        status.port = QFile::decodeName(window.pPortName);
    status.framesShown = window.uFramesShownSinceLaunch;
    status.rejectedFrames = std::max(iErrorFrame, 0);
    status.acknowledgementsPending = f_Acknowledge ? 0 : 1;
    status.palette = PaletteName(window.pView->CurrentPalette());
    status.range = window.pView->Range().Name();
    status.rotation = window.pView->Transform().rotation;
    status.bMirror = window.pView->Transform().mirror;
    if (const ShownFramePtr &shown = window.pView->Shown()) {
        status.bReadings = true;
        status.readings = shown->Summarize();
        status.bReadingsMayBeOff = shown->bReadingsMayBeOff;
    }
    if (window.pRegions) {
        for (const AlarmStatus &alarm : window.pRegions->Alarms())
            status.alarms.push_back({ alarm.name, AlarmStateName(alarm.state),
                                      alarm.state == AlarmState::Unavailable ? QString() : alarm.value.Text(),
                                      alarm.condition });
    }
    return status;
}

// The web server, listening since before the window was made, takes over
// from the window: its status, and every frame shown.
void ServeWindow(MainWindow &window)
{
    window.pHttp = new HttpController(std::move(preparedServer), [&window] { return StatusOf(window); },
                                      window.pPictureGrab, &window);
    QObject::connect(window.pShownFrames, &FrameFeed::Shown, window.pHttp, &HttpController::FrameShown);
}

// The regions and alarms watch every frame shown; drawn over the picture
// only when the command line asked for regions or alarms, not for --mqtt alone.
void WatchRegions(const ViewerOptions &options, MainWindow &window)
{
    const RegionOptions regions = options.regions ? *options.regions : RegionOptions();
    window.pRegions = new RegionMonitor(regions.regions, regions.alarms, &window);
    if (!regions.file.isEmpty())
        window.pRegions->KeepIn(std::unique_ptr<RegionsFile>(new RegionsFile(regions.file)));
    QObject::connect(window.pShownFrames, &FrameFeed::Shown, window.pRegions, &RegionMonitor::FrameShown);
    if (options.regions)
        new RegionsView(window.pRegions, window.ui->DisplayImage, [&window] { return window.pView->Transform(); },
                        window.ui->centralWidget, QRect(660, 84, 130, 25));
}

void PublishToBroker(const MqttSettings &settings, MainWindow &window)
{
    window.pMqtt = new MqttController(settings, window.pRegions, [&window] { return window.fdSerial != 0; }, &window);
    QObject::connect(window.pShownFrames, &FrameFeed::Shown, window.pMqtt, &MqttController::FrameShown);
}

} // namespace

bool AsksForHelpOrVersion(int argc, char **argv)
{
    // Parsed with no application object: Qt's own options are still in the
    // list and count as unknown here, which does not matter for this question.
    QCommandLineParser parser;
    DescribeOptions(parser);
    parser.parse(ArgumentList(argc, argv));
    return AsksForHelp(parser) || parser.isSet(QStringLiteral("version"));
}

int PrintHelpOrVersion()
{
    QCommandLineParser parser;
    DescribeOptions(parser);
    parser.parse(QCoreApplication::arguments());
    if (AsksForHelp(parser))
        Print(stdout, parser.helpText());
    else
        Print(stdout, QCoreApplication::applicationName() + QLatin1Char(' ')
                          + QCoreApplication::applicationVersion() + QLatin1Char('\n'));
    return 0;
}

bool ParseViewerOptions(const QStringList &arguments, ViewerOptions &options, QString &error)
{
    QCommandLineParser parser;
    DescribeOptions(parser);
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    options.bStartAtOnce = parser.isSet(QString::fromLatin1(START_OPTION));
    options.bWaitForData = parser.isSet(QString::fromLatin1(WAIT_OPTION));
    options.bVideoStart = parser.isSet(QString::fromLatin1(VIDEO_START_OPTION));
    return ReadDevice(parser, options, error)
           && ReadText(parser, RECORD_OPTION, "a file name", options.recordFile, error)
           && ReadText(parser, SNAPSHOT_DIR_OPTION, "a directory", options.snapshotDir, error)
           && ReadText(parser, REFERENCE_OPTION, "a file name", options.referenceFile, error)
           && ReadReferenceFrames(parser, options, error) && ReadHttp(parser, options, error)
           && ReadView(parser, options, error) && ReadCalibration(parser, options, error)
           && ReadText(parser, VIDEO_DIR_OPTION, "a directory", options.videoDir, error)
           && ReadWholeNumber(parser, VIDEO_MAX_MINUTES_OPTION, 1, MAX_VIDEO_MINUTES, options.videoMaxMinutes, error)
           && ReadRegions(parser, options, error)
           && ReadMqtt(parser, options, error);
}

int RefuseCommandLine(const QString &error)
{
    QCommandLineParser parser;
    DescribeOptions(parser);
    Print(stderr, QStringLiteral("framescope: %1\n\n").arg(error) + parser.helpText());
    return OPTIONS_EXIT_STATUS;
}

bool PrepareViewerOptions(const ViewerOptions &options, QString &error)
{
    if (options.http && !(preparedServer = HttpServer::Start(*options.http, error)))
        return false;
    std::string reason;
    if (options.recordFile.isEmpty()
        || StartRecording(QFile::encodeName(options.recordFile).constData(), reason))
        return true;
    error = QStringLiteral("cannot record to %1: %2")
                .arg(options.recordFile, QString::fromLocal8Bit(reason.c_str()));
    return false;
}

int RefuseToStart(const QString &error)
{
    Print(stderr, QStringLiteral("framescope: %1\n").arg(error));
    return OPTIONS_EXIT_STATUS;
}

void ApplyViewerOptions(const ViewerOptions &options, MainWindow &window)
{
    if (options.view)
        window.pView->Apply(*options.view);
    ApplyKeepOptions(options, window);
    ApplyCalibrationOptions(options, window);
    ApplyVideoOptions(options, *window.pVideo);
    if (options.regions || options.mqtt)
        WatchRegions(options, window);
    if (options.mqtt)
        PublishToBroker(*options.mqtt, window);
    if (preparedServer)
        ServeWindow(window);
    if (!options.device.isEmpty())
        SetFixedPort(options.device.constData()); // its length was checked when parsed
    if (IsRecording()) {
        // On the GUI thread, from event processing: never while the receive
        // worker writes into the buffer.
        QTimer *flush = new QTimer(&window);
        QObject::connect(flush, &QTimer::timeout, [] { FlushRecording(); });
        flush->start(FLUSH_MS);
    }
    if (options.bWaitForData)
        window.pWireWait = new WireWait(&window.fdSerial, &window);
    if (options.bStartAtOnce) {
        // The run lives inside the Start slot, so it must begin from the event
        // loop, once it runs; a click also goes through the button's signals
        // exactly as the operator's press does.
        QTimer::singleShot(0, window.ui->pushButton_Start, &QPushButton::click);
    }
}

void FinishViewerOptions()
{
    StopRecording();
}
