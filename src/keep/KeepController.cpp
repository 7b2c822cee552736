#include "keep/KeepController.h"

#include "keep/SignalNotifier.h"
#include "ui_SnapshotControls.h"
#include "ui_SnapshotNotice.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>
#include <cstring>

namespace {

const int NOTICE_MS = 1000;
const int NOTICE_MARGIN = 20;  // between the confirmation and the picture's bottom edge
// Each one waiting holds a picture of about 1 MB: a flood of signals on a
// slow card must not pile them up.
const int MAX_PENDING = 4;

} // namespace

QImage PictureAsShown(QWidget *picture)
{
    return picture->grab().toImage();
}

QString DefaultSnapshotDirectory()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation))
        .filePath(QStringLiteral("framescope"));
}

KeepController::KeepController(QWidget *picture, QWidget *parent, const QRect &strip)
    : QObject(parent), ui(new Ui_SnapshotControls), notice(new Ui_SnapshotNotice), picture(picture),
      directory(DefaultSnapshotDirectory()), reference(writer)
{
    QWidget *controls = new QWidget(parent);
    ui->setupUi(controls);
    controls->setGeometry(strip);
    controls->raise();
    controls->show();
    noticeBox = new QWidget(parent);
    notice->setupUi(noticeBox);
    PlaceNotice(picture);
    noticeTimer = new QTimer(this);
    noticeTimer->setSingleShot(true);
    noticeTimer->setInterval(NOTICE_MS);
    ConnectControls(controls);
}

KeepController::~KeepController()
{
    delete ui;
    delete notice;
}

void KeepController::ConnectControls(QWidget *controls)
{
    connect(ui->pushButton_Snapshot, SIGNAL(released()), this, SLOT(PushButton_Snapshot()));
    // In the main window only: the command window takes S as text.
    QShortcut *key = new QShortcut(QKeySequence(Qt::Key_S), controls);
    connect(key, SIGNAL(activated()), ui->pushButton_Snapshot, SLOT(click()));
    // kill -USR1 <pid>, from a script or an ssh session.
    SignalNotifier *usr1 = new SignalNotifier(SIGUSR1, this);
    connect(usr1, SIGNAL(Raised()), this, SLOT(PushButton_Snapshot()));
    connect(noticeTimer, SIGNAL(timeout()), noticeBox, SLOT(hide()));
}

// Centred near the bottom of the picture, above it in the stacking order; a
// tap on it reaches the picture beneath.
void KeepController::PlaceNotice(QWidget *over)
{
    noticeBox->setAttribute(Qt::WA_TransparentForMouseEvents);
    QRect place(QPoint(0, 0), noticeBox->size());
    place.moveCenter(over->geometry().center());
    place.moveBottom(over->geometry().bottom() - NOTICE_MARGIN);
    noticeBox->setGeometry(place);
    noticeBox->raise();
    noticeBox->hide();
}

void KeepController::FrameShown(const unsigned char *raw, const RawFacts &facts)
{
    memcpy(shownRaw, raw, RAW_FRAME_SIZE);
    shownFacts = facts;
    bLive = true;
}

// The picture is grabbed here, on the GUI thread; encoding and writing go to
// the writer's thread, and the outcome comes back through the event queue.
void KeepController::PushButton_Snapshot()
{
    if (!bLive)
        return Refuse(QStringLiteral("no picture shown"));
    if (iPending >= MAX_PENDING)
        return Refuse(QStringLiteral("still writing the last ones"));
    RawFacts facts = shownFacts;
    facts.taken = QDateTime::currentDateTime();
    const QImage shown = PictureAsShown(picture);
    const QImage raw = RawPicture(shownRaw, facts);
    const QString dir = directory;
    ++iPending;
    writer.Run([this, dir, facts, shown, raw] {
        const SnapshotOutcome outcome = WriteSnapshot(dir, facts.taken, shown, raw);
        if (!outcome.bWritten)
            qDebug().noquote() << "Snapshot" << outcome.path << "not written:" << outcome.reason;
        // Posted by name, and under the lock: the queued call then holds
        // nothing of ours, and is made before the GUI thread can take the
        // lock that hands the outcome over.
        std::lock_guard<std::mutex> held(finishedLock);
        finished.push_back(outcome);
        QMetaObject::invokeMethod(this, "TakeFinished", Qt::QueuedConnection);
    });
}

// One call may find several outcomes, and a later call none.
void KeepController::TakeFinished()
{
    std::vector<SnapshotOutcome> outcomes;
    {
        std::lock_guard<std::mutex> held(finishedLock);
        outcomes.swap(finished);
    }
    for (const SnapshotOutcome &outcome : outcomes)
        Finished(outcome);
}

void KeepController::Refuse(const QString &reason)
{
    qDebug().noquote() << "Snapshot not taken:" << reason;
    Tell(QStringLiteral("Snapshot not taken: ") + reason);
}

void KeepController::Finished(const SnapshotOutcome &outcome)
{
    --iPending;
    if (outcome.bWritten)
        Tell(QStringLiteral("Snapshot written: ") + QFileInfo(outcome.path).fileName());
    else
        Tell(QStringLiteral("Snapshot failed: ") + outcome.reason);
}

void KeepController::Tell(const QString &text)
{
    notice->label_Notice->setText(text);
    noticeBox->show();
    noticeTimer->start();
}
