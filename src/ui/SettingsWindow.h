#pragma once

#include "templates/EditingRules.h"
#include "ui/ColourPickerButton.h"
#include "ui/PreviewBoard.h"
#include "ui/SettingsDialogs.h"
#include "ui/ValueSpinBox.h"

#include <QColor>
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

// "证件照排版设置": the template list and every value of the current template,
// with a live preview. Created hidden at start-up; never destroyed.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    // dialogs: the ones a test answers; unset ones are the real dialogs.
    explicit SettingsWindow(AppState& state, QWidget* parent = nullptr,
                            DialogsPtr dialogs = nullptr);
    ~SettingsWindow() override;

    // The dialogs this window opens: the injected ones, the real ones where
    // none is injected.
    Dialogs dialogs() const;

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
    DialogsPtr m_dialogs;
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
