#include "video/VideoWriter.h"

#include "keep/SignalNotifier.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Each one waiting holds a picture of about 1 MB: a writer that falls
// behind (a slow card) drops frames rather than piling them up.
const int MAX_FRAMES_QUEUED = 16;
// What a kill or a power cut may take at most.
const std::chrono::milliseconds FLUSH_PERIOD(1000);
// On a single core the encoding would take its time from the acquisition
// loop: the writer yields to it, and drops frames when it falls behind,
// rather than the picture's rate dipping.
const int WRITER_NICENESS = 10;

} // namespace

VideoWriter::VideoWriter(std::function<void(const VideoOutcome &)> ended) : ended(std::move(ended))
{
}

VideoWriter::~VideoWriter()
{
    {
        std::lock_guard<std::mutex> held(lock);
        bQuit = true;
    }
    wake.notify_one();
    if (thread.joinable())
        thread.join();
}

quint64 VideoWriter::Start(const QString &path, const VideoTags &tags, const QSize &picture)
{
    Job job;
    job.kind = Job::Open;
    job.path = path;
    job.tags = tags;
    job.picture = picture;
    {
        std::lock_guard<std::mutex> held(lock);
        job.recording = ++recordings;
        if (!thread.joinable()) {
            const SignalsKeptFromNewThreads stopsStayHere;
            thread = std::thread(&VideoWriter::Run, this);
        }
    }
    const quint64 number = job.recording;
    Queue(std::move(job));
    return number;
}

bool VideoWriter::Add(ShownFramePtr frame, AreaPicturePtr picture)
{
    {
        std::lock_guard<std::mutex> held(lock);
        if (framesQueued >= MAX_FRAMES_QUEUED) {
            ++dropped;
            return false;
        }
        ++framesQueued;
    }
    Job job;
    job.frame = std::move(frame);
    job.shown = std::move(picture);
    Queue(std::move(job));
    return true;
}

void VideoWriter::Stop()
{
    Job job;
    job.kind = Job::End;
    Queue(std::move(job));
}

void VideoWriter::Queue(Job job)
{
    {
        std::lock_guard<std::mutex> held(lock);
        jobs.push_back(std::move(job));
    }
    wake.notify_one();
}

// Waits for a job, or for the moment the buffered frames are due to go out.
void VideoWriter::Run()
{
    // This thread alone; where it is refused the writer runs as it is.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), WRITER_NICENESS);
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        const auto due = lastFlush + FLUSH_PERIOD;
        if (bUnflushed)
            wake.wait_until(held, due, [this] { return bQuit || !jobs.empty(); });
        else
            wake.wait(held, [this] { return bQuit || !jobs.empty(); });
        if (jobs.empty() && bQuit)
            break;
        if (jobs.empty()) {
            held.unlock();
            FlushIfDue();
            held.lock();
            continue;
        }
        Job job = std::move(jobs.front());
        jobs.pop_front();
        if (job.kind == Job::Frame)
            --framesQueued;
        held.unlock();
        Do(job);
        FlushIfDue();
        held.lock();
    }
    held.unlock();
    EndFile();
}

void VideoWriter::Do(const Job &job)
{
    if (job.kind == Job::Open)
        OpenFile(job);
    else if (job.kind == Job::End)
        EndFile();
    else if (file.IsOpen())
        WriteFrame(job);
}

void VideoWriter::OpenFile(const Job &job)
{
    EndFile();
    current = VideoOutcome();
    current.recording = job.recording;
    current.path = job.path;
    {
        std::lock_guard<std::mutex> held(lock);
        dropped = 0;
    }
    QString reason;
    if (!QDir().mkpath(QFileInfo(job.path).path()))
        return Fail(QStringLiteral("cannot make the directory"));
    if (!file.Open(job.path, job.tags, job.picture, reason))
        return Fail(reason);
    qDebug().noquote() << "Recording" << job.path;
    lastFlush = std::chrono::steady_clock::now();
}

void VideoWriter::WriteFrame(const Job &job)
{
    const Encoded jpeg = job.shown ? job.shown->Jpeg() : Encoded();
    QString reason;
    if (!file.Add(*job.frame, jpeg ? *jpeg : QByteArray(), reason))
        return Fail(reason);
    bUnflushed = true;
}

void VideoWriter::FlushIfDue()
{
    if (!bUnflushed || std::chrono::steady_clock::now() < lastFlush + FLUSH_PERIOD)
        return;
    QString reason;
    if (!file.Flush(reason))
        return Fail(reason);
    bUnflushed = false;
    lastFlush = std::chrono::steady_clock::now();
}

// The file stays as far as it was written out; nothing more is tried.
void VideoWriter::Fail(const QString &reason)
{
    current.frames = file.Frames();
    file.Abandon();
    bUnflushed = false;
    current.bFailed = true;
    current.reason = reason;
    qDebug().noquote() << "Recording" << current.path << "stopped:" << reason;
    ended(current);
    current = VideoOutcome();
}

void VideoWriter::EndFile()
{
    if (!file.IsOpen())
        return;
    current.frames = file.Frames();
    QString reason;
    if (!file.Close(reason))
        return Fail(reason);
    bUnflushed = false;
    {
        std::lock_guard<std::mutex> held(lock);
        current.dropped = dropped;
    }
    qDebug().noquote() << "Recording" << current.path << "ended:" << current.frames << "frames,"
                       << current.dropped << "dropped";
    ended(current);
    current = VideoOutcome();
}
