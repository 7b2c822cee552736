// Keeps what the operator saw: a snapshot (the Snapshot button, the key S or
// SIGUSR1) writes the picture as shown and the raw samples of its frame; the
// reference store averages and keeps the correction's reference. MainWindow
// creates one, tells it of every frame shown and of the logo's return, and
// lets the reference capture go through its store.
#ifndef KEEP_KEEPCONTROLLER_H
#define KEEP_KEEPCONTROLLER_H

#include "SharedState.h"
#include "keep/PictureFiles.h"
#include "keep/RawPicture.h"
#include "keep/ReferenceStore.h"

#include <QObject>
#include <QRect>
#include <mutex>
#include <vector>

class QTimer;
class QWidget;
class Ui_SnapshotControls;
class Ui_SnapshotNotice;

// What the picture area shows, at its size on the screen: the widget and
// everything drawn on it, not the window's widgets that lie over it.
QImage PictureAsShown(QWidget *picture);

// Where snapshots go unless told otherwise: framescope in the user's
// pictures folder.
QString DefaultSnapshotDirectory();

class KeepController : public QObject
{
    Q_OBJECT

public:
    // Snapshots of `picture`; the Snapshot button goes into `strip` of
    // `parent`, the confirmation over the picture.
    KeepController(QWidget *picture, QWidget *parent, const QRect &strip);
    ~KeepController() override;

    void SetSnapshotDirectory(const QString &dir) { directory = dir; }
    QString SnapshotDirectory() const { return directory; }
    ReferenceStore &Reference() { return reference; }

    // The display step: the frame just shown; its samples are copied.
    void FrameShown(const unsigned char *raw, const RawFacts &facts);
    // The picture area shows the logo again: nothing to keep until a frame.
    void PictureGone() { bLive = false; }

    Ui_SnapshotControls *ui;
    Ui_SnapshotNotice *notice;

private slots:
    void PushButton_Snapshot();
    void TakeFinished();

private:
    void ConnectControls(QWidget *controls);
    void PlaceNotice(QWidget *over);
    void Refuse(const QString &reason);
    void Finished(const SnapshotOutcome &outcome);
    void Tell(const QString &text);

    QWidget *picture;
    QWidget *noticeBox;
    QTimer *noticeTimer;
    QString directory;
    bool bLive = false;            // the picture area shows a frame
    unsigned char shownRaw[RAW_FRAME_SIZE] = {};
    RawFacts shownFacts;
    int iPending = 0;              // snapshots handed to the writer, not yet written
    // Outcomes from the writer's thread, taken by the GUI thread. Qt's event
    // queue orders them as well, but ThreadSanitizer cannot see into its lock.
    std::mutex finishedLock;
    std::vector<SnapshotOutcome> finished;
    // Destroyed in reverse: the reference first, then the writer, which
    // waits for what is queued while this is still a QObject and its
    // outcomes still have a place to go.
    BackgroundWriter writer;
    ReferenceStore reference;
};

#endif
