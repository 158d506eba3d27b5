#include "ui/CalibrationWindow.h"

#include "core/Config.h"
#include "core/ProgramFolder.h"
#include "printing/PrinterDevice.h"

#include <QActionGroup>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPrinterInfo>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellora {

namespace {

QDoubleSpinBox* millimetreBox(const QString& objectName, double value, QWidget* parent)
{
    auto* box = new QDoubleSpinBox(parent);
    box->setObjectName(objectName);
    box->setRange(0, 400);
    box->setDecimals(2);
    box->setSingleStep(0.1);
    box->setSuffix(QStringLiteral(" mm"));
    box->setValue(value);
    return box;
}

} // namespace

CalibrationWindow::CalibrationWindow(const QString& programFolder, QWidget* parent)
    : QDialog(parent), m_programFolder(programFolder)
{
    setObjectName(QStringLiteral("打印机校准窗口"));
    setWindowTitle(QStringLiteral("打印机校准"));
    setMinimumWidth(460);

    m_printerBox = new QComboBox(this);
    m_printerBox->setObjectName(QStringLiteral("校准打印机框"));
    const QString defaultPrinter = defaultPrinterName();
    m_printerBox->addItems(QPrinterInfo::availablePrinterNames());
    if (m_printerBox->findText(defaultPrinter) < 0 && !defaultPrinter.isEmpty())
        m_printerBox->addItem(defaultPrinter);
    m_printerBox->setCurrentText(defaultPrinter);

    m_storedLabel = new QLabel(this);
    m_storedLabel->setObjectName(QStringLiteral("当前校准标签"));
    m_printButton = new QPushButton(QStringLiteral("打印校准页"), this);
    m_printButton->setObjectName(QStringLiteral("打印校准页按钮"));

    auto* measures = new QGroupBox(QStringLiteral("在校准页上测得（都量到十字中心）"), this);
    m_lineX = millimetreBox(QStringLiteral("横向线长框"), kReferenceLineMm, measures);
    m_lineY = millimetreBox(QStringLiteral("纵向线长框"), kReferenceLineMm, measures);
    // 0 shows "未测": without the crosses the offset stays as it is.
    m_crossLeft = millimetreBox(QStringLiteral("十字左距框"), 0, measures);
    m_crossTop = millimetreBox(QStringLiteral("十字上距框"), 0, measures);
    m_crossLeft->setSpecialValueText(QStringLiteral("未测"));
    m_crossTop->setSpecialValueText(QStringLiteral("未测"));
    auto* form = new QFormLayout(measures);
    form->addRow(QStringLiteral("左上—右上十字（100 mm 线）："), m_lineX);
    form->addRow(QStringLiteral("左上—左下十字（100 mm 线）："), m_lineY);
    form->addRow(QStringLiteral("左上十字到纸左边："), m_crossLeft);
    form->addRow(QStringLiteral("左上十字到纸上边："), m_crossTop);

    m_resultLabel = new QLabel(this);
    m_resultLabel->setObjectName(QStringLiteral("校准结果标签"));
    m_resultLabel->setWordWrap(true);
    m_saveButton = new QPushButton(QStringLiteral("保存校准"), this);
    m_saveButton->setObjectName(QStringLiteral("保存校准按钮"));
    m_resetButton = new QPushButton(QStringLiteral("清除校准"), this);
    m_resetButton->setObjectName(QStringLiteral("清除校准按钮"));
    auto* closeButton = new QPushButton(QStringLiteral("关闭"), this);
    closeButton->setObjectName(QStringLiteral("关闭校准按钮"));

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("打印机："), this));
    top->addWidget(m_printerBox, 1);
    top->addWidget(m_printButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_saveButton);
    buttons->addWidget(m_resetButton);
    buttons->addStretch(1);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_storedLabel);
    layout->addWidget(measures);
    layout->addWidget(m_resultLabel);
    layout->addLayout(buttons);

    connect(m_printerBox, &QComboBox::currentTextChanged, this, &CalibrationWindow::printerChosen);
    connect(m_printButton, &QPushButton::clicked, this, &CalibrationWindow::printSheet);
    for (QDoubleSpinBox* box : {m_lineX, m_lineY, m_crossLeft, m_crossTop})
        connect(box, &QDoubleSpinBox::valueChanged, this, &CalibrationWindow::measuresChanged);
    connect(m_saveButton, &QPushButton::clicked, this, &CalibrationWindow::save);
    connect(m_resetButton, &QPushButton::clicked, this, &CalibrationWindow::reset);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);

    printerChosen();
}

QString CalibrationWindow::printer() const
{
    return m_printerBox->currentText();
}

QString CalibrationWindow::iniPath() const
{
    return joinPath(m_programFolder, QString::fromUtf16(kConfigFileName));
}

void CalibrationWindow::message(const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    if (m_dialogs && m_dialogs->message)
        m_dialogs->message(caption, text, icon);
    else
        showMessageBox(text, caption, icon);
}

void CalibrationWindow::printerChosen()
{
    m_page.reset();
    const std::optional<PrinterCalibration> stored = readPrinterCalibration(iniPath(), printer());
    m_storedLabel->setText(
        QStringLiteral("当前校准：%1")
            .arg(stored ? describeCalibration(*stored) : QStringLiteral("无（按真实尺寸打印）")));
    m_resetButton->setEnabled(stored.has_value());
    // Sheets, this one too, print on the default printer only.
    const bool isDefault = !printer().isEmpty() && printer() == defaultPrinterName();
    m_printButton->setEnabled(isDefault);
    m_printButton->setToolTip(isDefault ? QString() : QStringLiteral("校准页只在默认打印机上打印"));
    measuresChanged();
}

void CalibrationWindow::printSheet()
{
    const PrintReport report = printCalibrationSheet(m_programFolder);
    if (report.outcome == PrintOutcome::Printed)
        message(QStringLiteral("校准页已送到打印机 %1。请测量后填入下面的距离。")
                    .arg(report.printerName),
                QString::fromUtf16(kInfoCaption), QMessageBox::Information);
    else
        message(QStringLiteral("校准页未能打印：%1").arg(report.error),
                QString::fromUtf16(kErrorCaption), QMessageBox::Critical);
}

void CalibrationWindow::measuresChanged()
{
    m_derived.reset();
    CalibrationMeasurement measured;
    measured.lineXMm = m_lineX->value();
    measured.lineYMm = m_lineY->value();
    if (m_crossLeft->value() > 0)
        measured.crossLeftMm = m_crossLeft->value();
    if (m_crossTop->value() > 0)
        measured.crossTopMm = m_crossTop->value();
    PrinterPage page;
    if (measured.crossLeftMm || measured.crossTopMm) {
        if (!m_page)
            m_page = describePrinterPage(printer());
        page = *m_page;
        if (!page.ok) {
            m_resultLabel->setText(QStringLiteral("无法计算偏移：%1").arg(page.error));
            m_saveButton->setEnabled(false);
            return;
        }
    }
    const CalibrationResult result = deriveCalibration(
        measured, readPrinterCalibration(iniPath(), printer()).value_or(PrinterCalibration{}),
        page.printableMm.left(), page.printableMm.top());
    if (result.ok) {
        m_derived = result.calibration;
        m_resultLabel->setText(
            QStringLiteral("将保存：%1").arg(describeCalibration(result.calibration)));
    } else {
        m_resultLabel->setText(QStringLiteral("不能保存：%1").arg(result.error));
    }
    m_saveButton->setEnabled(result.ok && !printer().isEmpty());
}

void CalibrationWindow::save()
{
    QString error = QStringLiteral("测量值超出范围");
    if (!m_derived || !storePrinterCalibration(iniPath(), printer(), *m_derived, &error)) {
        message(QStringLiteral("校准未保存：%1").arg(error), QString::fromUtf16(kErrorCaption),
                QMessageBox::Critical);
        return;
    }
    // The measures belonged to the sheet printed before; the next check needs
    // a new sheet.
    m_lineX->setValue(kReferenceLineMm);
    m_lineY->setValue(kReferenceLineMm);
    m_crossLeft->setValue(0);
    m_crossTop->setValue(0);
    printerChosen();
}

void CalibrationWindow::reset()
{
    QString error;
    if (!resetPrinterCalibration(iniPath(), printer(), &error))
        message(QStringLiteral("校准未清除：%1").arg(error), QString::fromUtf16(kErrorCaption),
                QMessageBox::Critical);
    printerChosen();
}

void addPrinterChoices(QMenu& menu, const QString& programFolder, const QStringList& queues)
{
    const QString ini = joinPath(programFolder, QString::fromUtf16(kConfigFileName));
    const QString section = QString::fromUtf16(kConfigPrinterSection);
    const auto submenu = [&](const QString& title, const char16_t* key, const QString& none,
                             const QString& objectName) {
        QMenu* choices = menu.addMenu(title);
        choices->setObjectName(objectName);
        const QString current = readConfigText(ini, section, QString::fromUtf16(key)).trimmed();
        auto* group = new QActionGroup(choices);
        for (const QString& queue : QStringList{QString()} + queues) {
            QAction* action = choices->addAction(queue.isEmpty() ? none : queue);
            action->setCheckable(true);
            action->setChecked(queue == current);
            action->setData(queue);
            group->addAction(action);
            QObject::connect(action, &QAction::triggered, choices, [ini, section, key, queue] {
                writeConfigText(ini, section, QString::fromUtf16(key), queue);
            });
        }
    };
    submenu(QStringLiteral("主打印机"), kConfigMainPrinterKey, QStringLiteral("默认打印机"),
            QStringLiteral("主打印机菜单"));
    submenu(QStringLiteral("备用打印机"), kConfigBackupPrinterKey, QStringLiteral("不用"),
            QStringLiteral("备用打印机菜单"));
}

void showCalibrationMenu(QWidget* parent, const QPoint& globalPos, const QString& programFolder)
{
    QMenu menu(parent);
    menu.setObjectName(QStringLiteral("打印机菜单"));
    QAction* calibrate = menu.addAction(QStringLiteral("打印机校准…"));
    menu.addSeparator();
    addPrinterChoices(menu, programFolder, QPrinterInfo::availablePrinterNames());
    if (menu.exec(globalPos) != calibrate)
        return;
    CalibrationWindow window(programFolder, parent);
    window.exec();
}

} // namespace vellora
