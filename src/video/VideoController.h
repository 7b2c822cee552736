// Records what the operator watches: the Record button, the key R or
// SIGUSR2 start and stop a recording of the picture as shown and the raw
// samples; while it runs a red mark and the elapsed time lie over the
// picture (not in the recorded picture). MainWindow creates one and hands it
// every frame shown.
#ifndef VIDEO_VIDEOCONTROLLER_H
#define VIDEO_VIDEOCONTROLLER_H

#include "video/VideoWriter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <functional>
#include <vector>

class QDateTime;
class QTimer;
class QWidget;
class Ui_RecordControls;
class Ui_RecordingMark;

// Where recordings go unless told otherwise: framescope in the user's
// videos folder.
QString DefaultVideoDirectory();

class VideoController : public QObject
{
    Q_OBJECT

public:
    // Records what `grab` takes of `picture`; the Record button goes into
    // `strip` of `parent`, the mark over the middle of the picture's top edge.
    VideoController(PictureAreaGrab *grab, QWidget *picture, QWidget *parent, const QRect &strip);
    ~VideoController() override;

    void SetDirectory(const QString &dir) { directory = dir; }
    // A recording goes on in a new file after this long; 0: one file.
    void SetMaxMinutes(int minutes) { maxMinutes = minutes; }
    // The next frame shown starts a recording.
    void StartWithNextFrame() { bStartPending = true; }
    // Tags for each new file (the view's settings, a calibration's
    // coefficients...), asked for when the file starts.
    void AddTagSource(std::function<VideoTags()> source) { tagSources.push_back(std::move(source)); }
    bool IsRecording() const { return recording != 0; }

    // The display step: the frame just shown.
    void FrameShown(const ShownFramePtr &frame);

    Ui_RecordControls *ui;
    Ui_RecordingMark *mark;

private slots:
    void PushButton_Record();
    void TakeEnded();
    void ShowElapsed();

private:
    void ConnectControls(QWidget *controls);
    void PlaceMark(QWidget *over);
    void StartRecording();
    void StartFile(const ShownFrame &first);
    void StopRecording();
    void ShowRecording();
    VideoTags Tags(const QDateTime &start) const;

    PictureAreaGrab *grab;
    QWidget *picture;
    QWidget *markBox;
    QTimer *elapsedTimer;
    QString directory;
    int maxMinutes = 0;
    bool bStartPending = false;
    std::vector<std::function<VideoTags()>> tagSources;
    quint64 recording = 0;      // the file being written's number; 0: not recording
    bool bFileWanted = false;   // recording, the next frame starts a file
    qint64 fileStartMicros = 0; // the file's first frame's arrival
    QElapsedTimer elapsed;      // since the recording started
    // Ended files' outcomes from the writer's thread, taken by the GUI thread.
    std::mutex endedLock;
    std::vector<VideoOutcome> endedFiles;
    // Destroyed first: it ends the file while this still takes outcomes.
    VideoWriter writer;
};

#endif
