// Keeps what the operator saw: a snapshot (the Snapshot button, the key S or
// SIGUSR1) writes the picture as shown and the raw samples of its frame.
// MainWindow creates one and hands it every frame shown and the logo's
// return.
#ifndef KEEP_SNAPSHOTCONTROLLER_H
#define KEEP_SNAPSHOTCONTROLLER_H

#include "frame/ShownFrame.h"
#include "keep/PictureFiles.h"

#include <QObject>
#include <QRect>
#include <mutex>
#include <vector>

class QTimer;
class QWidget;
class Ui_SnapshotControls;
class Ui_SnapshotNotice;

// Where snapshots go unless told otherwise: framescope in the user's
// pictures folder.
QString DefaultSnapshotDirectory();

class SnapshotController : public QObject
{
    Q_OBJECT

public:
    // Snapshots of `picture`; the Snapshot button goes into `strip` of
    // `parent`, the confirmation over the picture.
    SnapshotController(QWidget *picture, QWidget *parent, const QRect &strip);
    ~SnapshotController() override;

    void SetSnapshotDirectory(const QString &dir) { directory = dir; }

    // The frame just shown, kept until the next one.
    void FrameShown(const ShownFramePtr &frame);
    // The picture area shows the logo again: nothing to keep until a frame.
    void PictureGone() { shown.reset(); }
    // The frame a snapshot would keep now; null while the logo is shown.
    const ShownFramePtr &Shown() const { return shown; }

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
    ShownFramePtr shown; // null: the picture area shows no frame
    int iPending = 0;    // snapshots handed to the writer, not yet written
    // Outcomes from the writer's thread, taken by the GUI thread. Qt's event
    // queue orders them as well, but ThreadSanitizer cannot see into its lock.
    std::mutex finishedLock;
    std::vector<SnapshotOutcome> finished;
    // Destroyed first: it waits for what is queued while this is still a
    // QObject and its outcomes still have a place to go.
    BackgroundWriter writer;
};

#endif
