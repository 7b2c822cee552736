#include "keep/SnapshotController.h"

#include "keep/PictureArea.h"
#include "keep/RawPicture.h"
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

namespace {

const int NOTICE_MS = 1000;
const int NOTICE_MARGIN = 20; // between the confirmation and the picture's bottom edge
// Each one waiting holds a picture of about 1 MB: a flood of signals on a
// slow card must not pile them up.
const int MAX_PENDING = 4;

} // namespace

QString DefaultSnapshotDirectory()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation))
        .filePath(QStringLiteral("framescope"));
}

SnapshotController::SnapshotController(QWidget *picture, QWidget *parent, const QRect &strip)
    : QObject(parent), ui(new Ui_SnapshotControls), notice(new Ui_SnapshotNotice), picture(picture),
      directory(DefaultSnapshotDirectory())
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

SnapshotController::~SnapshotController()
{
    delete ui;
    delete notice;
}

void SnapshotController::ConnectControls(QWidget *controls)
{
    connect(ui->pushButton_Snapshot, &QPushButton::released, this, &SnapshotController::PushButton_Snapshot);
    // In the main window only: the command window takes S as text.
    QShortcut *key = new QShortcut(QKeySequence(Qt::Key_S), controls);
    connect(key, &QShortcut::activated, ui->pushButton_Snapshot, &QPushButton::click);
    // kill -USR1 <pid>, from a script or an ssh session.
    SignalNotifier *usr1 = new SignalNotifier(SIGUSR1, this);
    connect(usr1, &SignalNotifier::Raised, this, &SnapshotController::PushButton_Snapshot);
    connect(noticeTimer, &QTimer::timeout, noticeBox, &QWidget::hide);
}

// Centred near the bottom of the picture, above it in the stacking order; a
// tap on it reaches the picture beneath.
void SnapshotController::PlaceNotice(QWidget *over)
{
    noticeBox->setAttribute(Qt::WA_TransparentForMouseEvents);
    QRect place(QPoint(0, 0), noticeBox->size());
    place.moveCenter(over->geometry().center());
    place.moveBottom(over->geometry().bottom() - NOTICE_MARGIN);
    noticeBox->setGeometry(place);
    noticeBox->raise();
    noticeBox->hide();
}

void SnapshotController::FrameShown(const ShownFramePtr &frame)
{
    shown = frame;
}

// The picture is grabbed here, on the GUI thread; encoding and writing go to
// the writer's thread, and the outcome comes back through the event queue.
void SnapshotController::PushButton_Snapshot()
{
    if (!shown)
        return Refuse(QStringLiteral("no picture shown"));
    if (iPending >= MAX_PENDING)
        return Refuse(QStringLiteral("still writing the last ones"));
    RawFacts facts = FactsOf(*shown);
    facts.taken = QDateTime::currentDateTime();
    const QImage asShown = GrabPictureArea(picture);
    const QImage raw = RawPicture(shown->raw.data(), facts);
    const QString dir = directory;
    ++iPending;
    writer.Run([this, dir, facts, asShown, raw] {
        const SnapshotOutcome outcome = WriteSnapshot(dir, facts.taken, asShown, raw);
        if (!outcome.bWritten)
            qDebug().noquote() << "Snapshot" << outcome.path << "not written:" << outcome.reason;
        // The outcome is handed over by the lock, which ThreadSanitizer sees;
        // the call is posted under it, by name, so that it carries no object
        // made on this thread (a functor or a slot object would) for the GUI
        // thread to destroy behind Qt's own lock.
        std::lock_guard<std::mutex> held(finishedLock);
        finished.push_back(outcome);
        QMetaObject::invokeMethod(this, "TakeFinished", Qt::QueuedConnection);
    });
}

// One call may find several outcomes, and a later call none.
void SnapshotController::TakeFinished()
{
    std::vector<SnapshotOutcome> outcomes;
    {
        std::lock_guard<std::mutex> held(finishedLock);
        outcomes.swap(finished);
    }
    for (const SnapshotOutcome &outcome : outcomes)
        Finished(outcome);
}

void SnapshotController::Refuse(const QString &reason)
{
    qDebug().noquote() << "Snapshot not taken:" << reason;
    Tell(QStringLiteral("Snapshot not taken: ") + reason);
}

void SnapshotController::Finished(const SnapshotOutcome &outcome)
{
    --iPending;
    if (outcome.bWritten)
        Tell(QStringLiteral("Snapshot written: ") + QFileInfo(outcome.path).fileName());
    else
        Tell(QStringLiteral("Snapshot failed: ") + outcome.reason);
}

void SnapshotController::Tell(const QString &text)
{
    notice->label_Notice->setText(text);
    noticeBox->show();
    noticeTimer->start();
}
