// Checks the two designer forms as uic generates them: every widget's name,
// class, parent, geometry, font, caption and settings, the order in which the
// form classes declare and create their widgets, and the behaviour that the
// rest of the program relies on (spin-box clamping, endless dials).

#include "ui_WindowCommand.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDial>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

#include <cstddef>
#include <type_traits>
#include <vector>

// Widget pointers of the form classes, in the order they must be declared.
#define FS_MAINWINDOW_MEMBERS(X)                                                        \
    X(centralWidget) X(DisplayImage) X(pushButton_Start) X(groupBox) X(dial_Gain)       \
    X(dial_Offset) X(label_Gain_2) X(label_Offset_2) X(pushButton_Stop)                 \
    X(label_FrameRate) X(label_Frame_Time) X(label_Copyright) X(pushButton_Exit)        \
    X(pushButton) X(label_Title) X(pushButton_TakeFPN) X(checkBox_ApplyNUC)             \
    X(label_Gain) X(spinBox_Gain) X(label_Offset) X(spinBox_Offset) X(label_LogoQZ)     \
    X(line) X(line_2)

#define FS_WINDOWCOMMAND_MEMBERS(X)                                                     \
    X(centralwidget) X(groupBox_2) X(label_Command_Proxy) X(lineEdit_Command)           \
    X(pushButton_Send_Proxy) X(line_2) X(label) X(label_Address) X(spinBox_Address)     \
    X(label_Value) X(spinBox_Value) X(pushButton_SendSensor) X(label_Command_Sensor)

namespace {

// The application font installed for the whole test. Its point size (13) is
// neither 7 nor 8, so a widget that wrongly keeps or wrongly overrides the
// default font shows up in the point-size checks.
constexpr int kAppPointSize = 13;

// Point-size column value for a widget that keeps the default font.
constexpr int kDefaultFont = 0;

// Alignment column value for widgets that have no alignment of their own.
constexpr int kNoAlignment = -1;

template <typename Ui>
struct Form
{
    QMainWindow window;
    Ui ui{};
    Form() { ui.setupUi(&window); }
};

struct Member
{
    const char *name;
    std::size_t offset;
    QWidget *widget;
};

// The font attributes that a widget's own font sets (the rest comes from the
// parent).
unsigned ownFontAttributes(const QFont &font)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return unsigned(font.resolveMask());
#else
    return unsigned(font.resolve());
#endif
}

// Caption of a widget that has one (label or line edit text, button text,
// group box title). Returns false for widgets without a caption.
bool captionOf(const QWidget *w, QString *caption)
{
    if (auto *box = qobject_cast<const QGroupBox *>(w))
        *caption = box->title();
    else if (auto *button = qobject_cast<const QAbstractButton *>(w))
        *caption = button->text();
    else if (auto *label = qobject_cast<const QLabel *>(w))
        *caption = label->text();
    else if (auto *edit = qobject_cast<const QLineEdit *>(w))
        *caption = edit->text();
    else
        return false;
    return true;
}

// Object names of the named widgets below `w`, depth first, each parent
// before its children, siblings in the order they were created. Widgets that
// the toolkit creates inside its own widgets ("qt_..." or unnamed) are skipped.
void collectWidgetTree(const QWidget *w, QStringList &out)
{
    for (QObject *child : w->children()) {
        if (!child->isWidgetType())
            continue;
        const QString name = child->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
            continue;
        out << name;
        collectWidgetTree(static_cast<QWidget *>(child), out);
    }
}

void verifyMembers(const QMainWindow &window, const std::vector<Member> &members,
                   std::size_t uiSize)
{
    // The form class holds these pointers and nothing else ...
    QCOMPARE(uiSize, members.size() * sizeof(QWidget *));

    QStringList names;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const Member &m = members[i];
        names << QLatin1String(m.name);
        // ... declared in this order ...
        if (i > 0)
            QVERIFY2(members[i - 1].offset < m.offset, m.name);
        // ... each pointing to the window's widget of the same name.
        QVERIFY2(m.widget != nullptr, m.name);
        QCOMPARE(window.findChild<QWidget *>(QLatin1String(m.name)), m.widget);
        QCOMPARE(m.widget->objectName(), QLatin1String(m.name));
    }

    // The window holds exactly these widgets, created in member order.
    QStringList tree;
    collectWidgetTree(&window, tree);
    QCOMPARE(tree, names);
}

void verifyBareWindow(const QMainWindow &window, QWidget *central, const char *objectName,
                      const QSize &size)
{
    QCOMPARE(window.objectName(), QLatin1String(objectName));
    QCOMPARE(window.size(), size);
    QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(window.centralWidget(), central);
    QVERIFY(window.menuWidget() == nullptr);
    QVERIFY(window.findChildren<QMenuBar *>().isEmpty());
    QVERIFY(window.findChildren<QStatusBar *>().isEmpty());
    QVERIFY(window.findChildren<QToolBar *>().isEmpty());
}

// Shared by both widget tables: look the widget up by name and check what
// every row gives.
void verifyWidgetRow(const QMainWindow &window)
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(int, ownPointSize);
    QFETCH(int, pointSize);
    QFETCH(int, alignment);
    QFETCH(bool, enabled);
    QFETCH(bool, hasCaption);
    QFETCH(QString, caption);

    const QWidget *w = window.findChild<QWidget *>(name);
    QVERIFY(w != nullptr);
    QCOMPARE(QByteArray(w->metaObject()->className()), className);
    QVERIFY(w->parentWidget() != nullptr);
    QCOMPARE(w->parentWidget()->objectName(), parent);
    if (geometry.isValid())
        QCOMPARE(w->geometry(), geometry);

    // Fonts: either the form sets a font of its own, changing only the point
    // size, or the widget inherits its parent's font.
    QCOMPARE(w->testAttribute(Qt::WA_SetFont), ownPointSize != kDefaultFont);
    if (ownPointSize != kDefaultFont) {
        QCOMPARE(ownPointSize, pointSize);
        const unsigned attributes = name == QLatin1String("label")
            ? unsigned(QFont::SizeResolved | QFont::WeightResolved | QFont::UnderlineResolved)
            : unsigned(QFont::SizeResolved);
        QCOMPARE(ownFontAttributes(w->font()), attributes);
    }
    const QFont font = w->font();
    QCOMPARE(font.pointSize(), pointSize);
    QCOMPARE(font.family(), QApplication::font().family());
    if (name != QLatin1String("label")) {
        QVERIFY(!font.bold());
        QVERIFY(!font.italic());
        QVERIFY(!font.underline());
        QCOMPARE(font.weight(), QApplication::font().weight());
    }

    if (alignment != kNoAlignment) {
        const QLabel *label = qobject_cast<const QLabel *>(w);
        QVERIFY(label != nullptr);
        QCOMPARE(int(label->alignment()), alignment);
    }

    QCOMPARE(w->isEnabled(), enabled);

    QString shown;
    QCOMPARE(captionOf(w, &shown), hasCaption);
    if (hasCaption)
        QCOMPARE(shown, caption);
}

void addWidgetColumns()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("ownPointSize");
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hasCaption");
    QTest::addColumn<QString>("caption");
}

void addWidgetRow(const char *name, const char *className, const char *parent,
                  const QRect &geometry, int ownPointSize, int pointSize, int alignment,
                  bool enabled, const QString &caption)
{
    // Rows without a caption pass a null string.
    const bool hasCaption = !caption.isNull();
    QTest::newRow(name) << QString::fromLatin1(name) << QByteArray(className)
                        << QString::fromLatin1(parent) << geometry << ownPointSize
                        << pointSize << alignment << enabled << hasCaption << caption;
}

// A caption; never null, even when empty.
QString text(const char *s)
{
    QString caption = QString::fromUtf8(s);
    if (caption.isNull())
        caption = QString(0, QChar());
    return caption;
}

} // namespace

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void mainWindowStructure();
    void mainWindowWidgets_data();
    void mainWindowWidgets();
    void mainWindowSettings();
    void linePalette_data();
    void linePalette();
    void readoutClamping_data();
    void readoutClamping();
    void dialWrapping_data();
    void dialWrapping();

    void commandWindowStructure();
    void commandWindowWidgets_data();
    void commandWindowWidgets();
    void commandWindowSettings();

    void captionsComeFromRetranslate();
};

void TestForms::initTestCase()
{
    QFont font = QApplication::font();
    font.setPointSize(kAppPointSize);
    QApplication::setFont(font);
    QCOMPARE(QApplication::font().pointSize(), kAppPointSize);
}

// ---------------------------------------------------------------- main window

void TestForms::mainWindowStructure()
{
    static_assert(std::is_standard_layout<Ui_MainWindow>::value,
                  "the form class is a plain aggregate of widget pointers");
    Form<Ui_MainWindow> form;
    const Ui_MainWindow &ui = form.ui;
#define FS_MEMBER(m) Member{#m, offsetof(Ui_MainWindow, m), ui.m},
    const std::vector<Member> members = {FS_MAINWINDOW_MEMBERS(FS_MEMBER)};
#undef FS_MEMBER
    QCOMPARE(members.size(), std::size_t(24));
    verifyMembers(form.window, members, sizeof(Ui_MainWindow));
    verifyBareWindow(form.window, ui.centralWidget, "MainWindow", QSize(800, 480));

    // A window that already has a name keeps it.
    QMainWindow named;
    named.setObjectName(QStringLiteral("named"));
    Ui_MainWindow other{};
    other.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("named"));
}

void TestForms::mainWindowWidgets_data()
{
    addWidgetColumns();
    const int center = int(Qt::AlignCenter);
    const int leftCentred = int(Qt::AlignLeft | Qt::AlignVCenter);
    const int d = kDefaultFont;
    const int a = kAppPointSize;
    const int none = kNoAlignment;
    const QString noCaption;

    addWidgetRow("centralWidget", "QWidget", "MainWindow", QRect(), d, a, none, true, noCaption);
    addWidgetRow("DisplayImage", "QLabel", "centralWidget", QRect(150, 0, 504, 480), d, a, center, true, text("Image Serial"));
    addWidgetRow("pushButton_Start", "QPushButton", "centralWidget", QRect(10, 30, 60, 60), d, a, none, true, text("Start"));
    addWidgetRow("groupBox", "QGroupBox", "centralWidget", QRect(660, 110, 131, 301), 8, 8, none, true, text("NUC Settings"));
    addWidgetRow("dial_Gain", "QDial", "groupBox", QRect(15, 50, 100, 100), d, 8, none, true, noCaption);
    addWidgetRow("dial_Offset", "QDial", "groupBox", QRect(15, 190, 100, 100), d, 8, none, true, noCaption);
    addWidgetRow("label_Gain_2", "QLabel", "groupBox", QRect(0, 20, 131, 31), 8, 8, center, true, text("Gain"));
    addWidgetRow("label_Offset_2", "QLabel", "groupBox", QRect(0, 160, 131, 31), 8, 8, center, true, text("Offset"));
    addWidgetRow("pushButton_Stop", "QPushButton", "centralWidget", QRect(80, 30, 60, 60), d, a, none, true, text("Stop"));
    addWidgetRow("label_FrameRate", "QLabel", "centralWidget", QRect(660, 410, 131, 20), 7, 7, center, true, text("FrameRate Image Serial"));
    addWidgetRow("label_Frame_Time", "QLabel", "centralWidget", QRect(660, 430, 131, 41), 7, 7, center, true, text("Q418 Display"));
    addWidgetRow("label_Copyright", "QLabel", "centralWidget", QRect(10, 440, 141, 31), 7, 7, leftCentred, true, text("Q418 Display"));
    addWidgetRow("pushButton_Exit", "QPushButton", "centralWidget", QRect(80, 100, 60, 60), d, a, none, true, text("Exit"));
    addWidgetRow("pushButton", "QPushButton", "centralWidget", QRect(10, 100, 60, 60), d, a, none, true, text("Cmd"));
    addWidgetRow("label_Title", "QLabel", "centralWidget", QRect(0, 0, 151, 20), 8, 8, center, true, text("TITLE"));
    addWidgetRow("pushButton_TakeFPN", "QPushButton", "centralWidget", QRect(10, 170, 130, 50), 8, 8, none, true, text("Take FPN Ref"));
    addWidgetRow("checkBox_ApplyNUC", "QCheckBox", "centralWidget", QRect(10, 230, 101, 31), 8, 8, none, true, text("Apply NUC"));
    addWidgetRow("label_Gain", "QLabel", "centralWidget", QRect(10, 270, 51, 31), 8, 8, int(QLabel().alignment()), true, text("Gain"));
    addWidgetRow("spinBox_Gain", "QSpinBox", "centralWidget", QRect(70, 270, 61, 31), 8, 8, none, false, noCaption);
    addWidgetRow("label_Offset", "QLabel", "centralWidget", QRect(10, 310, 51, 31), 8, 8, int(QLabel().alignment()), true, text("Offset"));
    addWidgetRow("spinBox_Offset", "QSpinBox", "centralWidget", QRect(70, 310, 61, 31), 8, 8, none, false, noCaption);
    addWidgetRow("label_LogoQZ", "QLabel", "centralWidget", QRect(660, 10, 130, 73), d, a, center, true, text("LogoQZ"));
    addWidgetRow("line", "QFrame", "centralWidget", QRect(150, 0, 12, 481), d, a, none, true, noCaption);
    addWidgetRow("line_2", "QFrame", "centralWidget", QRect(642, 0, 12, 481), d, a, none, true, noCaption);
}

void TestForms::mainWindowWidgets()
{
    Form<Ui_MainWindow> form;
    verifyWidgetRow(form.window);
}

void TestForms::mainWindowSettings()
{
    Form<Ui_MainWindow> form;
    const Ui_MainWindow &ui = form.ui;

    // The picture area: a box frame of width 0 around the unscaled picture.
    QCOMPARE(ui.DisplayImage->frameShape(), QFrame::Box);
    QCOMPARE(ui.DisplayImage->frameShadow(), QFrame::Plain);
    QCOMPARE(ui.DisplayImage->lineWidth(), 0);
    QVERIFY(!ui.DisplayImage->hasScaledContents());
    QCOMPARE(ui.DisplayImage->size(), QSize(504, 480));

    // The logo scales its picture into its 130 x 73 box.
    QVERIFY(ui.label_LogoQZ->hasScaledContents());

    // Read-only number displays: disabled and without arrow buttons.
    for (QSpinBox *box : {ui.spinBox_Gain, ui.spinBox_Offset}) {
        QVERIFY2(!box->isEnabled(), qPrintable(box->objectName()));
        QCOMPARE(box->buttonSymbols(), QAbstractSpinBox::NoButtons);
        QVERIFY(!box->wrapping());
        QCOMPARE(box->singleStep(), 1);
    }
    QCOMPARE(ui.spinBox_Gain->minimum(), 1);
    QCOMPARE(ui.spinBox_Gain->maximum(), 99);
    QCOMPARE(ui.spinBox_Gain->value(), 1);
    QCOMPARE(ui.spinBox_Offset->minimum(), -32768);
    QCOMPARE(ui.spinBox_Offset->maximum(), 32767);
    QCOMPARE(ui.spinBox_Offset->value(), 0);

    // Everything else is usable as soon as the form is built.
    const QList<QWidget *> widgets = ui.centralWidget->findChildren<QWidget *>();
    for (const QWidget *w : widgets) {
        if (w->objectName().startsWith(QLatin1String("qt_")) || w->objectName().isEmpty())
            continue;
        const bool readout = w == ui.spinBox_Gain || w == ui.spinBox_Offset;
        QCOMPARE(w->isEnabled(), !readout);
    }

    QCOMPARE(ui.checkBox_ApplyNUC->iconSize(), QSize(50, 50));
    QVERIFY(ui.checkBox_ApplyNUC->isCheckable());
    QVERIFY(!ui.checkBox_ApplyNUC->isChecked());

    for (QDial *dial : {ui.dial_Gain, ui.dial_Offset}) {
        const QByteArray name = dial->objectName().toLatin1();
        QVERIFY2(dial->wrapping(), name);
        QCOMPARE(dial->minimum(), 1);
        QCOMPARE(dial->maximum(), 16);
        QCOMPARE(dial->singleStep(), 1);
        QCOMPARE(dial->pageStep(), 1);
        QCOMPARE(dial->value(), 1);
        QCOMPARE(dial->sliderPosition(), 1);
        QVERIFY2(dial->hasTracking(), name);
        QCOMPARE(dial->orientation(), Qt::Horizontal);
        QVERIFY2(!dial->notchesVisible(), name);
        QVERIFY2(!dial->invertedAppearance(), name);
    }
    QCOMPARE(ui.dial_Gain->notchTarget(), 3.7);

    for (QFrame *bar : {ui.line, ui.line_2}) {
        QCOMPARE(bar->frameShape(), QFrame::VLine);
        QCOMPARE(bar->frameShadow(), QFrame::Plain);
        QCOMPARE(bar->lineWidth(), 50);
    }

    // The bars are created after the picture, so they lie on top of its
    // outermost columns.
    const QObjectList stack = ui.centralWidget->children();
    QVERIFY(stack.indexOf(ui.line) > stack.indexOf(ui.DisplayImage));
    QVERIFY(stack.indexOf(ui.line_2) > stack.indexOf(ui.DisplayImage));
    QCOMPARE(ui.line->geometry().left(), ui.DisplayImage->geometry().left());
    QCOMPARE(ui.line_2->geometry().right(), ui.DisplayImage->geometry().right());
}

void TestForms::linePalette_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("role");
    QTest::addColumn<QColor>("colour");

    const QColor lightGrey(237, 237, 237);
    const QColor darkerGrey(160, 160, 160);
    const QColor black(0, 0, 0);
    for (const char *name : {"line", "line_2"}) {
        const QString n = QString::fromLatin1(name);
        QTest::addRow("%s active text", name) << n << int(QPalette::Active) << int(QPalette::WindowText) << lightGrey;
        QTest::addRow("%s active light", name) << n << int(QPalette::Active) << int(QPalette::Light) << black;
        QTest::addRow("%s inactive text", name) << n << int(QPalette::Inactive) << int(QPalette::WindowText) << lightGrey;
        QTest::addRow("%s inactive light", name) << n << int(QPalette::Inactive) << int(QPalette::Light) << black;
        QTest::addRow("%s disabled text", name) << n << int(QPalette::Disabled) << int(QPalette::WindowText) << darkerGrey;
        QTest::addRow("%s disabled light", name) << n << int(QPalette::Disabled) << int(QPalette::Light) << black;
    }
}

void TestForms::linePalette()
{
    QFETCH(QString, name);
    QFETCH(int, group);
    QFETCH(int, role);
    QFETCH(QColor, colour);

    Form<Ui_MainWindow> form;
    const QFrame *bar = form.window.findChild<QFrame *>(name);
    QVERIFY(bar != nullptr);
    QVERIFY(bar->testAttribute(Qt::WA_SetPalette));
    const QBrush brush = bar->palette().brush(QPalette::ColorGroup(group), QPalette::ColorRole(role));
    QCOMPARE(brush.style(), Qt::SolidPattern);
    QCOMPARE(brush.color(), colour);
    QCOMPARE(brush.color().alpha(), 255);

    // Only those brushes are set; the other roles of the group are the
    // window's own.
    const QPalette inherited = form.ui.centralWidget->palette();
    for (QPalette::ColorRole other : {QPalette::Window, QPalette::Dark, QPalette::Mid, QPalette::Text}) {
        QCOMPARE(bar->palette().brush(QPalette::ColorGroup(group), other),
                 inherited.brush(QPalette::ColorGroup(group), other));
    }
}

void TestForms::readoutClamping_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("shown");

    QTest::newRow("gain below") << QStringLiteral("spinBox_Gain") << 0 << 1;
    QTest::newRow("gain negative") << QStringLiteral("spinBox_Gain") << -5 << 1;
    QTest::newRow("gain lowest") << QStringLiteral("spinBox_Gain") << 1 << 1;
    QTest::newRow("gain inside") << QStringLiteral("spinBox_Gain") << 42 << 42;
    QTest::newRow("gain highest") << QStringLiteral("spinBox_Gain") << 99 << 99;
    QTest::newRow("gain above") << QStringLiteral("spinBox_Gain") << 100 << 99;
    QTest::newRow("offset below") << QStringLiteral("spinBox_Offset") << -32769 << -32768;
    QTest::newRow("offset lowest") << QStringLiteral("spinBox_Offset") << -32768 << -32768;
    QTest::newRow("offset negative") << QStringLiteral("spinBox_Offset") << -100 << -100;
    QTest::newRow("offset highest") << QStringLiteral("spinBox_Offset") << 32767 << 32767;
    QTest::newRow("offset above") << QStringLiteral("spinBox_Offset") << 32800 << 32767;
    QTest::newRow("offset far above") << QStringLiteral("spinBox_Offset") << 1000000 << 32767;
}

void TestForms::readoutClamping()
{
    QFETCH(QString, name);
    QFETCH(int, written);
    QFETCH(int, shown);

    Form<Ui_MainWindow> form;
    QSpinBox *box = form.window.findChild<QSpinBox *>(name);
    QVERIFY(box != nullptr);
    box->setValue(written);
    QCOMPARE(box->value(), shown);
}

void TestForms::dialWrapping_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("gain") << QStringLiteral("dial_Gain");
    QTest::newRow("offset") << QStringLiteral("dial_Offset");
}

void TestForms::dialWrapping()
{
    QFETCH(QString, name);

    Form<Ui_MainWindow> form;
    QDial *dial = form.window.findChild<QDial *>(name);
    QVERIFY(dial != nullptr);

    // Forward from the start: 1, 2, ... up to the end of the range.
    QCOMPARE(dial->value(), 1);
    for (int expected = 2; expected <= 16; ++expected) {
        dial->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(dial->value(), expected);
    }
    // One step past 16 goes on at the low end instead of stopping. On a
    // wrapping dial 1 and 16 are the same position (the seam), so the next
    // position after 16 is the one after 1.
    dial->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(dial->value(), 2);

    // Backwards past 1 goes on at the high end: 1 and 16 share the seam, so
    // the step before 1 is the one before 16.
    dial->setValue(1);
    dial->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(dial->value(), 15);

    // A page step is one position too, and wraps the same way.
    dial->setValue(16);
    dial->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QCOMPARE(dial->value(), 2);

    // A full turn is 15 steps and never leaves 1..16 in either direction.
    dial->setValue(5);
    for (int i = 0; i < 15; ++i) {
        dial->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QVERIFY(dial->value() >= 1 && dial->value() <= 16);
    }
    QCOMPARE(dial->value(), 5);
    for (int i = 0; i < 15; ++i) {
        dial->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QVERIFY(dial->value() >= 1 && dial->value() <= 16);
    }
    QCOMPARE(dial->value(), 5);

    // Values written from outside the range are folded into it, not clamped.
    dial->setValue(17);
    QCOMPARE(dial->value(), 2);
    dial->setValue(0);
    QCOMPARE(dial->value(), 15);
}

// ------------------------------------------------------------- command window

void TestForms::commandWindowStructure()
{
    static_assert(std::is_standard_layout<Ui_WindowCommand>::value,
                  "the form class is a plain aggregate of widget pointers");
    Form<Ui_WindowCommand> form;
    const Ui_WindowCommand &ui = form.ui;
#define FS_MEMBER(m) Member{#m, offsetof(Ui_WindowCommand, m), ui.m},
    const std::vector<Member> members = {FS_WINDOWCOMMAND_MEMBERS(FS_MEMBER)};
#undef FS_MEMBER
    QCOMPARE(members.size(), std::size_t(13));
    verifyMembers(form.window, members, sizeof(Ui_WindowCommand));
    verifyBareWindow(form.window, ui.centralwidget, "WindowCommand", QSize(249, 298));

    QMainWindow named;
    named.setObjectName(QStringLiteral("named"));
    Ui_WindowCommand other{};
    other.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("named"));
}

void TestForms::commandWindowWidgets_data()
{
    addWidgetColumns();
    const int d = kDefaultFont;
    const int a = kAppPointSize;
    const int none = kNoAlignment;
    const int plain = int(QLabel().alignment());
    const QString noCaption;

    addWidgetRow("centralwidget", "QWidget", "WindowCommand", QRect(), d, a, none, true, noCaption);
    addWidgetRow("groupBox_2", "QGroupBox", "centralwidget", QRect(10, 10, 221, 271), d, a, none, true, text(""));
    addWidgetRow("label_Command_Proxy", "QLabel", "groupBox_2", QRect(10, 10, 121, 20), 8, 8, plain, true, text("Command to proxy"));
    addWidgetRow("lineEdit_Command", "QLineEdit", "groupBox_2", QRect(10, 40, 131, 31), d, a, none, true, text(""));
    addWidgetRow("pushButton_Send_Proxy", "QPushButton", "groupBox_2", QRect(150, 40, 61, 31), d, a, none, true, text("Send"));
    addWidgetRow("line_2", "QFrame", "groupBox_2", QRect(20, 80, 181, 16), d, a, none, true, noCaption);
    addWidgetRow("label", "QLabel", "groupBox_2", QRect(10, 120, 201, 20), 8, 8, int(Qt::AlignCenter), true, text("/!\\ CAUTION /!\\"));
    addWidgetRow("label_Address", "QLabel", "groupBox_2", QRect(10, 150, 61, 31), 8, 8, plain, true, text("Address"));
    addWidgetRow("spinBox_Address", "QSpinBox", "groupBox_2", QRect(70, 150, 71, 31), 8, 8, none, true, noCaption);
    addWidgetRow("label_Value", "QLabel", "groupBox_2", QRect(10, 190, 61, 31), 8, 8, plain, true, text("Value"));
    addWidgetRow("spinBox_Value", "QSpinBox", "groupBox_2", QRect(70, 190, 71, 31), 8, 8, none, true, noCaption);
    addWidgetRow("pushButton_SendSensor", "QPushButton", "groupBox_2", QRect(150, 230, 61, 31), d, a, none, true, text("Send"));
    addWidgetRow("label_Command_Sensor", "QLabel", "groupBox_2", QRect(10, 100, 151, 20), 8, 8, plain, true, text("Command to sensor"));
}

void TestForms::commandWindowWidgets()
{
    Form<Ui_WindowCommand> form;
    verifyWidgetRow(form.window);
}

void TestForms::commandWindowSettings()
{
    Form<Ui_WindowCommand> form;
    const Ui_WindowCommand &ui = form.ui;

    // The caution label: 8 points, bold and underlined, centred both ways.
    const QFont caution = ui.label->font();
    QVERIFY(ui.label->testAttribute(Qt::WA_SetFont));
    QCOMPARE(caution.pointSize(), 8);
    QVERIFY(caution.bold());
    QCOMPARE(int(caution.weight()), int(QFont::Bold));
    QVERIFY(caution.underline());
    QVERIFY(!caution.italic());
    QCOMPARE(ui.label->text(), QStringLiteral("/!\\ CAUTION /!\\"));
    QCOMPARE(int(ui.label->alignment()), int(Qt::AlignHCenter | Qt::AlignVCenter));

    // The separator between the proxy and the sensor parts.
    QCOMPARE(ui.line_2->frameShape(), QFrame::HLine);
    QCOMPARE(ui.line_2->frameShadow(), QFrame::Sunken);

    // The command text has no length limit of the form's own and starts empty.
    QCOMPARE(ui.lineEdit_Command->maxLength(), QLineEdit().maxLength());
    QVERIFY(ui.lineEdit_Command->text().isEmpty());
    QVERIFY(!ui.lineEdit_Command->isReadOnly());

    QVERIFY(ui.groupBox_2->title().isEmpty());

    // Address 0..255 and value 0..99, both starting at 0; values written
    // outside are clamped.
    QCOMPARE(ui.spinBox_Address->minimum(), 0);
    QCOMPARE(ui.spinBox_Address->maximum(), 255);
    QCOMPARE(ui.spinBox_Address->value(), 0);
    QCOMPARE(ui.spinBox_Value->minimum(), 0);
    QCOMPARE(ui.spinBox_Value->maximum(), 99);
    QCOMPARE(ui.spinBox_Value->value(), 0);
    for (QSpinBox *box : {ui.spinBox_Address, ui.spinBox_Value}) {
        QCOMPARE(box->singleStep(), 1);
        QVERIFY(!box->wrapping());
        QCOMPARE(box->buttonSymbols(), QAbstractSpinBox::UpDownArrows);
    }
    ui.spinBox_Address->setValue(256);
    QCOMPARE(ui.spinBox_Address->value(), 255);
    ui.spinBox_Address->setValue(-1);
    QCOMPARE(ui.spinBox_Address->value(), 0);
    ui.spinBox_Value->setValue(100);
    QCOMPARE(ui.spinBox_Value->value(), 99);
    ui.spinBox_Value->setValue(255);
    QCOMPARE(ui.spinBox_Value->value(), 99);
    ui.spinBox_Value->setValue(-1);
    QCOMPARE(ui.spinBox_Value->value(), 0);

    // The sensor heading is created last although it sits above the caution
    // label.
    QCOMPARE(ui.groupBox_2->children().last(), static_cast<QObject *>(ui.label_Command_Sensor));
    QVERIFY(ui.label_Command_Sensor->geometry().bottom() < ui.label->geometry().top());
}

// Captions and window titles belong to retranslateUi, which setupUi calls:
// calling it again restores every caption that the program has replaced.
void TestForms::captionsComeFromRetranslate()
{
    Form<Ui_MainWindow> main;
    main.window.setWindowTitle(QStringLiteral("product"));
    main.ui.label_Title->setText(QStringLiteral("product"));
    main.ui.label_Copyright->setText(QStringLiteral("notice"));
    main.ui.groupBox->setTitle(QString());
    main.ui.pushButton->setText(QString());
    main.ui.checkBox_ApplyNUC->setText(QString());
    main.ui.retranslateUi(&main.window);
    QCOMPARE(main.window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(main.ui.label_Title->text(), QStringLiteral("TITLE"));
    QCOMPARE(main.ui.label_Copyright->text(), QStringLiteral("Q418 Display"));
    QCOMPARE(main.ui.groupBox->title(), QStringLiteral("NUC Settings"));
    QCOMPARE(main.ui.pushButton->text(), QStringLiteral("Cmd"));
    QCOMPARE(main.ui.checkBox_ApplyNUC->text(), QStringLiteral("Apply NUC"));

    Form<Ui_WindowCommand> command;
    command.window.setWindowTitle(QStringLiteral("Send Commands"));
    command.ui.label->setText(QString());
    command.ui.pushButton_SendSensor->setText(QString());
    command.ui.retranslateUi(&command.window);
    QCOMPARE(command.window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(command.ui.label->text(), QStringLiteral("/!\\ CAUTION /!\\"));
    QCOMPARE(command.ui.pushButton_SendSensor->text(), QStringLiteral("Send"));
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
