// The calibration in use and the page that makes it. Made by --calibration:
// loads the file at start (if it is there), opens its page from a control in
// the window's left column, takes references from the frames shown, and
// hands the conversion worker the map from samples to degrees.
#ifndef CALIB_CALIBRATIONCONTROLLER_H
#define CALIB_CALIBRATIONCONTROLLER_H

#include "calib/CelsiusMap.h"
#include "frame/ShownFrame.h"

#include <QObject>
#include <QRect>
#include <memory>
#include <optional>

class QWidget;
class Ui_CalibrationOpener;
class Ui_CalibrationPage;

class CalibrationController : public QObject
{
    Q_OBJECT

public:
    // The opener goes at `opener` of window, the page over the whole window.
    CalibrationController(QWidget *window, const QRect &opener, const QString &path,
        const ReadingSettings &settings, int referenceFrames);
    ~CalibrationController() override;

    // The file, when there is one; false with a line naming it and the reason
    // when it is refused (the viewer then stays uncalibrated).
    bool Load(QString &error);
    // For the conversion worker: null while uncalibrated. Replaced only on the
    // GUI thread, between cycles.
    const std::shared_ptr<const CelsiusMap> &Map() const { return map; }
    // What the map was made with, for the frames it makes.
    const std::shared_ptr<const ReadingBasis> &Basis() const { return basis; }
    // A register write may have changed the sensor's response.
    void MarkReadingsMayBeOff();
    bool ReadingsMayBeOff() const { return bReadingsMayBeOff; }
    bool PageIsOpen() const;
    Ui_CalibrationPage *page;
    Ui_CalibrationOpener *opener;

public slots:
    void FrameShown(const ShownFramePtr &frame);

private slots:
    void Open();
    void TakeCold();
    void TakeHot();
    void TakeAnchor();
    void Save();
    void Cancel();

private:
    enum class Taking { Nothing, Cold, Hot, Anchor };
    void ConnectControls();
    void KeepHotAboveCold();
    void ConnectStepper(class QPushButton *minus, class QPushButton *plus, class QDoubleSpinBox *value);
    void StartTaking(Taking what);
    void ReferenceTaken();
    void Anchored(const UniformReference &surface);
    void ProposeCalibration();
    void ShowProgress();
    void ShowOutcome(const QString &text);
    void Use(const Calibration &calibration);
    void MakeMap();
    void ShowOpener();
    ReadingSettings PageSettings() const;
    void ShowSettings();

    QWidget *pageWidget;
    QString path;
    ReadingSettings settings;
    int referenceFrames;
    std::optional<Calibration> current;  // the one in use
    std::optional<Calibration> proposed; // made on the page, not yet saved
    std::optional<UniformReference> cold;
    std::optional<UniformReference> hot;
    Taking taking = Taking::Nothing;
    ReferenceAverage average;
    std::shared_ptr<const CelsiusMap> map;
    std::shared_ptr<const ReadingBasis> basis;
    bool bReadingsMayBeOff = false;
};

#endif
