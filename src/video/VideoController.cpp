#include "video/VideoController.h"

#include "keep/SignalNotifier.h"
#include "ui_RecordControls.h"
#include "ui_RecordingMark.h"

#include <QDateTime>
#include <QDir>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>
#include <csignal>

namespace {

const int MARK_MARGIN = 8; // between the mark and the picture's top edge
const int ELAPSED_TICK_MS = 500;
const qint64 MINUTE_MICROS = 60 * 1000 * 1000;

QString FileName(const QDateTime &start)
{
    return QStringLiteral("framescope-") + start.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))
        + QStringLiteral(".mkv");
}

} // namespace

QString DefaultVideoDirectory()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::MoviesLocation))
        .filePath(QStringLiteral("framescope"));
}

VideoController::VideoController(PictureAreaGrab *grab, QWidget *picture, QWidget *parent, const QRect &strip)
    : QObject(parent), ui(new Ui_RecordControls), mark(new Ui_RecordingMark), grab(grab), picture(picture),
      elapsedTimer(new QTimer(this)), directory(DefaultVideoDirectory()),
      writer([this](const VideoOutcome &outcome) {
          // Handed over by the lock, which ThreadSanitizer sees; posted by
          // name, so that no object made on this thread reaches the GUI's.
          std::lock_guard<std::mutex> held(endedLock);
          endedFiles.push_back(outcome);
          QMetaObject::invokeMethod(this, "TakeEnded", Qt::QueuedConnection);
      })
{
    QWidget *controls = new QWidget(parent);
    ui->setupUi(controls);
    controls->setGeometry(strip);
    controls->raise();
    controls->show();
    markBox = new QWidget(parent);
    mark->setupUi(markBox);
    PlaceMark(picture);
    elapsedTimer->setInterval(ELAPSED_TICK_MS);
    ConnectControls(controls);
}

VideoController::~VideoController()
{
    delete ui;
    delete mark;
}

void VideoController::ConnectControls(QWidget *controls)
{
    connect(ui->pushButton_Record, &QPushButton::clicked, this, &VideoController::PushButton_Record);
    // In the main window only: the command window takes R as text.
    QShortcut *key = new QShortcut(QKeySequence(Qt::Key_R), controls);
    connect(key, &QShortcut::activated, ui->pushButton_Record, &QPushButton::click);
    // kill -USR2 <pid>, from a script or an ssh session.
    SignalNotifier *usr2 = new SignalNotifier(SIGUSR2, this);
    connect(usr2, &SignalNotifier::Raised, this, &VideoController::PushButton_Record);
    connect(elapsedTimer, &QTimer::timeout, this, &VideoController::ShowElapsed);
}

// Centred at the picture's top edge (its corners hold the spot meter's
// readout and the colour bar's ends), above it in the stacking order and
// apart from it, so the picture grabbed for the file does not hold it; a tap
// on it reaches the picture beneath.
void VideoController::PlaceMark(QWidget *over)
{
    markBox->setAttribute(Qt::WA_TransparentForMouseEvents);
    markBox->move(over->geometry().center().x() - markBox->width() / 2, over->geometry().top() + MARK_MARGIN);
    markBox->raise();
    markBox->hide();
}

void VideoController::PushButton_Record()
{
    if (IsRecording() || bFileWanted)
        StopRecording();
    else
        StartRecording();
}

// The file starts with the next frame shown: its picture's size and its
// arrival are the file's.
void VideoController::StartRecording()
{
    bFileWanted = true;
    bStartPending = false;
    elapsed.start();
    ShowRecording();
}

void VideoController::StartFile(const ShownFrame &first)
{
    const QDateTime start = QDateTime::currentDateTime();
    recording = writer.Start(QDir(directory).filePath(FileName(start)), Tags(start), picture->size());
    fileStartMicros = first.arrivedMicros;
    bFileWanted = false;
}

void VideoController::StopRecording()
{
    if (IsRecording())
        writer.Stop();
    recording = 0;
    bFileWanted = false;
    ShowRecording();
}

// The start in local time with its offset from UTC, as the file is named.
VideoTags VideoController::Tags(const QDateTime &start) const
{
    VideoTags tags;
    tags.insert(QStringLiteral("DATE_RECORDED"),
                start.toOffsetFromUtc(start.offsetFromUtc()).toString(Qt::ISODateWithMs));
    tags.insert(QStringLiteral("FRAMESCOPE_VERSION"), QStringLiteral(FRAMESCOPE_VERSION));
    for (const auto &source : tagSources) {
        const VideoTags more = source();
        for (auto tag = more.constBegin(); tag != more.constEnd(); ++tag)
            tags.insert(tag.key(), tag.value());
    }
    return tags;
}

void VideoController::FrameShown(const ShownFramePtr &frame)
{
    if (bStartPending)
        StartRecording();
    if (!IsRecording() && !bFileWanted)
        return;
    if (IsRecording() && maxMinutes > 0
        && frame->arrivedMicros - fileStartMicros >= maxMinutes * MINUTE_MICROS) {
        writer.Stop();
        bFileWanted = true;
    }
    if (bFileWanted)
        StartFile(*frame);
    writer.Add(frame, grab->For(*frame));
}

// A file that failed ends the recording; one ended by Stop or by its time
// limit has nothing to change here.
void VideoController::TakeEnded()
{
    std::vector<VideoOutcome> outcomes;
    {
        std::lock_guard<std::mutex> held(endedLock);
        outcomes.swap(endedFiles);
    }
    for (const VideoOutcome &outcome : outcomes) {
        if (outcome.bFailed && outcome.recording == recording)
            StopRecording();
    }
}

void VideoController::ShowRecording()
{
    const bool bOn = IsRecording() || bFileWanted;
    ui->pushButton_Record->setChecked(bOn);
    markBox->setVisible(bOn);
    if (bOn) {
        ShowElapsed();
        elapsedTimer->start();
    } else {
        elapsedTimer->stop();
    }
}

void VideoController::ShowElapsed()
{
    const qint64 seconds = elapsed.elapsed() / 1000;
    QString time = QStringLiteral("%1:%2")
                       .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                       .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds >= 3600)
        time.prepend(QString::number(seconds / 3600) + QLatin1Char(':'));
    mark->label_Recording->setText(QStringLiteral("<span style=\"color: red\">&#9679;</span> ") + time);
}
