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

// ---------------------------------------------------------------------------
// SettingsWindow

Dialogs SettingsWindow::dialogs() const
{
    static const Dialogs real = makeDefaultSettingsDialogs();
    Dialogs d = m_dialogs ? *m_dialogs : Dialogs();
    const auto fill = [](auto& injected, const auto& fallback) {
        if (!injected)
            injected = fallback;
    };
    fill(d.message, real.message);
    fill(d.confirm, real.confirm);
    fill(d.askTemplateName, real.askTemplateName);
    fill(d.openLogoFile, real.openLogoFile);
    fill(d.pickColour, real.pickColour);
    fill(d.runBatch, real.runBatch);
    return d;
}

SettingsWindow::SettingsWindow(AppState& state, QWidget* parent, DialogsPtr dialogs)
    : QWidget(parent, Qt::Window), m_state(state), m_dialogs(std::move(dialogs))
{
    setWindowTitle(QStringLiteral("证件照排版设置"));
    setFixedSize(870, 640);
    QFont f = font();
    f.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Serif CJK SC")});
    f.setPixelSize(12);
    setFont(f);

    // Group titles sit on the frame line, as the design positions assume:
    // controls 9 pixels below a group's top are inside its frame.
    setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 7px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 7px; top: 0px; padding: 0px 2px; }"));
    buildControls();
    connectRules();

    // Creation.
    m_state.templateLoading = false;
    m_state.templateModified = false;
    m_state.applyLoadedTemplate = [this](const LayoutTemplate& row) { applyLoadedRow(row); };
    PreviewBoard* board = m_board;
    m_state.views.showOnSettingsBoard = [board](const QImage& sheet) {
        if (QThread::currentThread() == board->thread()) {
            board->showSheet(sheet);
            return;
        }
        // A pass on another thread posts and never waits; the board outlives
        // the call only if it still exists when the event is delivered.
        QMetaObject::invokeMethod(
            board, [board, sheet] { board->showSheet(sheet); }, Qt::QueuedConnection);
    };

    const QString name = configuredDefaultName();
    fillTemplateList();
    if (!name.isEmpty())
        loadByName(name);
}

SettingsWindow::~SettingsWindow()
{
    // The state outlives the window in tests; leave no hook pointing here.
    m_state.applyLoadedTemplate = nullptr;
    m_state.views.showOnSettingsBoard = nullptr;
    m_state.windows.settingsShown = false;
}

ValueSpinBox* SettingsWindow::valueBox(ValueBox box) const
{
    return m_boxes[static_cast<std::size_t>(box)];
}

void SettingsWindow::connectRules()
{
    for (ValueSpinBox* b : m_boxes) {
        connect(b, &ValueSpinBox::contentChanged, this, [this, b] { onBoxChanged(b); });
        connect(b, &ValueSpinBox::spun, this, [this, b](int direction) { onSpin(b, direction); });
    }

    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] {
        const QString name = selectedTemplateName();
        if (name.isEmpty())
            return;
        // A failed load leaves the template that was loaded, and its highlight.
        if (!loadByName(name))
            highlightTemplate(m_state.loadedTemplateName);
        Q_EMIT templateNameShown(name);
    });
    connect(findChild<QPushButton*>(QStringLiteral("保存按钮")), &QPushButton::clicked, this,
            [this] { saveCurrentTemplate(); });
    connect(m_list->findChild<QAction*>(QStringLiteral("另存为")), &QAction::triggered, this,
            [this] { saveCurrentTemplateAs(); });
    connect(findChild<QPushButton*>(QStringLiteral("设为默认按钮")), &QPushButton::clicked, this,
            [this] { setDefaultTemplate(); });
    connect(findChild<QPushButton*>(QStringLiteral("删除按钮")), &QPushButton::clicked, this,
            [this] { deleteSelectedTemplate(); });
    connect(findChild<QPushButton*>(QStringLiteral("批量排版按钮")), &QPushButton::clicked, this,
            [this] { openBatch(); });
    connect(findChild<QPushButton*>(QStringLiteral("取消按钮")), &QPushButton::clicked, this,
            [this] { close(); });
    connect(findChild<QPushButton*>(QStringLiteral("按钮1")), &QPushButton::clicked, this, [this] {
        dialogs().message(
            QString::fromUtf16(kInfoCaption),
            QStringLiteral("注：请用其他作图软件按照输出照片的比例，制作一幅背景为纯白色，"
                           "添加需要的标志、文字到合适的地方，保存格式为“bmp” "
                           "图片导入即可。"),
            QMessageBox::NoIcon);
    });

    connect(m_twoSizeCheck, &QCheckBox::clicked, this, [this] { applyTwoSizeRule(); });
    connect(m_frameCheck, &QCheckBox::clicked, this, [this] { applyFrameLinesRule(); });
    connect(m_logoCheck, &QCheckBox::clicked, this, [this] { applyLogoRule(); });
    connect(m_openLogoButton, &QPushButton::clicked, this, [this] { importLogo(); });

    connect(m_frameColour, &ColourPickerButton::colourChanged, this, [this](const QColor& c) {
        if (m_state.templateLoading)
            return;
        m_state.currentTemplate.frameColour = colourToValue(c);
        redraw();
    });
    connect(m_numberColour, &ColourPickerButton::colourChanged, this, [this](const QColor& c) {
        if (m_state.templateLoading)
            return;
        m_state.currentTemplate.numberColour = colourToValue(c);
        redraw();
    });

    connect(m_centredRadio, &QRadioButton::clicked, this, [this] { applyCentredRule(); });
    connect(m_customRadio, &QRadioButton::clicked, this, [this] { applyCustomPositionRule(); });
    connect(m_landscapeRadio, &QRadioButton::clicked, this, [this] { applyOrientationRule(true); });
    connect(m_portraitRadio, &QRadioButton::clicked, this, [this] { applyOrientationRule(false); });
    connect(m_insideRadio, &QRadioButton::clicked, this,
            [this] { applyNumberRule(m_insideRadio); });
    connect(m_outsideRadio, &QRadioButton::clicked, this,
            [this] { applyNumberRule(m_outsideRadio); });
    connect(m_noNumberRadio, &QRadioButton::clicked, this,
            [this] { applyNumberRule(m_noNumberRadio); });

    // The renderer reads these two radio boxes from any thread.
    connect(m_centredRadio, &QRadioButton::toggled, this,
            [this](bool on) { m_state.windows.centredChecked = on; });
    connect(m_outsideRadio, &QRadioButton::toggled, this,
            [this](bool on) { m_state.windows.numberOutsideChecked = on; });
    m_state.windows.centredChecked = m_centredRadio->isChecked();
    m_state.windows.numberOutsideChecked = m_outsideRadio->isChecked();
}

// ---------------------------------------------------------------------------
// Window life cycle

void SettingsWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (m_state.templateModified)
        saveCurrentTemplate();
    m_state.currentPhotoPath = m_state.monitorFolder;
    hide();
    Q_EMIT closedToMain();
}

void SettingsWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    m_state.windows.settingsShown = true;
    // A template loaded while the window was hidden drew no preview: draw the
    // sample sheet now so the board never opens empty. Showing is not an
    // edit, so it must not make the next close save.
    if (!m_state.templateLoading) {
        const bool modified = m_state.templateModified;
        layOutCurrentPhoto(m_state);
        m_state.templateModified = modified;
    }
}

void SettingsWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    // Minimising is not hiding: the window is still the one in use.
    if (!event->spontaneous())
        m_state.windows.settingsShown = false;
}

// ---------------------------------------------------------------------------
// Editing rules

void SettingsWindow::redraw()
{
    if (!m_state.templateLoading)
        layOutCurrentPhoto(m_state);
}

void SettingsWindow::resizeSheetSurface()
{
    std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
    m_state.sheetSurface.resize(m_state.currentTemplate.paperWidth,
                                m_state.currentTemplate.paperHeight);
}

void SettingsWindow::onBoxChanged(ValueSpinBox* box)
{
    const ValueBoxRule& rule = box->rule();
    const bool loading = m_state.templateLoading;
    if (rule.ignoredWhileLoading && loading)
        return;
    LayoutTemplate& t = m_state.currentTemplate;
    valueBoxField(t, rule.box) = valueFromBoxText(rule, box->text());
    if (rule.box == ValueBox::PaperHeight || rule.box == ValueBox::PaperWidth)
        resizeSheetSurface();
    if (rule.box == ValueBox::OutputCount) {
        if (loading)
            return;
        if (const auto capped =
                cappedOutputCount(t.outputCount, t.size1.countAcross, t.size1.countDown)) {
            dialogs().message(QString::fromUtf16(kInfoCaption),
                              QStringLiteral("输出张数不能超过整版设置的最大张数"),
                              QMessageBox::NoIcon);
            t.outputCount = *capped;
            // Runs this rule again, now within the limit, and redraws there.
            box->setSystemText(formatCount(*capped));
            return;
        }
    }
    redraw();
}

void SettingsWindow::onSpin(ValueSpinBox* box, int direction)
{
    box->setSystemText(spunText(box->text(), direction, box->rule().integerBox));
}

void SettingsWindow::applyTwoSizeRule()
{
    const bool on = m_twoSizeCheck->isChecked();
    m_size2Group->setEnabled(on);
    valueBox(ValueBox::Gap)->setEnabled(on);
    m_state.currentTemplate.twoSize = on ? 1 : 0;
    valueBox(ValueBox::OutputCount)->setEnabled(!on);
    redraw();
}

void SettingsWindow::applyFrameLinesRule()
{
    const bool on = m_frameCheck->isChecked();
    m_frameColour->setEnabled(on);
    m_state.currentTemplate.frameLines = on ? 1 : 0;
    if (m_state.templateLoading)
        return;
    m_state.currentTemplate.frameColour = colourToValue(m_frameColour->colour());
    redraw();
}

void SettingsWindow::setMarginsEnabled(bool enabled)
{
    valueBox(ValueBox::LeftMargin)->setEnabled(enabled);
    valueBox(ValueBox::TopMargin)->setEnabled(enabled);
    m_leftMarginLabel->setEnabled(enabled);
    m_topMarginLabel->setEnabled(enabled);
}

void SettingsWindow::applyCentredRule()
{
    valueBox(ValueBox::LeftMargin)->setSystemText(QString());
    valueBox(ValueBox::TopMargin)->setSystemText(QString());
    setMarginsEnabled(false);
    if (m_state.templateLoading)
        return;
    computeCentredMargins(m_state.currentTemplate, m_centredRadio->isChecked(),
                          m_outsideRadio->isChecked());
    redraw();
}

void SettingsWindow::applyCustomPositionRule()
{
    setMarginsEnabled(true);
    valueBox(ValueBox::LeftMargin)->setSystemText(QStringLiteral("1"));
    valueBox(ValueBox::TopMargin)->setSystemText(QStringLiteral("1"));
}

void SettingsWindow::applyOrientationRule(bool landscape)
{
    ValueSpinBox* heightBox = valueBox(ValueBox::PaperHeight);
    ValueSpinBox* widthBox = valueBox(ValueBox::PaperWidth);
    const QString heightText = heightBox->text();
    const QString widthText = widthBox->text();
    if (!orientationSwapNeeded(parseTypedNumber(widthText), parseTypedNumber(heightText),
                               landscape))
        return;
    heightBox->setSystemText(widthText);
    widthBox->setSystemText(heightText);
    m_state.currentTemplate.landscape = landscape ? 1 : 0;
    redraw();
}

void SettingsWindow::applyNumberRule(QRadioButton* chosen)
{
    if (m_state.templateLoading)
        return;
    LayoutTemplate& t = m_state.currentTemplate;
    if (chosen == m_noNumberRadio) {
        t.noNumber = 1;
        m_numberColour->setEnabled(false);
    } else {
        t.numberInside = chosen == m_insideRadio ? 1 : 0;
        t.noNumber = 0;
        m_numberColour->setEnabled(true);
    }
    redraw();
}

void SettingsWindow::showLogo()
{
    // Shown as the layout pass will draw it: through the same reader.
    QPixmap picture;
    if (m_state.currentTemplate.logo != 0 && !m_state.currentTemplate.logoPicture.isEmpty())
        picture = QPixmap::fromImage(
            PictureHandle::fromBytes(m_state.currentTemplate.logoPicture).image());
    if (picture.isNull())
        m_logoPicture->clear();
    else
        m_logoPicture->setPixmap(picture);
}

void SettingsWindow::applyLogoRule()
{
    LayoutTemplate& t = m_state.currentTemplate;
    if (!m_logoCheck->isChecked()) {
        t.logoPicture.clear();
        t.logo = 0;
        m_openLogoButton->setEnabled(false);
    } else {
        t.logo = 1;
        m_openLogoButton->setEnabled(true);
    }
    showLogo();
}

void SettingsWindow::importLogo()
{
    const QString path = dialogs().openLogoFile(this);
    if (path.isEmpty())
        return;
    QByteArray bytes;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    m_state.currentTemplate.logoPicture = bytes;
    showLogo();
    redraw();
}

} // namespace vellora
