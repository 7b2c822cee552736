// How kept pictures reach the disk: the snapshot's file names, the
// directory, the all-or-nothing write and the thread it happens on. Needs no
// window.
#ifndef KEEP_PICTUREFILES_H
#define KEEP_PICTUREFILES_H

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QVector>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// "framescope-YYYYMMDD-HHMMSS-mmm" for a local time.
QString SnapshotName(const QDateTime &taken);

// The two files of one snapshot: what was shown, and the raw samples.
struct SnapshotPaths {
    QString shown; // <dir>/<name>.png
    QString raw;   // <dir>/<name>-raw.png
};

// Reserves the first of name, name-2, name-3, ... of which neither file
// exists in dir yet, by making both files, empty, exclusively: a snapshot
// never overwrites another, not even one another process begins at the same
// moment. False with the system's reason when dir takes no file at all.
bool ReserveSnapshotPaths(const QString &dir, const QString &name, SnapshotPaths &paths, QString &reason);

// Makes dir and any missing parent. On failure returns false with the
// system's reason.
bool MakeDirectory(const QString &dir, QString &reason);

struct PictureFile {
    QString path;
    QImage picture;
};

// Writes every picture as a PNG (QImageWriter into a QSaveFile) and puts
// them in place only once all of them are written whole: afterwards all the
// files are there, or none of them is. On failure returns false with the
// file and the reason.
bool SavePictures(const QVector<PictureFile> &files, QString &failedPath, QString &reason);

// The outcome of one snapshot's write.
struct SnapshotOutcome {
    bool bWritten = false;
    QString path;   // of the picture as shown; the file that failed otherwise
    QString reason; // why it failed
};

// Both files of a snapshot taken at `taken` into dir, made if missing.
SnapshotOutcome WriteSnapshot(const QString &dir, const QDateTime &taken, const QImage &shown,
                              const QImage &raw);

// Writes away from the acquisition loop: jobs run one after another, in the
// order given, on one thread of the writer's own, made at the first job and
// kept from then on. The destructor waits for the jobs still queued, so
// nothing taken before the exit is lost. The queue is handed over under a
// standard mutex rather than through a QThreadPool: ThreadSanitizer cannot
// see into Qt's own locks, and would take every job queued while the thread
// was busy for a race on what the job was given.
class BackgroundWriter
{
public:
    BackgroundWriter() = default;
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter &) = delete;
    BackgroundWriter &operator=(const BackgroundWriter &) = delete;

    void Run(const std::function<void()> &job);

private:
    void Work();

    std::mutex lock;
    std::condition_variable queued;
    std::deque<std::function<void()>> jobs;
    bool bEnding = false;
    std::thread thread;
};

#endif
