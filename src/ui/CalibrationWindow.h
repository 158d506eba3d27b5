#pragma once

#include "printing/Calibration.h"
#include "printing/CalibrationSheet.h"
#include "ui/Dialogs.h"

#include <QDialog>

#include <optional>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QMenu;
class QPushButton;

namespace vellora {

// The printers' calibration: prints the calibration sheet on the default
// printer, takes what the operator measured on it, shows the scale and offset
// that follow and stores them for the chosen printer.
class CalibrationWindow : public QDialog
{
    Q_OBJECT
public:
    explicit CalibrationWindow(const QString& programFolder, QWidget* parent = nullptr);

    // The dialogs a test answers; unset ones are the real dialogs.
    void setDialogs(DialogsPtr dialogs) { m_dialogs = std::move(dialogs); }

    void printerChosen();
    void printSheet();
    // The calibration the measures give, shown as they are typed.
    void measuresChanged();
    void save();
    void reset();

    // What save would store, when the measures are within the limits.
    std::optional<PrinterCalibration> derived() const { return m_derived; }

private:
    QString printer() const;
    QString iniPath() const;
    void message(const QString& text, const QString& caption, QMessageBox::Icon icon);

    QString m_programFolder;
    DialogsPtr m_dialogs;
    std::optional<PrinterCalibration> m_derived;
    // The chosen printer's paper, asked once per choice rather than per keystroke.
    std::optional<PrinterPage> m_page;

    QComboBox* m_printerBox = nullptr;
    QLabel* m_storedLabel = nullptr;
    QPushButton* m_printButton = nullptr;
    QDoubleSpinBox* m_lineX = nullptr;
    QDoubleSpinBox* m_lineY = nullptr;
    QDoubleSpinBox* m_crossLeft = nullptr;
    QDoubleSpinBox* m_crossTop = nullptr;
    QLabel* m_resultLabel = nullptr;
    QPushButton* m_saveButton = nullptr;
    QPushButton* m_resetButton = nullptr;
};

// The context menu of the default-printer button: "打印机校准…" opens the
// calibration window, modal over `parent`; "主打印机" and "备用打印机" choose
// the printers monitoring prints on (配置.ini, section 打印机).
void showCalibrationMenu(QWidget* parent, const QPoint& globalPos, const QString& programFolder);

// The two printer choices, filled into menu from the queues there are: each
// action, when triggered, writes its choice into the 配置.ini of
// programFolder. The current choices are checked.
void addPrinterChoices(QMenu& menu, const QString& programFolder, const QStringList& queues);

} // namespace vellora
