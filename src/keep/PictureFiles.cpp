#include "keep/PictureFiles.h"

#include "keep/SignalNotifier.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

QString PathOf(const QString &dir, const QString &name, const char *ending)
{
    return QDir(dir).filePath(name + QLatin1String(ending));
}

// Why writing to a file failed: the system's reason when a call of this
// write left one in errno (Qt says only "Unknown error" for a write that went
// out in part), else Qt's words for the file, else the encoder's.
QString WriteError(const QFileDevice &file, const QString &encoder)
{
    if (errno != 0)
        return QString::fromLocal8Bit(strerror(errno));
    return file.error() != QFileDevice::NoError ? file.errorString() : encoder;
}

// One picture into its save file, all of it on the disk (not yet in place).
// QSaveFile's commit puts a file in place even when its last buffered write
// went out only in part, as on a disk that fills up midway: so everything is
// flushed and judged here first.
bool WriteWhole(QSaveFile &save, const QImage &picture, QString &reason)
{
    if (!save.open(QIODevice::WriteOnly)) {
        reason = save.errorString();
        return false;
    }
    QImageWriter writer(&save, "png");
    errno = 0;
    bool bWhole = writer.write(picture);
    if (bWhole) {
        errno = 0;
        bWhole = save.flush();
    }
    if (!bWhole)
        reason = WriteError(save, writer.errorString());
    return bWhole;
}

// Makes path, empty, unless something of that name exists; the system's
// error otherwise.
bool Reserve(const QString &path, int &error)
{
    const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return false;
    }
    close(fd);
    return true;
}

} // namespace

QString SnapshotName(const QDateTime &taken)
{
    return QStringLiteral("framescope-") + taken.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
}

bool ReserveSnapshotPaths(const QString &dir, const QString &name, SnapshotPaths &paths, QString &reason)
{
    QString free = name;
    for (int n = 2;; ++n) {
        paths = {PathOf(dir, free, ".png"), PathOf(dir, free, "-raw.png")};
        int error = 0;
        if (Reserve(paths.shown, error)) {
            if (Reserve(paths.raw, error))
                return true;
            QFile::remove(paths.shown);
        }
        if (error != EEXIST) {
            reason = QString::fromLocal8Bit(strerror(error));
            return false;
        }
        free = name + QLatin1Char('-') + QString::number(n);
    }
}

// Each missing level in turn, so that the reason is the system's own.
bool MakeDirectory(const QString &dir, QString &reason)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(QDir(dir).absolutePath()));
    for (int end = path.indexOf('/', 1);; end = path.indexOf('/', end + 1)) {
        const QByteArray level = end < 0 ? path : path.left(end);
        if (mkdir(level.constData(), 0777) != 0 && errno != EEXIST) {
            reason = QString::fromLocal8Bit(strerror(errno));
            return false;
        }
        if (end < 0)
            break;
    }
    struct stat made;
    if (stat(path.constData(), &made) == 0 && S_ISDIR(made.st_mode))
        return true;
    reason = QString::fromLocal8Bit(strerror(ENOTDIR));
    return false;
}

bool SavePictures(const QVector<PictureFile> &files, QString &failedPath, QString &reason)
{
    // A QSaveFile writes beside its file and drops what it wrote unless committed.
    std::vector<std::unique_ptr<QSaveFile>> written;
    for (const PictureFile &file : files) {
        failedPath = file.path;
        written.emplace_back(new QSaveFile(file.path));
        if (!WriteWhole(*written.back(), file.picture, reason))
            return false;
    }
    for (size_t i = 0; i < written.size(); ++i) {
        if (written[i]->commit())
            continue;
        failedPath = files[static_cast<int>(i)].path;
        reason = written[i]->errorString();
        for (size_t put = 0; put < i; ++put)
            QFile::remove(files[static_cast<int>(put)].path);
        return false;
    }
    return true;
}

SnapshotOutcome WriteSnapshot(const QString &dir, const QDateTime &taken, const QImage &shown,
                              const QImage &raw)
{
    SnapshotOutcome outcome;
    const QString name = SnapshotName(taken);
    if (!MakeDirectory(dir, outcome.reason)) {
        outcome.path = PathOf(dir, name, ".png");
        return outcome;
    }
    SnapshotPaths paths;
    outcome.path = PathOf(dir, name, ".png");
    if (!ReserveSnapshotPaths(dir, name, paths, outcome.reason))
        return outcome;
    outcome.path = paths.shown;
    // A grab carries an alpha channel; the screen shows no transparency.
    const QImage opaque = shown.convertToFormat(QImage::Format_RGB32);
    outcome.bWritten = SavePictures({{paths.shown, opaque}, {paths.raw, raw}}, outcome.path, outcome.reason);
    if (outcome.bWritten) {
        outcome.path = paths.shown;
    } else {
        // The reserved names go again: a failed snapshot leaves nothing.
        QFile::remove(paths.shown);
        QFile::remove(paths.raw);
    }
    return outcome;
}

BackgroundWriter::~BackgroundWriter()
{
    {
        std::lock_guard<std::mutex> held(lock);
        bEnding = true;
    }
    queued.notify_one();
    if (thread.joinable())
        thread.join();
}

// Only the GUI thread hands jobs over, so only it touches the thread's handle.
void BackgroundWriter::Run(const std::function<void()> &job)
{
    if (!thread.joinable()) {
        try {
            const SignalsKeptFromNewThreads stopsStayHere;
            thread = std::thread(&BackgroundWriter::Work, this);
        } catch (const std::system_error &error) {
            // Without a thread nothing else writes: the job runs here, late
            // for the loop but not lost.
            qDebug() << "Writer thread not created:" << error.what() << "- writing on the GUI thread";
            job();
            return;
        }
    }
    {
        std::lock_guard<std::mutex> held(lock);
        jobs.push_back(job);
    }
    queued.notify_one();
}

void BackgroundWriter::Work()
{
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        queued.wait(held, [this] { return bEnding || !jobs.empty(); });
        if (jobs.empty())
            return; // ending, and everything queued is written
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        held.unlock();
        job();
        job = nullptr; // its pictures go now, not when the next job comes
        held.lock();
    }
}
