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

namespace vellora {

// The control builder: every control of the window at its design position.

namespace {

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

void SettingsWindow::buildControls()
{
    // Asked at each click: the dialogs a test answers may change meanwhile.
    const ColourPickerButton::PickColour pickColour = [this](QWidget* parent,
                                                             const QColor& initial) {
        return dialogs().pickColour(parent, initial);
    };
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
    m_numberColour = place<ColourPickerButton>(g10, u"颜色选择器1", 219, 21, 58, 26, pickColour);
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
    m_frameColour =
        place<ColourPickerButton>(g7, u"边框线颜色选择器", 207, 433, 64, 32, pickColour);
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

} // namespace vellora
