#include "calib/CalibrationController.h"

#include "calib/CalibrationFile.h"
#include "ui_CalibrationOpener.h"
#include "ui_CalibrationPage.h"

#include <QFileInfo>
#include <QWidget>
#include <utility>

CalibrationController::CalibrationController(QWidget *window, const QRect &openerRect, const QString &path,
    const ReadingSettings &settings, int referenceFrames)
    : QObject(window), page(new Ui_CalibrationPage), opener(new Ui_CalibrationOpener),
      pageWidget(new QWidget(window)), path(path), settings(settings), referenceFrames(referenceFrames)
{
    QWidget *openerWidget = new QWidget(window);
    opener->setupUi(openerWidget);
    openerWidget->setGeometry(openerRect);
    openerWidget->show();
    openerWidget->raise(); // over the end of the Apply NUC check box
    page->setupUi(pageWidget);
    pageWidget->setGeometry(QRect(QPoint(0, 0), pageWidget->size()));
    pageWidget->setAutoFillBackground(true);
    pageWidget->hide();
    ConnectControls();
    ShowSettings();
}

CalibrationController::~CalibrationController()
{
    delete page;
    delete opener;
}

void CalibrationController::ConnectControls()
{
    connect(opener->pushButton_Calibration, &QPushButton::clicked, this, &CalibrationController::Open);
    connect(page->pushButton_TakeCold, &QPushButton::clicked, this, &CalibrationController::TakeCold);
    connect(page->pushButton_TakeHot, &QPushButton::clicked, this, &CalibrationController::TakeHot);
    connect(page->pushButton_Reanchor, &QPushButton::clicked, this, &CalibrationController::TakeAnchor);
    connect(page->pushButton_Save, &QPushButton::clicked, this, &CalibrationController::Save);
    connect(page->pushButton_Cancel, &QPushButton::clicked, this, &CalibrationController::Cancel);
    ConnectStepper(page->pushButton_ColdDown, page->pushButton_ColdUp, page->doubleSpinBox_Cold);
    ConnectStepper(page->pushButton_HotDown, page->pushButton_HotUp, page->doubleSpinBox_Hot);
    KeepHotAboveCold();
    ConnectStepper(page->pushButton_AnchorDown, page->pushButton_AnchorUp, page->doubleSpinBox_Anchor);
    ConnectStepper(
        page->pushButton_EmissivityDown, page->pushButton_EmissivityUp, page->doubleSpinBox_Emissivity);
    ConnectStepper(
        page->pushButton_ReflectedDown, page->pushButton_ReflectedUp, page->doubleSpinBox_Reflected);
}

// The operator cannot enter a hot reference less than the required step above
// the cold one: the hot box's floor follows the cold value.
void CalibrationController::KeepHotAboveCold()
{
    QDoubleSpinBox *cold = page->doubleSpinBox_Cold;
    QDoubleSpinBox *hot = page->doubleSpinBox_Hot;
    cold->setRange(MIN_REFERENCE_CELSIUS, MAX_REFERENCE_CELSIUS - MIN_REFERENCE_STEP);
    hot->setRange(cold->value() + MIN_REFERENCE_STEP, MAX_REFERENCE_CELSIUS);
    connect(cold, QOverload<double>::of(&QDoubleSpinBox::valueChanged), hot,
            [hot](double celsius) { hot->setMinimum(celsius + MIN_REFERENCE_STEP); });
}

// The large buttons step the box as its arrow keys do; they repeat while held
// (autoRepeat in the form).
void CalibrationController::ConnectStepper(QPushButton *minus, QPushButton *plus, QDoubleSpinBox *value)
{
    connect(minus, &QPushButton::clicked, value, &QDoubleSpinBox::stepDown);
    connect(plus, &QPushButton::clicked, value, &QDoubleSpinBox::stepUp);
}

bool CalibrationController::Load(QString &error)
{
    if (!QFileInfo::exists(path))
        return true; // none made yet: the page's Save makes it
    Calibration loaded;
    if (!LoadCalibration(path, loaded, error))
        return false;
    Use(loaded);
    return true;
}

bool CalibrationController::PageIsOpen() const
{
    return !pageWidget->isHidden();
}

void CalibrationController::Use(const Calibration &calibration)
{
    current = calibration;
    MakeMap();
    bReadingsMayBeOff = false;
    ShowOpener();
}

// Until a re-anchor or a new calibration, also where no reading is shown.
void CalibrationController::MarkReadingsMayBeOff()
{
    bReadingsMayBeOff = map != nullptr;
    ShowOpener();
}

void CalibrationController::ShowOpener()
{
    opener->pushButton_Calibration->setText(
        bReadingsMayBeOff ? QStringLiteral("\u00b0C ?") : QStringLiteral("\u00b0C"));
}

void CalibrationController::MakeMap()
{
    map = std::make_shared<const CelsiusMap>(*current, settings);
    ReadingBasis made;
    made.calibration = CalibrationDocument(*current);
    made.emissivity = settings.emissivity;
    made.reflectedCelsius = settings.reflectedCelsius;
    made.bReplaceBad = settings.bReplaceBad;
    basis = std::make_shared<const ReadingBasis>(made);
}

void CalibrationController::Open()
{
    proposed.reset();
    cold.reset();
    hot.reset();
    taking = Taking::Nothing;
    ShowSettings();
    page->pushButton_Reanchor->setEnabled(current.has_value());
    ShowOutcome(current ? QStringLiteral("In use: calibration of %1 (%2 bad pixels).")
                              .arg(current->made.toString(Qt::ISODate))
                              .arg(current->BadPixels())
                        : QStringLiteral("No calibration yet: take a cold and a hot reference."));
    pageWidget->show();
    pageWidget->raise();
}

void CalibrationController::TakeCold()
{
    StartTaking(Taking::Cold);
}

void CalibrationController::TakeHot()
{
    StartTaking(Taking::Hot);
}

void CalibrationController::TakeAnchor()
{
    StartTaking(Taking::Anchor);
}

void CalibrationController::StartTaking(Taking what)
{
    taking = what;
    average = ReferenceAverage();
    ShowProgress();
}

void CalibrationController::FrameShown(const ShownFramePtr &frame)
{
    if (taking == Taking::Nothing || !frame)
        return;
    average.Add(frame->raw.data());
    ShowProgress();
    if (average.Frames() >= referenceFrames)
        ReferenceTaken();
}

void CalibrationController::ShowProgress()
{
    page->progressBar->setMaximum(referenceFrames);
    page->progressBar->setValue(average.Frames());
}

// The reference is complete, at the temperature the page gives for it.
void CalibrationController::ReferenceTaken()
{
    const Taking taken = std::exchange(taking, Taking::Nothing);
    if (taken == Taking::Anchor) {
        Anchored(average.At(page->doubleSpinBox_Anchor->value()));
    } else if (taken == Taking::Cold) {
        cold = average.At(page->doubleSpinBox_Cold->value());
        ProposeCalibration();
    } else {
        hot = average.At(page->doubleSpinBox_Hot->value());
        ProposeCalibration();
    }
}

void CalibrationController::Anchored(const UniformReference &surface)
{
    proposed = current;
    Reanchor(*proposed, surface);
    ShowOutcome(QStringLiteral("Re-anchored at %1 \u00b0C: Save to use it.").arg(surface.celsius));
}

// Once both references are there: the calibration and its figures, to be saved.
void CalibrationController::ProposeCalibration()
{
    if (!cold || !hot) {
        ShowOutcome(cold ? QStringLiteral("Cold reference taken.") : QStringLiteral("Hot reference taken."));
        return;
    }
    Calibration made;
    QString error;
    if (!Calibrate(*cold, *hot, made, error)) {
        ShowOutcome(QStringLiteral("Not calibrated: %1.").arg(error));
        return;
    }
    const CalibrationFigures figures = FiguresOf(made, *cold, *hot);
    ShowOutcome(
        QStringLiteral("%1 bad pixels. Spread of the hot reference: %2 \u00b0C with this calibration, "
                       "%3 \u00b0C with the one-point correction. Save to use it.")
            .arg(figures.badPixels)
            .arg(figures.twoPointSpread, 0, 'f', 2)
            .arg(figures.onePointSpread, 0, 'f', 2));
    proposed = made;
}

void CalibrationController::ShowOutcome(const QString &text)
{
    page->label_Outcome->setText(text);
}

ReadingSettings CalibrationController::PageSettings() const
{
    ReadingSettings chosen;
    chosen.emissivity = page->doubleSpinBox_Emissivity->value();
    chosen.reflectedCelsius = page->doubleSpinBox_Reflected->value();
    chosen.bReplaceBad = page->checkBox_ReplaceBad->isChecked();
    return chosen;
}

void CalibrationController::ShowSettings()
{
    page->doubleSpinBox_Emissivity->setValue(settings.emissivity);
    page->doubleSpinBox_Reflected->setValue(settings.reflectedCelsius);
    page->checkBox_ReplaceBad->setChecked(settings.bReplaceBad);
}

// The page's settings at once; a calibration made or re-anchored on it is
// written first and used only once it is in its file.
void CalibrationController::Save()
{
    QString error;
    if (proposed && !SaveCalibration(*proposed, path, error)) {
        ShowOutcome(error);
        return;
    }
    taking = Taking::Nothing;
    settings = PageSettings();
    if (proposed)
        Use(*proposed);
    else if (current)
        MakeMap();
    proposed.reset();
    pageWidget->hide();
}

void CalibrationController::Cancel()
{
    taking = Taking::Nothing;
    proposed.reset();
    pageWidget->hide();
}
