// The viewer's own command-line options, for boards in the field: start at
// once (a kiosk with nobody to press Start), use one fixed device instead of
// the first /dev/ttyUSB<n>, record what is read from the wire, how the
// picture is seen (palette, range, rotation, mirroring), rest the loop while
// the wire is quiet, choose where snapshots go, keep the correction's
// reference in a file and average it over several frames, serve a web page
// and a stream of the picture, record a video of it, watch spots and boxes
// with threshold alarms, publish to an MQTT broker. Without them the
// viewer behaves as it always has.
#ifndef VIEWEROPTIONS_H
#define VIEWEROPTIONS_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

class MainWindow;
struct ListenAddress;
struct MqttSettings;
struct RegionOptions;
struct ViewSettings;

struct ViewerOptions {
    bool bStartAtOnce = false; // press Start as soon as the window is shown
    QByteArray device;         // the one device to use, as given; empty: /dev/ttyUSB<n>
    QString recordFile;        // where to record the wire; empty: no recording
    // Held by pointer so that this header needs neither the view's nor the
    // web server's types.
    std::shared_ptr<const ViewSettings> view; // palette, range, rotation, mirroring; null: as designed
    bool bWaitForData = false; // rest between cycles while the wire is silent
    QString snapshotDir;       // empty: the default, in the pictures folder
    QString referenceFile;     // where the reference is kept; empty: not kept
    int referenceFrames = 1;   // good frames averaged into a reference
    bool bReferenceFramesGiven = false; // else a calibration's reference averages 16
    QString calibrationFile;   // readings in degrees; empty: in counts, no calibration page
    double emissivity = 1.0;   // of what the sensor looks at, 0.1 .. 1
    double reflectedCelsius = 20.0; // the surroundings' temperature
    std::shared_ptr<const ListenAddress> http; // where to serve the page and the stream; null: not at all
    bool bVideoStart = false;  // record from the first frame shown
    QString videoDir;          // empty: the default, in the videos folder
    int videoMaxMinutes = 0;   // a new file after this long; 0: one file a recording
    std::shared_ptr<const RegionOptions> regions; // spots, boxes, alarms; null: none
    std::shared_ptr<const MqttSettings> mqtt;     // the broker to publish to; null: none
};

// Exit status for a command line the viewer cannot run with.
enum { OPTIONS_EXIT_STATUS = 2 };

// True when the command line asks for --help or --version. Looked at before
// any display is opened, so both work over a plain ssh session.
bool AsksForHelpOrVersion(int argc, char **argv);
// Prints the help or the version on standard output (needs a QCoreApplication)
// and returns the exit status, 0.
int PrintHelpOrVersion();

// Reads the viewer's options from the arguments that are left once the
// application object has taken its own (-platform and the like). On a bad
// command line returns false with the reason in error.
bool ParseViewerOptions(const QStringList &arguments, ViewerOptions &options, QString &error);
// Writes the reason and the usage on standard error; returns the exit status.
int RefuseCommandLine(const QString &error);

// What must succeed before a window is shown: listening for the web server,
// opening the recording. On failure returns false with the reason in error.
bool PrepareViewerOptions(const ViewerOptions &options, QString &error);
// Writes the reason on standard error; returns the exit status.
int RefuseToStart(const QString &error);

// Puts the options to work on the window, before the event loop runs.
void ApplyViewerOptions(const ViewerOptions &options, MainWindow &window);

// Completes what the options left open (the recording) once the event loop
// has ended.
void FinishViewerOptions();

#endif
