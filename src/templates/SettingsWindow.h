#pragma once

#include "templates/EditingRules.h"

#include <QAbstractSpinBox>
#include <QColor>
#include <QFrame>
#include <QImage>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class QAbstractButton;
class QCheckBox;
class QLineEdit;
class QGroupBox;
class QLabel;
class QListWidget;
class QRadioButton;
class QTabWidget;

namespace vellora {

struct AppState;
struct LayoutTemplate;

// The modal dialogs the settings window opens, replaceable so that tests can
// answer them. Defaults show the real dialogs.
struct SettingsDialogs
{
    // An application-modal message box with an OK button; error = error icon,
    // otherwise no icon.
    std::function<void(const QString& caption, const QString& text, bool error)> message;
    // A yes/no question; true for yes.
    std::function<bool(const QString& caption, const QString& text)> confirm;
    // The name to save a template under; nothing when cancelled.
    std::function<std::optional<QString>(QWidget* parent)> askTemplateName;
    // The logo file chosen in "打开标志图片"; empty when cancelled.
    std::function<QString(QWidget* parent)> openLogoFile;
    // A colour chosen from the colour dialog; invalid when cancelled.
    std::function<QColor(QWidget* parent, const QColor& initial)> pickColour;
    // Runs the batch window modally, owned by the settings window.
    std::function<void(AppState& state, QWidget* owner)> runBatch;
};

// An edit box with spin buttons whose text is entirely the window's business:
// no value semantics, typing filtered by kind, spins reported as ±1.
class ValueSpinBox : public QAbstractSpinBox
{
    Q_OBJECT
public:
    ValueSpinBox(const ValueBoxRule& rule, QWidget* parent);

    const ValueBoxRule& rule() const { return m_rule; }
    QString text() const;
    QLineEdit* editor() const { return lineEdit(); }
    // A text written by the program: not filtered, and the change is raised
    // even when the text stays the same.
    void setSystemText(const QString& text);

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

Q_SIGNALS:
    void contentChanged(); // any change of the text, typed or written
    void spun(int direction);

protected:
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    const ValueBoxRule& m_rule;
};

// A button that shows its colour and opens the colour dialog.
class ColourPickerButton : public QPushButton
{
    Q_OBJECT
public:
    explicit ColourPickerButton(QWidget* parent);

    QColor colour() const { return m_colour; }
    // Raises colourChanged when the colour differs.
    void setColour(const QColor& colour);

Q_SIGNALS:
    void colourChanged(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour = Qt::black;
};

// 画板1: shows the last sheet picture shrunk to fit on its background.
class PreviewBoard : public QFrame
{
    Q_OBJECT
public:
    explicit PreviewBoard(QWidget* parent);

    void showSheet(const QImage& sheet);
    const QImage& sheet() const { return m_sheet; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rescale();

    QImage m_sheet;
    QImage m_scaled;
    QRect m_target;
};

// "证件照排版设置": the template list and every value of the current template,
// with a live preview. Created hidden at start-up; never destroyed.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsWindow(AppState& state, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Process-wide, so that a test can answer the dialogs of a window's
    // creation too.
    static SettingsDialogs& dialogs();
    static void resetDialogs();

    ValueSpinBox* valueBox(ValueBox box) const;

Q_SIGNALS:
    // A template name the main window's template button should show
    // (a row chosen in the list, or the name set as default).
    void templateNameShown(const QString& name);
    // The window was closed (hidden); the main window shows itself again.
    void closedToMain();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildControls();
    void connectRules();

    void fillTemplateList();
    bool loadByName(const QString& name);
    void applyLoadedRow(const LayoutTemplate& row);
    void saveCurrentTemplate();
    void saveCurrentTemplateAs();
    void saveCurrentTemplateUnder(const QString& name);
    std::optional<QString> askNewTemplateName();
    void highlightTemplate(const QString& name);
    QString configuredDefaultName() const;
    void setDefaultTemplate();
    void deleteSelectedTemplate();
    void openBatch();
    QString selectedTemplateName() const;

    void redraw();
    void resizeSheetSurface();
    void onBoxChanged(ValueSpinBox* box);
    void onSpin(ValueSpinBox* box, int direction);

    void applyTwoSizeRule();
    void applyFrameLinesRule();
    void applyCentredRule();
    void applyCustomPositionRule();
    void applyOrientationRule(bool landscape);
    void applyNumberRule(QRadioButton* chosen);
    void applyLogoRule();
    void importLogo();
    void showLogo();
    void setMarginsEnabled(bool enabled);

    AppState& m_state;
    std::array<ValueSpinBox*, kValueBoxCount> m_boxes{};

    QListWidget* m_list = nullptr;
    QTabWidget* m_tabs = nullptr;
    QGroupBox* m_size2Group = nullptr;
    QCheckBox* m_twoSizeCheck = nullptr;
    QCheckBox* m_frameCheck = nullptr;
    QCheckBox* m_logoCheck = nullptr;
    QRadioButton* m_centredRadio = nullptr;
    QRadioButton* m_customRadio = nullptr;
    QRadioButton* m_landscapeRadio = nullptr;
    QRadioButton* m_portraitRadio = nullptr;
    QRadioButton* m_insideRadio = nullptr;
    QRadioButton* m_outsideRadio = nullptr;
    QRadioButton* m_noNumberRadio = nullptr;
    ColourPickerButton* m_numberColour = nullptr;
    ColourPickerButton* m_frameColour = nullptr;
    QLabel* m_logoPicture = nullptr;
    QPushButton* m_openLogoButton = nullptr;
    QLabel* m_leftMarginLabel = nullptr;
    QLabel* m_topMarginLabel = nullptr;
    PreviewBoard* m_board = nullptr;
};

} // namespace vellora
