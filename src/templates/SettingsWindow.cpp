#include "templates/SettingsWindow.h"

#include "batch/BatchWindow.h"
#include "core/AppState.h"
#include "core/Config.h"
#include "core/DrawingSurface.h"
#include "core/TemplateValues.h"
#include "sheet/PictureHandle.h"
#include "sheet/SheetGeometry.h"
#include "sheet/SheetRenderer.h"
#include "sheet/TemplateStore.h"
#include "templates/TemplateQuery.h"

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

namespace vellora {

namespace {

const QString kInfoCaption = QStringLiteral("信息：");
const QString kErrorCaption = QStringLiteral("错误");

SettingsDialogs makeDefaultDialogs()
{
    SettingsDialogs d;
    d.message = [](const QString& caption, const QString& text, bool error) {
        QMessageBox box(error ? QMessageBox::Critical : QMessageBox::NoIcon, caption, text,
                        QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    };
    d.confirm = [](const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        box.setWindowModality(Qt::ApplicationModal);
        return box.exec() == QMessageBox::Yes;
    };
    d.askTemplateName = [](QWidget* parent) -> std::optional<QString> {
        bool ok = false;
        const QString name = QInputDialog::getText(parent, QStringLiteral("保存打印规格"),
                                                   QStringLiteral("打印规格名称："),
                                                   QLineEdit::Normal, QString(), &ok);
        if (!ok || name.trimmed().isEmpty())
            return std::nullopt;
        return name;
    };
    d.openLogoFile = [](QWidget* parent) {
        return QFileDialog::getOpenFileName(parent, QStringLiteral("打开标志图片"), QString(),
                                            QStringLiteral("图片文件（*.bmp） (*.bmp)"));
    };
    d.pickColour = [](QWidget* parent, const QColor& initial) {
        return QColorDialog::getColor(initial, parent);
    };
    d.runBatch = [](AppState& state, QWidget* owner) {
        BatchWindow window(state, owner);
        window.exec();
    };
    return d;
}

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

template <typename T, typename... Args>
T* place(QWidget* parent, const char16_t* name, int x, int y, int w, int h, Args&&... args)
{
    T* widget = new T(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromUtf16(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel* label(QWidget* parent, const char16_t* name, const char16_t* text, int x, int y, int w,
              int h)
{
    auto* l = place<QLabel>(parent, name, x, y, w, h, QString::fromUtf16(text));
    l->setAttribute(Qt::WA_TranslucentBackground);
    return l;
}

QGroupBox* group(QWidget* parent, const char16_t* name, const char16_t* title, int x, int y, int w,
                 int h)
{
    return place<QGroupBox>(parent, name, x, y, w, h, QString::fromUtf16(title));
}

// The design's count boxes are 33 pixels wide: narrow spin buttons leave the
// digits room.
class NarrowSpinStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                         const QWidget* widget) const override
    {
        if (control != CC_SpinBox)
            return QProxyStyle::subControlRect(control, option, sub, widget);
        constexpr int frame = 2;
        constexpr int button = 11;
        const QRect r = option->rect;
        const int inner = r.height() - 2 * frame;
        const int x = r.right() - frame - button + 1;
        switch (sub) {
        case SC_SpinBoxUp:
            return QRect(x, r.top() + frame, button, inner / 2);
        case SC_SpinBoxDown:
            return QRect(x, r.top() + frame + inner / 2, button, inner - inner / 2);
        case SC_SpinBoxEditField:
            return QRect(r.left() + frame, r.top() + frame, r.width() - 2 * frame - button, inner);
        default:
            return QProxyStyle::subControlRect(control, option, sub, widget);
        }
    }
};

// The tab strip of 高级选择夹1 is this high in the design positions of its pages.
constexpr int kDesignTabStrip = 24;

} // namespace

// ---------------------------------------------------------------------------
// ValueSpinBox

ValueSpinBox::ValueSpinBox(const ValueBoxRule& rule, QWidget* parent)
    : QAbstractSpinBox(parent), m_rule(rule)
{
    setObjectName(QString::fromUtf16(rule.objectName));
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(true);
    setAccelerated(false);
    lineEdit()->setText(QString::fromUtf16(rule.initialText));
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { Q_EMIT contentChanged(); });
}

QString ValueSpinBox::text() const
{
    return lineEdit()->text();
}

void ValueSpinBox::setSystemText(const QString& text)
{
    if (lineEdit()->text() == text)
        Q_EMIT contentChanged();
    else
        lineEdit()->setText(text);
}

void ValueSpinBox::stepBy(int steps)
{
    const int direction = steps > 0 ? 1 : -1;
    for (int i = 0; i < std::abs(steps); ++i)
        Q_EMIT spun(direction);
}

QValidator::State ValueSpinBox::validate(QString&, int&) const
{
    // Typing is filtered per key; the text itself is never judged.
    return QValidator::Acceptable;
}

void ValueSpinBox::fixup(QString&) const {}

QAbstractSpinBox::StepEnabled ValueSpinBox::stepEnabled() const
{
    if (isReadOnly())
        return StepNone;
    return StepUpEnabled | StepDownEnabled;
}

void ValueSpinBox::keyPressEvent(QKeyEvent* event)
{
    const QString typed = event->text();
    for (QChar c : typed) {
        if (!typedCharAccepted(c, m_rule.integerBox)) {
            event->accept();
            return;
        }
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void ValueSpinBox::inputMethodEvent(QInputMethodEvent* event)
{
    const QString commit = event->commitString();
    QString kept;
    for (QChar c : commit) {
        if (typedCharAccepted(c, m_rule.integerBox))
            kept.append(c);
    }
    if (kept == commit) {
        QAbstractSpinBox::inputMethodEvent(event);
        return;
    }
    QInputMethodEvent filtered(event->preeditString(), event->attributes());
    filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
    QAbstractSpinBox::inputMethodEvent(&filtered);
}

void ValueSpinBox::focusOutEvent(QFocusEvent* event)
{
    QAbstractSpinBox::focusOutEvent(event);
    if (!m_rule.integerBox)
        return;
    const QString normalised = normaliseIntegerText(lineEdit()->text());
    if (normalised != lineEdit()->text())
        lineEdit()->setText(normalised);
}

// ---------------------------------------------------------------------------
// ColourPickerButton

ColourPickerButton::ColourPickerButton(QWidget* parent) : QPushButton(parent)
{
    connect(this, &QPushButton::clicked, this, [this] {
        const QColor chosen = SettingsWindow::dialogs().pickColour(window(), m_colour);
        if (chosen.isValid())
            setColour(chosen);
    });
}

void ColourPickerButton::setColour(const QColor& colour)
{
    if (colour.rgb() == m_colour.rgb())
        return;
    m_colour = colour;
    update();
    Q_EMIT colourChanged(m_colour);
}

void ColourPickerButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    const QRect swatch = rect().adjusted(5, 5, -5, -5);
    QColor fill = m_colour;
    if (!isEnabled())
        fill.setAlpha(110);
    painter.fillRect(swatch, fill);
    painter.setPen(isEnabled() ? palette().color(QPalette::Dark)
                               : palette().color(QPalette::Disabled, QPalette::Dark));
    painter.drawRect(swatch.adjusted(0, 0, -1, -1));
}

// ---------------------------------------------------------------------------
// PreviewBoard

PreviewBoard::PreviewBoard(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(122, 150, 223));
    setPalette(p);
}

void PreviewBoard::showSheet(const QImage& sheet)
{
    m_sheet = sheet;
    rescale();
    update();
}

void PreviewBoard::rescale()
{
    const QRect inner = contentsRect();
    if (m_sheet.isNull()) {
        m_scaled = QImage();
        m_target = QRect();
        return;
    }
    const QRect fit = shrinkToFit(m_sheet.width(), m_sheet.height(), inner.width(), inner.height());
    m_target = fit.translated(inner.topLeft());
    if (fit.isEmpty())
        m_scaled = QImage();
    else if (fit.size() == m_sheet.size())
        m_scaled = m_sheet;
    else
        m_scaled = m_sheet.scaled(fit.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void PreviewBoard::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    rescale();
}

void PreviewBoard::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    if (m_scaled.isNull())
        return;
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawImage(m_target.topLeft(), m_scaled);
}

// ---------------------------------------------------------------------------
// SettingsWindow

SettingsDialogs& SettingsWindow::dialogs()
{
    static SettingsDialogs d = makeDefaultDialogs();
    return d;
}

void SettingsWindow::resetDialogs()
{
    dialogs() = makeDefaultDialogs();
}

SettingsWindow::SettingsWindow(AppState& state, QWidget* parent)
    : QWidget(parent, Qt::Window), m_state(state)
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

void SettingsWindow::buildControls()
{
    auto* spinStyle = new NarrowSpinStyle;
    spinStyle->setParent(this);
    auto box = [this, spinStyle](QWidget* parent, ValueBox which, int x, int y, int w, int h) {
        auto* b = new ValueSpinBox(valueBoxRule(which), parent);
        b->setStyle(spinStyle);
        b->setGeometry(x, y, w, h);
        m_boxes[static_cast<std::size_t>(which)] = b;
        return b;
    };

    label(this, u"透明标签1", u"已保存的打印规格", 16, 2, 328, 24);
    m_list = place<QListWidget>(this, u"打印规格列表框", 8, 23, 248, 81);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* saveAs = new QAction(QStringLiteral("另存为…"), m_list);
    saveAs->setObjectName(QStringLiteral("另存为"));
    m_list->addAction(saveAs);
    place<QPushButton>(this, u"设为默认按钮", 263, 23, 70, 25, QStringLiteral("设为默认"));
    place<QPushButton>(this, u"保存按钮", 263, 51, 70, 25, QStringLiteral("保 存"));
    place<QPushButton>(this, u"删除按钮", 263, 79, 70, 25, QStringLiteral("删 除"));

    m_tabs = place<QTabWidget>(this, u"高级选择夹1", 9, 109, 327, 501);
    auto* page1 = new QWidget;
    page1->setObjectName(QStringLiteral("照片尺寸设置页"));
    auto* page2 = new QWidget;
    page2->setObjectName(QStringLiteral("排版纸张设置页"));
    m_tabs->addTab(page1, QStringLiteral("照片尺寸设置"));
    m_tabs->addTab(page2, QStringLiteral("排版纸张设置"));
    const int top = kDesignTabStrip;

    // Page "照片尺寸设置".
    QGroupBox* g3 = group(page1, u"分组框3", u"", 0, 24 - top, 327, 380);
    QGroupBox* g2 = group(g3, u"输出尺寸一分组框2", u"输出尺寸一（单位：毫米） ", 8, 14, 311, 177);
    label(g2, u"透明标签4", u"高度", 24, 20, 32, 24);
    box(g2, ValueBox::Size1Height, 61, 20, 65, 24);
    label(g2, u"透明标签5", u"宽度", 169, 20, 32, 24);
    box(g2, ValueBox::Size1Width, 205, 20, 65, 24);
    label(g2, u"透明标签10", u"照片数量设置：", 10, 44, 100, 24);
    label(g2, u"透明标签11", u"横向张数", 24, 69, 58, 24);
    box(g2, ValueBox::Size1Across, 93, 69, 33, 24);
    label(g2, u"透明标签12", u"纵向张数", 169, 69, 58, 24);
    box(g2, ValueBox::Size1Down, 237, 69, 33, 24);
    label(g2, u"透明标签13", u"照片间距设置（单位：毫米）：", 10, 93, 203, 24);
    label(g2, u"透明标签14", u"横向距离", 24, 116, 58, 24);
    box(g2, ValueBox::Size1HDistance, 81, 116, 45, 24);
    label(g2, u"透明标签15", u"纵向距离", 169, 116, 58, 24);
    box(g2, ValueBox::Size1VDistance, 225, 116, 45, 24);
    label(g2, u"透明标签22", u"照片输出张数", 10, 149, 114, 22);
    box(g2, ValueBox::OutputCount, 104, 148, 33, 24);

    m_twoSizeCheck = place<QCheckBox>(g3, u"不同规格输出选择框", 16, 197, 167, 19,
                                      QStringLiteral("同底照片不同规格输出"));
    label(g3, u"透明标签23", u"间隔", 209, 197, 36, 24);
    box(g3, ValueBox::Gap, 245, 197, 45, 24);

    m_size2Group = group(g3, u"输出尺寸二分组框1", u"输出尺寸二（单位：毫米） ", 8, 222, 311, 148);
    QGroupBox* g1 = m_size2Group;
    label(g1, u"透明标签16", u"高度", 24, 20, 32, 24);
    box(g1, ValueBox::Size2Height, 61, 20, 65, 24);
    label(g1, u"透明标签17", u"宽度", 169, 20, 32, 24);
    box(g1, ValueBox::Size2Width, 205, 20, 65, 24);
    label(g1, u"透明标签9", u"照片数量设置：", 10, 44, 100, 24);
    label(g1, u"透明标签8", u"横向张数", 24, 69, 58, 24);
    box(g1, ValueBox::Size2Across, 93, 69, 33, 24);
    label(g1, u"透明标签7", u"纵向张数", 169, 69, 58, 24);
    box(g1, ValueBox::Size2Down, 237, 69, 33, 24);
    label(g1, u"透明标签2", u"照片间距设置（单位：毫米）：", 10, 93, 203, 24);
    label(g1, u"透明标签3", u"横向距离", 24, 116, 58, 24);
    box(g1, ValueBox::Size2HDistance, 93, 116, 33, 24);
    label(g1, u"透明标签6", u"纵向距离", 169, 116, 58, 24);
    box(g1, ValueBox::Size2VDistance, 237, 116, 33, 24);

    QGroupBox* g8 = group(page1, u"分组框8", u"打印位置", 0, 404 - top, 327, 97);
    m_centredRadio =
        place<QRadioButton>(g8, u"居中打印单选框", 19, 29, 80, 19, QStringLiteral("居中打印"));
    m_customRadio = place<QRadioButton>(g8, u"自定义位置打印单选框", 114, 29, 139, 19,
                                        QStringLiteral("自定义位置打印"));
    m_leftMarginLabel = label(g8, u"透明标签18", u"左边距", 34, 58, 58, 24);
    box(g8, ValueBox::LeftMargin, 83, 58, 52, 24);
    m_topMarginLabel = label(g8, u"透明标签19", u"顶边距", 179, 58, 58, 24);
    box(g8, ValueBox::TopMargin, 227, 58, 52, 24);

    // Page "排版纸张设置".
    QGroupBox* g7 = group(page2, u"分组框7", u"", 0, 25 - top, 327, 476);
    QGroupBox* g12 = group(g7, u"分组框12", u"纸张方向设置", 11, 35, 304, 58);
    m_landscapeRadio =
        place<QRadioButton>(g12, u"横向单选框", 40, 27, 80, 19, QStringLiteral(" 横 向"));
    m_portraitRadio =
        place<QRadioButton>(g12, u"纵向单选框", 188, 27, 80, 19, QStringLiteral(" 纵 向"));
    QGroupBox* gPaper = group(g7, u"分组框1", u"打印纸张尺寸设置（单位：毫米）", 11, 122, 304, 77);
    label(gPaper, u"透明标签20", u"高度", 21, 34, 32, 24);
    box(gPaper, ValueBox::PaperHeight, 58, 34, 65, 24);
    label(gPaper, u"透明标签21", u"宽度", 166, 34, 32, 24);
    box(gPaper, ValueBox::PaperWidth, 201, 34, 65, 24);
    QGroupBox* g11 = group(g7, u"分组框11", u"照片加印证件号码标志", 11, 231, 304, 186);
    QGroupBox* g10 = group(g11, u"分组框10", u"号码加印位置", 9, 26, 288, 56);
    m_numberColour = place<ColourPickerButton>(g10, u"颜色选择器1", 219, 21, 58, 26);
    m_insideRadio =
        place<QRadioButton>(g10, u"号码里面单选框", 19, 28, 80, 14, QStringLiteral("里面"));
    m_outsideRadio =
        place<QRadioButton>(g10, u"号码外面单选框", 83, 28, 61, 14, QStringLiteral("外面"));
    m_noNumberRadio =
        place<QRadioButton>(g10, u"号码不加印单选框", 144, 28, 68, 14, QStringLiteral("不加印"));
    QGroupBox* g9 = group(g11, u"分组框9", u"加印标志", 9, 90, 288, 89);
    m_logoPicture = place<QLabel>(g9, u"标志图片框1", 184, 9, 100, 77);
    m_logoPicture->setScaledContents(true);
    m_openLogoButton =
        place<QPushButton>(g9, u"打开标志按钮", 93, 18, 78, 38, QStringLiteral("导入标志"));
    m_logoCheck = place<QCheckBox>(g9, u"加标志选择框", 15, 27, 69, 21, QStringLiteral("加标志"));
    place<QPushButton>(g9, u"按钮1", 48, 67, 94, 17, QStringLiteral("标志图片要求"));
    m_frameColour = place<ColourPickerButton>(g7, u"边框线颜色选择器", 207, 433, 64, 32);
    m_frameCheck = place<QCheckBox>(g7, u"打印裁切线选择框", 35, 438, 127, 21,
                                    QStringLiteral("打印照片边框线"));

    // The preview and the renderer's two working surfaces, which live in
    // AppState; these placeholders only carry their names.
    m_board = place<PreviewBoard>(this, u"画板1", 344, 5, 516, 557);
    place<QWidget>(m_board, u"照片画板", 8, 8, 144, 176)->hide();
    place<QWidget>(m_board, u"实际画板", 368, 400, 112, 136)->hide();

    place<QPushButton>(this, u"导入底图按钮", 371, 568, 85, 40, QStringLiteral("导入底图"))->hide();
    place<QPushButton>(this, u"批量排版按钮", 488, 568, 85, 40, QStringLiteral("批量排版"));
    place<QPushButton>(this, u"取消按钮", 670, 568, 85, 40, QStringLiteral("完 成"));

    // Some design labels reach into the box beside them: a box is drawn, and
    // takes clicks, above any label.
    for (ValueSpinBox* b : m_boxes)
        b->raise();

    // Disabled until a rule enables them.
    m_size2Group->setEnabled(false);
    valueBox(ValueBox::Gap)->setEnabled(false);
    m_numberColour->setEnabled(false);
    m_frameColour->setEnabled(false);
    m_openLogoButton->setEnabled(false);
    setMarginsEnabled(false);
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
    connect(findChild<QPushButton*>(QStringLiteral("按钮1")), &QPushButton::clicked, this, [] {
        dialogs().message(
            kInfoCaption,
            QStringLiteral("注：请用其他作图软件按照输出照片的比例，制作一幅背景为纯白色，"
                           "添加需要的标志、文字到合适的地方，保存格式为“bmp” "
                           "图片导入即可。"),
            false);
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
// Templates: list, load, save, default, delete

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
        dialogs().message(kErrorCaption, QString::fromUtf16(kTemplateMissingMessage), true);
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
        dialogs().message(kErrorCaption,
                          QStringLiteral("不能用“%1”作为打印规格名称：%2。").arg(name, problem),
                          true);
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
        dialogs().message(kErrorCaption,
                          QStringLiteral("打印规格“%1”没有保存。\n\n%2").arg(name, error), true);
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
        dialogs().message(kErrorCaption,
                          QStringLiteral("“%1”不能设为默认排版：%2。请用“另存为…”换一个名称。")
                              .arg(name, problem),
                          true);
        return;
    }
    if (!writeConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                         QString::fromUtf16(kConfigDefaultTemplateKey), name)) {
        dialogs().message(kErrorCaption,
                          QStringLiteral("默认排版没有设置：无法写入配置文件。\n\n%1")
                              .arg(QDir::toNativeSeparators(m_state.configPath())),
                          true);
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
        dialogs().message(kErrorCaption,
                          QStringLiteral("打印规格“%1”没有删除。\n\n%2").arg(name, error), true);
        return;
    }
    // A later save must not silently bring the deleted row back.
    if (m_state.loadedTemplateName == name)
        m_state.loadedTemplateName.clear();
    fillTemplateList();
    // The default would name a template that is gone.
    if (isDefault && !writeConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                                      QString::fromUtf16(kConfigDefaultTemplateKey), QString()))
        dialogs().message(kErrorCaption,
                          QStringLiteral("默认排版没有清除：无法写入配置文件。\n\n%1")
                              .arg(QDir::toNativeSeparators(m_state.configPath())),
                          true);
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
            dialogs().message(kInfoCaption, QStringLiteral("输出张数不能超过整版设置的最大张数"),
                              false);
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
