#include "ui/SettingsWindow.h"

#include "core/AppState.h"
#include "core/Config.h"
#include "core/DrawingSurface.h"
#include "core/TemplateValues.h"
#include "sheet/PictureHandle.h"
#include "sheet/SheetGeometry.h"
#include "sheet/SheetRenderer.h"
#include "sheet/TemplateLoader.h"
#include "templates/TemplateFile.h"
#include "ui/BatchWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QProxyStyle>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QThread>

#include "core/Messages.h"

namespace vellora {

// The template list: load, save, default, delete.

namespace {

// Check states copied in from a template raise no click. An auto-exclusive
// radio box cannot be unchecked on its own, which the copying needs while it
// sets a group one box at a time.
void setCheckedQuietly(QAbstractButton* button, bool checked)
{
    if (button->isChecked() == checked)
        return;
    if (!checked && button->autoExclusive()) {
        button->setAutoExclusive(false);
        button->setChecked(false);
        button->setAutoExclusive(true);
        return;
    }
    button->setChecked(checked);
}

} // namespace

void SettingsWindow::fillTemplateList()
{
    const QSignalBlocker blocker(m_list);
    m_list->clear();
    m_list->addItems(listTemplateNames(m_state.storePath()));
    m_list->setCurrentRow(-1);
    m_list->clearSelection();
    highlightTemplate(m_state.loadedTemplateName);
}

void SettingsWindow::highlightTemplate(const QString& name)
{
    // The first row of a name is the one a load by that name takes.
    const QSignalBlocker blocker(m_list);
    for (int i = 0; i < m_list->count(); ++i) {
        if (!name.isEmpty() && m_list->item(i)->text() == name) {
            m_list->setCurrentRow(i);
            return;
        }
    }
    m_list->setCurrentRow(-1);
    m_list->clearSelection();
}

QString SettingsWindow::selectedTemplateName() const
{
    const QList<QListWidgetItem*> selected = m_list->selectedItems();
    return selected.isEmpty() ? QString() : selected.first()->text();
}

bool SettingsWindow::loadByName(const QString& name)
{
    if (!loadTemplateByName(m_state, name)) {
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QString::fromUtf16(kTemplateMissingMessage), QMessageBox::Critical);
        return false;
    }
    m_state.loadedTemplateName = name;
    return true;
}

void SettingsWindow::applyLoadedRow(const LayoutTemplate& row)
{
    LayoutTemplate& t = m_state.currentTemplate;
    auto write = [this](ValueBox which, qint32 value) {
        ValueSpinBox* b = valueBox(which);
        b->setSystemText(boxTextFromValue(b->rule(), value));
    };

    // 1
    m_state.templateLoading = true;
    t.name = row.name;
    // 2
    t.size1 = row.size1;
    t.outputCount = row.outputCount;
    t.twoSize = row.twoSize;
    t.gap = row.gap;
    t.size2 = row.size2;
    // 3
    t.centred = row.centred;
    setCheckedQuietly(m_centredRadio, row.centred != 0);
    // 4
    t.landscape = row.landscape;
    t.paperHeight = row.paperHeight;
    t.paperWidth = row.paperWidth;
    resizeSheetSurface();
    // 5
    t.noNumber = row.noNumber;
    t.numberInside = row.numberInside;
    t.numberColour = row.numberColour;
    t.frameLines = row.frameLines;
    t.frameColour = row.frameColour;
    // 6
    write(ValueBox::Size1Height, t.size1.height);
    write(ValueBox::Size1Width, t.size1.width);
    write(ValueBox::Size1Across, t.size1.countAcross);
    write(ValueBox::Size1Down, t.size1.countDown);
    write(ValueBox::Size1HDistance, t.size1.hDistance);
    write(ValueBox::Size1VDistance, t.size1.vDistance);
    write(ValueBox::OutputCount, t.outputCount);
    // 7
    setCheckedQuietly(m_twoSizeCheck, t.twoSize != 0);
    applyTwoSizeRule();
    // 8
    write(ValueBox::Gap, t.gap);
    write(ValueBox::Size2Height, t.size2.height);
    write(ValueBox::Size2Width, t.size2.width);
    write(ValueBox::Size2Across, t.size2.countAcross);
    write(ValueBox::Size2Down, t.size2.countDown);
    write(ValueBox::Size2HDistance, t.size2.hDistance);
    write(ValueBox::Size2VDistance, t.size2.vDistance);
    // 9
    m_numberColour->setColour(colourFromValue(t.numberColour));
    m_frameColour->setColour(colourFromValue(t.frameColour));
    // 10
    setCheckedQuietly(m_frameCheck, t.frameLines != 0);
    applyFrameLinesRule();
    // 11
    if (m_centredRadio->isChecked()) {
        setCheckedQuietly(m_customRadio, false);
        applyCentredRule();
        t.leftMargin = row.leftMargin;
        t.topMargin = row.topMargin;
    } else {
        setCheckedQuietly(m_customRadio, true);
        applyCustomPositionRule();
        write(ValueBox::LeftMargin, row.leftMargin);
        write(ValueBox::TopMargin, row.topMargin);
    }
    // 12
    write(ValueBox::PaperHeight, t.paperHeight);
    write(ValueBox::PaperWidth, t.paperWidth);
    // 13
    setCheckedQuietly(t.landscape != 0 ? m_landscapeRadio : m_portraitRadio, true);
    setCheckedQuietly(t.landscape != 0 ? m_portraitRadio : m_landscapeRadio, false);
    // 14
    QRadioButton* chosen = t.noNumber != 0       ? m_noNumberRadio
                           : t.numberInside != 0 ? m_insideRadio
                                                 : m_outsideRadio;
    setCheckedQuietly(chosen, true);
    for (QRadioButton* r : {m_insideRadio, m_outsideRadio, m_noNumberRadio}) {
        if (r != chosen)
            setCheckedQuietly(r, false);
    }
    m_numberColour->setEnabled(chosen != m_noNumberRadio);
    // 15
    t.logo = row.logo;
    setCheckedQuietly(m_logoCheck, t.logo != 0);
    if (t.logo != 0)
        t.logoPicture = row.logoPicture;
    showLogo();
    // 16
    applyLogoRule();
    // Whoever loaded it (this list, the main window's, the batch window's),
    // the list shows which template is being edited.
    highlightTemplate(row.name);
    // The loader ends the load: it clears templateLoading, redraws and clears
    // templateModified.
}

std::optional<QString> SettingsWindow::askNewTemplateName()
{
    const std::optional<QString> asked = dialogs().askTemplateName(this);
    if (!asked)
        return std::nullopt;
    const QString name = *asked;
    // A name that would not come back from 配置.ini could never be the default.
    const QString problem = configValueProblem(name);
    if (!problem.isEmpty()) {
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QStringLiteral("不能用“%1”作为打印规格名称：%2。").arg(name, problem),
                          QMessageBox::Critical);
        return std::nullopt;
    }
    LayoutTemplate existing;
    ColumnKindError kindError;
    const FindResult found = findTemplateByName(m_state.storePath(), name, existing, &kindError);
    if ((found == FindResult::Found || found == FindResult::WrongKind) &&
        !dialogs().confirm(QStringLiteral("重要提示"),
                           QStringLiteral("打印规格“%1”已经存在，要替换它吗？").arg(name)))
        return std::nullopt;
    return name;
}

void SettingsWindow::saveCurrentTemplate()
{
    QString name = m_state.loadedTemplateName;
    if (name.isEmpty()) {
        const std::optional<QString> asked = askNewTemplateName();
        if (!asked)
            return;
        name = *asked;
    }
    saveCurrentTemplateUnder(name);
}

void SettingsWindow::saveCurrentTemplateAs()
{
    if (const std::optional<QString> asked = askNewTemplateName())
        saveCurrentTemplateUnder(*asked);
}

void SettingsWindow::saveCurrentTemplateUnder(const QString& name)
{
    LayoutTemplate& t = m_state.currentTemplate;
    t.centred = m_centredRadio->isChecked() ? 1 : 0;
    t.landscape = m_landscapeRadio->isChecked() ? 1 : 0;
    t.noNumber = m_noNumberRadio->isChecked() ? 1 : 0;
    // With no number chosen, the inside/outside choice made before is kept.
    if (m_insideRadio->isChecked())
        t.numberInside = 1;
    else if (m_outsideRadio->isChecked())
        t.numberInside = 0;

    QString error;
    if (!saveTemplate(m_state, name, &error)) {
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QStringLiteral("打印规格“%1”没有保存。\n\n%2").arg(name, error),
                          QMessageBox::Critical);
        return;
    }
    t.name = name;
    m_state.templateModified = false;
    m_state.loadedTemplateName = name;
    fillTemplateList();
    Q_EMIT templateNameShown(name);
}

QString SettingsWindow::configuredDefaultName() const
{
    return readConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                          QString::fromUtf16(kConfigDefaultTemplateKey));
}

void SettingsWindow::setDefaultTemplate()
{
    const QString name = selectedTemplateName();
    if (name.isEmpty())
        return;
    // Written as it stands, such a name would be read back as another one.
    const QString problem = configValueProblem(name);
    if (!problem.isEmpty()) {
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QStringLiteral("“%1”不能设为默认排版：%2。请用“另存为…”换一个名称。")
                              .arg(name, problem),
                          QMessageBox::Critical);
        return;
    }
    QString why;
    if (!writeConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                         QString::fromUtf16(kConfigDefaultTemplateKey), name, &why)) {
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QStringLiteral("默认排版没有设置：无法写入配置文件。\n\n%1\n%2")
                              .arg(QDir::toNativeSeparators(m_state.configPath()), why),
                          QMessageBox::Critical);
        return;
    }
    Q_EMIT templateNameShown(name);
}

void SettingsWindow::deleteSelectedTemplate()
{
    const QString name = selectedTemplateName();
    if (name.isEmpty())
        return;
    const bool isDefault = configuredDefaultName() == name;
    const QString question =
        isDefault ? QStringLiteral("打印规格“%1”是默认排版，删除后下次启动时将没有排版。"
                                   "确定要删除吗？")
                        .arg(name)
                  : QStringLiteral("确定要删除打印规格“%1”吗？").arg(name);
    if (!dialogs().confirm(QStringLiteral("重要提示"), question))
        return;
    QString error;
    if (!deleteTemplate(m_state.storePath(), name, &error)) {
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QStringLiteral("打印规格“%1”没有删除。\n\n%2").arg(name, error),
                          QMessageBox::Critical);
        return;
    }
    // A later save must not silently bring the deleted row back.
    if (m_state.loadedTemplateName == name)
        m_state.loadedTemplateName.clear();
    fillTemplateList();
    // The default would name a template that is gone.
    if (isDefault && !writeConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                                      QString::fromUtf16(kConfigDefaultTemplateKey), QString()))
        dialogs().message(QString::fromUtf16(kErrorCaption),
                          QStringLiteral("默认排版没有清除：无法写入配置文件。\n\n%1")
                              .arg(QDir::toNativeSeparators(m_state.configPath())),
                          QMessageBox::Critical);
}

void SettingsWindow::openBatch()
{
    hide();
    dialogs().runBatch(m_state, this);
    // Showing draws the board from the current photo: the sample, not the
    // batch's last photo.
    m_state.currentPhotoPath = m_state.samplePhotoPath();
    show();
}

} // namespace vellora
