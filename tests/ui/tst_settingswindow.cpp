#include "core/AppState.h"
#include "core/Config.h"
#include "core/DrawingSurface.h"
#include "core/TemplateValues.h"
#include "sheet/SheetRenderer.h"
#include "sheet/TemplateLoader.h"
#include "testutils.h"
#include "ui/SettingsWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

using namespace vellora;
using vellora::test::TempProgramFolder;

namespace {

struct Message
{
    QString caption;
    QString text;
    bool error;
};

// A 35.5 × 25 mm photo, 2 across and 3 down on 89 × 127 mm paper, number
// outside, frame lines, custom margins.
LayoutTemplate makeTemplate(const QString& name)
{
    LayoutTemplate t;
    t.name = name;
    t.size1 = {355, 250, 2, 3, 20, 20};
    t.outputCount = 6;
    t.gap = 30;
    t.size2 = {450, 350, 1, 1, 0, 0};
    t.paperHeight = 1270;
    t.paperWidth = 890;
    t.numberColour = 0x0000FF;
    t.frameLines = 1;
    t.frameColour = 0x00FF00;
    t.leftMargin = 30;
    t.topMargin = 45;
    return t;
}

bool storeTemplate(const QString& folder, const LayoutTemplate& t)
{
    AppState s;
    s.programFolder = folder;
    s.currentTemplate = t;
    QString error;
    const bool ok = saveTemplate(s, t.name, &error);
    if (!ok)
        qWarning() << "saveTemplate:" << error;
    return ok;
}

// The row as another program run would load it, without any window.
LayoutTemplate readBack(const QString& folder, const QString& name)
{
    AppState s;
    s.programFolder = folder;
    s.fatalError = [](int code, const QString& message) {
        qWarning() << "fatal" << code << message;
    };
    if (!loadTemplateByName(s, name))
        return {};
    return s.currentTemplate;
}

void setDefaultName(const QString& folder, const QString& name)
{
    QVERIFY(writeConfigText(QDir(folder).filePath(QStringLiteral("配置.ini")),
                            QString::fromUtf16(kConfigSection),
                            QString::fromUtf16(kConfigDefaultTemplateKey), name));
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void controlsAtCreation();
    void startupLoadsDefaultTemplate();
    void startupWithUnknownName();
    void centredAndCustomLoads();
    void selectingRowLoadsAndNamesIt();
    void everyShippedTemplateLoads();

    void typedValuesStore();
    void integerBoxLeftNormalised();
    void spinButtons();
    void outputCountCap();
    void paperOrientation();
    void printPosition();
    void numberPosition();
    void logo();
    void twoSizesAndFrame();

    void closeWithoutChangeDoesNotSave();
    void editMakesCloseSave();
    void saveAsksNameAndRoundTrips();
    void defaultAndDelete();
    void batchHidesAndComesBack();
    void boardShowsPreview();

private:
    SettingsWindow* makeWindow();
    void showWindow();
    ValueSpinBox* box(ValueBox which) const { return m_window->valueBox(which); }
    template <typename T> T* control(const char16_t* name) const
    {
        T* c = m_window->findChild<T*>(QString::fromUtf16(name));
        if (!c)
            qFatal("no control %s", qPrintable(QString::fromUtf16(name)));
        return c;
    }
    void type(ValueSpinBox* b, const QString& text);
    void leave(ValueSpinBox* b);

    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<AppState> m_state;
    DialogsPtr m_dialogs;
    std::unique_ptr<SettingsWindow> m_window;
    QList<Message> m_messages;
    QStringList m_confirmed;
    std::optional<QString> m_nameAnswer;
    bool m_confirmAnswer = true;
    QString m_logoFile;
    QColor m_colourAnswer;
    int m_batchRuns = 0;
    bool m_hiddenDuringBatch = false;
    QList<int> m_fatal;
};

void TestSettingsWindow::init()
{
    m_folder = std::make_unique<TempProgramFolder>();
    QVERIFY(m_folder->isValid());
    m_state = std::make_unique<AppState>();
    m_state->programFolder = m_folder->path();
    m_state->fatalError = [this](int code, const QString&) { m_fatal.append(code); };
    m_messages.clear();
    m_confirmed.clear();
    m_nameAnswer.reset();
    m_confirmAnswer = true;
    m_batchRuns = 0;
    m_fatal.clear();

    m_dialogs = std::make_shared<Dialogs>();
    Dialogs& d = *m_dialogs;
    d.message = [this](const QString& caption, const QString& text, QMessageBox::Icon icon) {
        m_messages.append({caption, text, icon == QMessageBox::Critical});
    };
    d.confirm = [this](const QString&, const QString& text) {
        m_confirmed.append(text);
        return m_confirmAnswer;
    };
    d.askTemplateName = [this](QWidget*) { return m_nameAnswer; };
    d.openLogoFile = [this](QWidget*) { return m_logoFile; };
    d.pickColour = [this](QWidget*, const QColor&) { return m_colourAnswer; };
    d.runBatch = [this](AppState&, QWidget* owner) {
        ++m_batchRuns;
        m_hiddenDuringBatch = !owner->isVisible() && !m_state->windows.settingsShown;
    };
}

void TestSettingsWindow::cleanup()
{
    m_window.reset();
    m_state.reset();
    m_folder.reset();
    m_dialogs.reset();
    QVERIFY(m_fatal.isEmpty());
}

SettingsWindow* TestSettingsWindow::makeWindow()
{
    m_window = std::make_unique<SettingsWindow>(*m_state, nullptr, m_dialogs);
    return m_window.get();
}

void TestSettingsWindow::showWindow()
{
    m_state->currentPhotoPath = m_state->samplePhotoPath();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void TestSettingsWindow::type(ValueSpinBox* b, const QString& text)
{
    b->setFocus();
    b->editor()->selectAll();
    QTest::keyClick(b, Qt::Key_Backspace);
    QTest::keyClicks(b, text);
}

void TestSettingsWindow::leave(ValueSpinBox* b)
{
    QVERIFY(b->hasFocus());
    control<QListWidget>(u"打印规格列表框")->setFocus();
    QVERIFY(!b->hasFocus());
}

// ---------------------------------------------------------------------------

void TestSettingsWindow::controlsAtCreation()
{
    makeWindow();
    QCOMPARE(m_window->windowTitle(), QStringLiteral("证件照排版设置"));
    QCOMPARE(m_window->size(), QSize(870, 640));
    QVERIFY(!m_window->isVisible());

    // Nesting and design positions of a few controls on both pages.
    auto* tabs = control<QTabWidget>(u"高级选择夹1");
    QCOMPARE(tabs->geometry(), QRect(9, 109, 327, 501));
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("照片尺寸设置"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("排版纸张设置"));
    auto* size1 = control<QGroupBox>(u"输出尺寸一分组框2");
    QCOMPARE(size1->parentWidget(), control<QGroupBox>(u"分组框3"));
    QCOMPARE(box(ValueBox::Size1Height)->parentWidget(), size1);
    QCOMPARE(box(ValueBox::Size1Height)->geometry(), QRect(61, 20, 65, 24));
    QCOMPARE(box(ValueBox::Size2HDistance)->geometry(), QRect(93, 116, 33, 24));
    QCOMPARE(control<QGroupBox>(u"分组框10")->parentWidget(), control<QGroupBox>(u"分组框11"));
    QCOMPARE(control<QGroupBox>(u"分组框11")->parentWidget(), control<QGroupBox>(u"分组框7"));
    QCOMPARE(control<QLabel>(u"标志图片框1")->parentWidget(), control<QGroupBox>(u"分组框9"));
    QCOMPARE(tabs->widget(0), control<QGroupBox>(u"分组框8")->parentWidget());
    QCOMPARE(tabs->widget(1), control<QGroupBox>(u"分组框7")->parentWidget());
    QCOMPARE(control<QPushButton>(u"取消按钮")->text(), QStringLiteral("完 成"));
    QCOMPARE(control<QPushButton>(u"保存按钮")->text(), QStringLiteral("保 存"));
    QVERIFY(control<QPushButton>(u"导入底图按钮")->isHidden());
    QVERIFY(control<QWidget>(u"照片画板")->isHidden());
    QCOMPARE(control<QWidget>(u"实际画板")->parentWidget(), control<QWidget>(u"画板1"));

    // Initial texts, none of them in the template.
    const QStringList texts = {QStringLiteral("35"),
                               QStringLiteral("25"),
                               QStringLiteral("1"),
                               QStringLiteral("1"),
                               QStringLiteral("0"),
                               QStringLiteral("0"),
                               QStringLiteral("1"),
                               QStringLiteral("0"),
                               QStringLiteral("50"),
                               QStringLiteral("35"),
                               QStringLiteral("1"),
                               QStringLiteral("1"),
                               QStringLiteral("0"),
                               QStringLiteral("0"),
                               QStringLiteral("127"),
                               QStringLiteral("89"),
                               QString(),
                               QString()};
    for (int i = 0; i < kValueBoxCount; ++i)
        QCOMPARE(box(ValueBox(i))->text(), texts[i]);
    QCOMPARE(m_state->currentTemplate, LayoutTemplate());

    // Disabled until a rule enables them.
    for (const char16_t* name :
         {u"输出尺寸二分组框1", u"间隔编辑框", u"颜色选择器1", u"边框线颜色选择器", u"打开标志按钮",
          u"打印左边距编辑框", u"打印顶边距编辑框", u"透明标签18", u"透明标签19"})
        QVERIFY2(!control<QWidget>(name)->isEnabled(), qPrintable(QString::fromUtf16(name)));
    QVERIFY(!box(ValueBox::Size2Width)->isEnabled());
    for (const char16_t* name : {u"尺寸1高度编辑框", u"尺寸1输出张数编辑框", u"纸宽度编辑框",
                                 u"加标志选择框", u"保存按钮", u"批量排版按钮"})
        QVERIFY2(control<QWidget>(name)->isEnabled(), qPrintable(QString::fromUtf16(name)));
    QVERIFY(m_messages.isEmpty());
    QVERIFY(m_state->applyLoadedTemplate);
    QVERIFY(m_state->views.showOnSettingsBoard);

    // No label lies over a box's text: a click there reaches the box.
    showWindow();
    for (ValueSpinBox* b : m_window->findChildren<ValueSpinBox*>()) {
        const QPoint text = b->mapTo(b->parentWidget(), b->editor()->geometry().center());
        QWidget* hit = b->parentWidget()->childAt(text);
        QVERIFY2(hit == b || b->isAncestorOf(hit), qPrintable(b->objectName()));
    }

    // The hooks go with the window.
    m_window.reset();
    QVERIFY(!m_state->applyLoadedTemplate);
    QVERIFY(!m_state->views.showOnSettingsBoard);
}

void TestSettingsWindow::startupLoadsDefaultTemplate()
{
    LayoutTemplate stored = makeTemplate(QStringLiteral("一寸"));
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("其他"))));
    QVERIFY(storeTemplate(m_folder->path(), stored));
    setDefaultName(m_folder->path(), stored.name);
    m_state->templateModified = true;

    makeWindow();
    QVERIFY(m_messages.isEmpty());
    QCOMPARE(m_state->currentTemplate, stored);
    QCOMPARE(m_state->loadedTemplateName, stored.name);
    QVERIFY(!m_state->templateModified);
    QVERIFY(!m_state->templateLoading);

    // The list shows which template is being edited.
    auto* list = control<QListWidget>(u"打印规格列表框");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(1)->text(), stored.name);
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(1)});

    QCOMPARE(box(ValueBox::Size1Height)->text(), QStringLiteral("35.5"));
    QCOMPARE(box(ValueBox::Size1Width)->text(), QStringLiteral("25"));
    QCOMPARE(box(ValueBox::Size1Across)->text(), QStringLiteral("2"));
    QCOMPARE(box(ValueBox::Size1Down)->text(), QStringLiteral("3"));
    QCOMPARE(box(ValueBox::Size1HDistance)->text(), QStringLiteral("2"));
    QCOMPARE(box(ValueBox::OutputCount)->text(), QStringLiteral("6"));
    QCOMPARE(box(ValueBox::Gap)->text(), QStringLiteral("3"));
    QCOMPARE(box(ValueBox::Size2Height)->text(), QStringLiteral("45"));
    QCOMPARE(box(ValueBox::PaperHeight)->text(), QStringLiteral("127"));
    QCOMPARE(box(ValueBox::PaperWidth)->text(), QStringLiteral("89"));
    QCOMPARE(box(ValueBox::LeftMargin)->text(), QStringLiteral("3"));
    QCOMPARE(box(ValueBox::TopMargin)->text(), QStringLiteral("4.5"));

    // The sheet surface is the paper; radio boxes and the flags the renderer
    // reads agree.
    QCOMPARE(m_state->sheetSurface.width(), 890);
    QCOMPARE(m_state->sheetSurface.height(), 1270);
    QVERIFY(control<QRadioButton>(u"自定义位置打印单选框")->isChecked());
    QVERIFY(!control<QRadioButton>(u"居中打印单选框")->isChecked());
    QVERIFY(control<QRadioButton>(u"纵向单选框")->isChecked());
    QVERIFY(control<QRadioButton>(u"号码外面单选框")->isChecked());
    QVERIFY(m_state->windows.numberOutsideChecked);
    QVERIFY(!m_state->windows.centredChecked);
    QVERIFY(control<QWidget>(u"颜色选择器1")->isEnabled());
    QVERIFY(control<QCheckBox>(u"打印裁切线选择框")->isChecked());
    QVERIFY(control<QWidget>(u"边框线颜色选择器")->isEnabled());
    QCOMPARE(control<ColourPickerButton>(u"边框线颜色选择器")->colour(), QColor(0, 255, 0));
    QCOMPARE(control<ColourPickerButton>(u"颜色选择器1")->colour(), QColor(255, 0, 0));
    QVERIFY(box(ValueBox::LeftMargin)->isEnabled());
}

void TestSettingsWindow::startupWithUnknownName()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("不存在"));
    makeWindow();
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(m_messages[0].text, QStringLiteral("排版设置错误，请重新设置"));
    QVERIFY(m_messages[0].error);
    QCOMPARE(m_state->currentTemplate, LayoutTemplate());
    QCOMPARE(box(ValueBox::Size1Height)->text(), QStringLiteral("35"));
    QVERIFY(!m_state->templateLoading);
    QCOMPARE(control<QListWidget>(u"打印规格列表框")->count(), 1);

    // A later failing load leaves a loaded template and its boxes alone.
    control<QListWidget>(u"打印规格列表框")->setCurrentRow(0);
    const LayoutTemplate loaded = m_state->currentTemplate;
    QCOMPARE(loaded.size1.height, 355);
    QVERIFY(QFile::remove(m_state->storePath()));
    auto* list = control<QListWidget>(u"打印规格列表框");
    list->clearSelection();
    list->setCurrentRow(0);
    QCOMPARE(m_messages.size(), 2);
    QCOMPARE(m_state->currentTemplate, loaded);
    QCOMPARE(box(ValueBox::Size1Height)->text(), QStringLiteral("35.5"));
}

void TestSettingsWindow::centredAndCustomLoads()
{
    LayoutTemplate centred = makeTemplate(QStringLiteral("居中"));
    centred.centred = 1;
    centred.leftMargin = 50;
    centred.topMargin = 60;
    LayoutTemplate custom = makeTemplate(QStringLiteral("自定义"));
    QVERIFY(storeTemplate(m_folder->path(), centred));
    QVERIFY(storeTemplate(m_folder->path(), custom));
    makeWindow();
    auto* list = control<QListWidget>(u"打印规格列表框");

    // Loaded while hidden: the stored margins stay for printing.
    list->setCurrentRow(0);
    QVERIFY(m_state->windows.centredChecked);
    QCOMPARE(box(ValueBox::LeftMargin)->text(), QString());
    QCOMPARE(box(ValueBox::TopMargin)->text(), QString());
    QVERIFY(!box(ValueBox::LeftMargin)->isEnabled());
    QVERIFY(!box(ValueBox::TopMargin)->isEnabled());
    QVERIFY(!control<QWidget>(u"透明标签18")->isEnabled());
    QCOMPARE(m_state->currentTemplate.leftMargin, 50);
    QCOMPARE(m_state->currentTemplate.topMargin, 60);

    // A redraw while shown centres the block.
    showWindow();
    QTest::keyClick(box(ValueBox::Size1Width), Qt::Key_Up);
    QCOMPARE(box(ValueBox::Size1Width)->text(), QStringLiteral("26"));
    // Two 26 mm photos 2 mm apart across 89 mm; three 35.5 mm photos 2 mm apart
    // down 127 mm, each with its 3 mm number row below it.
    QCOMPARE(m_state->currentTemplate.leftMargin, 175);
    QCOMPARE(m_state->currentTemplate.topMargin, 37);

    // The custom template shows its margins, enabled.
    list->setCurrentRow(1);
    QVERIFY(!m_state->windows.centredChecked);
    QVERIFY(control<QRadioButton>(u"自定义位置打印单选框")->isChecked());
    QVERIFY(!control<QRadioButton>(u"居中打印单选框")->isChecked());
    QCOMPARE(box(ValueBox::LeftMargin)->text(), QStringLiteral("3"));
    QCOMPARE(box(ValueBox::TopMargin)->text(), QStringLiteral("4.5"));
    QVERIFY(box(ValueBox::LeftMargin)->isEnabled());
    QCOMPARE(m_state->currentTemplate.leftMargin, 30);
    QCOMPARE(m_state->currentTemplate.topMargin, 45);
    QVERIFY(!m_state->templateModified);

    // And back to the centred one: exactly one of the pair is checked.
    list->setCurrentRow(0);
    QVERIFY(control<QRadioButton>(u"居中打印单选框")->isChecked());
    QVERIFY(!control<QRadioButton>(u"自定义位置打印单选框")->isChecked());
}

void TestSettingsWindow::selectingRowLoadsAndNamesIt()
{
    LayoutTemplate a = makeTemplate(QStringLiteral("A"));
    LayoutTemplate b = makeTemplate(QStringLiteral("B"));
    b.size1.height = 480;
    b.landscape = 1;
    b.paperHeight = 1020;
    b.paperWidth = 1520;
    b.noNumber = 1;
    b.numberInside = 1;
    b.frameLines = 0;
    QVERIFY(storeTemplate(m_folder->path(), a));
    QVERIFY(storeTemplate(m_folder->path(), b));
    makeWindow();
    QSignalSpy shown(m_window.get(), &SettingsWindow::templateNameShown);
    control<QListWidget>(u"打印规格列表框")->setCurrentRow(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0][0].toString(), QStringLiteral("B"));
    QCOMPARE(m_state->currentTemplate, b);
    QCOMPARE(box(ValueBox::Size1Height)->text(), QStringLiteral("48"));
    QVERIFY(control<QRadioButton>(u"横向单选框")->isChecked());
    QVERIFY(!control<QRadioButton>(u"纵向单选框")->isChecked());
    QVERIFY(control<QRadioButton>(u"号码不加印单选框")->isChecked());
    QVERIFY(!control<QRadioButton>(u"号码里面单选框")->isChecked());
    QVERIFY(!control<QWidget>(u"颜色选择器1")->isEnabled());
    QVERIFY(!m_state->windows.numberOutsideChecked);
    QVERIFY(!control<QWidget>(u"边框线颜色选择器")->isEnabled());
    QCOMPARE(m_state->sheetSurface.width(), 1520);
    QCOMPARE(m_state->sheetSurface.height(), 1020);

    auto* list = control<QListWidget>(u"打印规格列表框");
    list->setCurrentRow(0);
    QCOMPARE(m_state->currentTemplate, a);
    QVERIFY(control<QRadioButton>(u"纵向单选框")->isChecked());
    QVERIFY(!control<QRadioButton>(u"横向单选框")->isChecked());
    QVERIFY(m_state->windows.numberOutsideChecked);
    QVERIFY(m_messages.isEmpty());

    // A load from another window's list moves the highlight, quietly.
    QVERIFY(loadTemplateByName(*m_state, QStringLiteral("B")));
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(1)});
    QCOMPARE(shown.size(), 2);
    // A failed load leaves the highlight on the template still loaded.
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("C"))));
    list->addItem(QStringLiteral("不存在"));
    list->setCurrentRow(2);
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(1)});
}

void TestSettingsWindow::everyShippedTemplateLoads()
{
    const QString shipped = QDir(test::builtProgramFolder()).filePath(QStringLiteral("sj.edb"));
    if (!QFileInfo::exists(shipped))
        QSKIP("the shipped sj.edb has not been built");
    QVERIFY(QFile::copy(shipped, m_state->storePath()));
    makeWindow();
    auto* list = control<QListWidget>(u"打印规格列表框");
    QVERIFY(list->count() > 0);
    showWindow();
    for (int row = 0; row < list->count(); ++row) {
        const QString name = list->item(row)->text();
        list->setCurrentRow(row);
        QVERIFY2(m_messages.isEmpty(), qPrintable(name));
        QCOMPARE(m_state->loadedTemplateName, name);
        const LayoutTemplate& t = m_state->currentTemplate;
        // Every box but the centred margins shows what the template holds.
        for (const ValueBoxRule& rule : kValueBoxRules) {
            const bool margin = rule.box == ValueBox::LeftMargin || rule.box == ValueBox::TopMargin;
            if (margin && m_state->windows.centredChecked)
                QCOMPARE(box(rule.box)->text(), QString());
            else
                QCOMPARE(valueFromBoxText(rule, box(rule.box)->text()),
                         valueBoxField(m_state->currentTemplate, rule.box));
        }
        QCOMPARE(m_state->windows.numberOutsideChecked.load(), t.numberOutside());
        QCOMPARE(m_state->sheetSurface.width(), t.paperWidth);
        QCOMPARE(m_state->sheetSurface.height(), t.paperHeight);
        QCOMPARE(control<PreviewBoard>(u"画板1")->sheet().size(),
                 QSize(t.paperWidth, t.paperHeight));
    }
}

// ---------------------------------------------------------------------------
// Editing rules through the controls

void TestSettingsWindow::typedValuesStore()
{
    makeWindow();
    showWindow();
    type(box(ValueBox::Size1HDistance), QStringLiteral("2.5"));
    QCOMPARE(box(ValueBox::Size1HDistance)->text(), QStringLiteral("2.5"));
    QCOMPARE(m_state->currentTemplate.size1.hDistance, 25);
    QVERIFY(m_state->templateModified); // redrawn

    // No point in an integer box.
    type(box(ValueBox::Size1Height), QStringLiteral("3.5"));
    QCOMPARE(box(ValueBox::Size1Height)->text(), QStringLiteral("35"));
    QCOMPARE(m_state->currentTemplate.size1.height, 350);
    type(box(ValueBox::Size1Across), QStringLiteral("+2a"));
    QCOMPARE(box(ValueBox::Size1Across)->text(), QStringLiteral("2"));
    QCOMPARE(m_state->currentTemplate.size1.countAcross, 2);

    // Paper boxes size the sheet surface.
    type(box(ValueBox::PaperWidth), QStringLiteral("152"));
    QCOMPARE(m_state->currentTemplate.paperWidth, 1520);
    type(box(ValueBox::PaperHeight), QStringLiteral("102"));
    QCOMPARE(m_state->currentTemplate.paperHeight, 1020);
    QCOMPARE(m_state->sheetSurface.width(), 1520);
    QCOMPARE(m_state->sheetSurface.height(), 1020);

    // Margins are decimal boxes; they take typing once a custom position is chosen.
    type(box(ValueBox::TopMargin), QStringLiteral("7"));
    QCOMPARE(box(ValueBox::TopMargin)->text(), QString());
    control<QRadioButton>(u"自定义位置打印单选框")->click();
    type(box(ValueBox::TopMargin), QStringLiteral("-1.25"));
    QCOMPARE(m_state->currentTemplate.topMargin, -12);
    QVERIFY(m_messages.isEmpty());
}

void TestSettingsWindow::integerBoxLeftNormalised()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("一寸"));
    makeWindow();
    showWindow();
    ValueSpinBox* height = box(ValueBox::Size1Height);
    QCOMPARE(height->text(), QStringLiteral("35.5"));
    QCOMPARE(m_state->currentTemplate.size1.height, 355);
    height->setFocus();
    leave(height);
    QCOMPARE(height->text(), QStringLiteral("35"));
    QCOMPARE(m_state->currentTemplate.size1.height, 350);
    QVERIFY(m_state->templateModified);

    // Leaving a box without a change to make raises nothing.
    m_state->templateModified = false;
    height->setFocus();
    leave(height);
    QVERIFY(!m_state->templateModified);

    ValueSpinBox* across = box(ValueBox::Size1Across);
    type(across, QStringLiteral("0"));
    leave(across);
    QCOMPARE(across->text(), QString());
    QCOMPARE(m_state->currentTemplate.size1.countAcross, 0);

    type(box(ValueBox::Size1Down), QStringLiteral("40000"));
    QCOMPARE(m_state->currentTemplate.size1.countDown, 40000);
    leave(box(ValueBox::Size1Down));
    QCOMPARE(box(ValueBox::Size1Down)->text(), QStringLiteral("32767"));
    QCOMPARE(m_state->currentTemplate.size1.countDown, 32767);

    // Decimal boxes keep what was typed.
    type(box(ValueBox::Size1VDistance), QStringLiteral("0"));
    leave(box(ValueBox::Size1VDistance));
    QCOMPARE(box(ValueBox::Size1VDistance)->text(), QStringLiteral("0"));
}

void TestSettingsWindow::spinButtons()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("一寸"));
    makeWindow();
    showWindow();
    ValueSpinBox* height = box(ValueBox::Size1Height);
    QVERIFY(!m_state->templateModified);
    height->stepBy(1);
    QCOMPARE(height->text(), QStringLiteral("36.5"));
    QCOMPARE(m_state->currentTemplate.size1.height, 365);
    QVERIFY(m_state->templateModified);

    // Arrow keys are the spin buttons too.
    type(height, QStringLiteral("3"));
    QTest::keyClick(height, Qt::Key_Down);
    QCOMPARE(height->text(), QStringLiteral("2"));
    height->editor()->setText(QStringLiteral("1.5"));
    height->stepBy(-1);
    QCOMPARE(height->text(), QStringLiteral("1"));
    QCOMPARE(m_state->currentTemplate.size1.height, 10);
    height->stepBy(-1);
    QCOMPARE(height->text(), QStringLiteral("1"));

    ValueSpinBox* distance = box(ValueBox::Size1HDistance);
    distance->editor()->setText(QStringLiteral("0.05"));
    QCOMPARE(m_state->currentTemplate.size1.hDistance, 0);
    QTest::keyClick(distance, Qt::Key_Down);
    QCOMPARE(distance->text(), QStringLiteral("0"));
    distance->stepBy(1);
    QCOMPARE(distance->text(), QStringLiteral("0.1"));
    QCOMPARE(m_state->currentTemplate.size1.hDistance, 1);
    distance->stepBy(2);
    QCOMPARE(distance->text(), QStringLiteral("0.3"));
    QCOMPARE(m_state->currentTemplate.size1.hDistance, 3);

    // A spin past the cap is capped by the output count's own rule.
    ValueSpinBox* output = box(ValueBox::OutputCount);
    QCOMPARE(output->text(), QStringLiteral("6"));
    output->stepBy(1);
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(output->text(), QStringLiteral("6"));
    QCOMPARE(m_state->currentTemplate.outputCount, 6);
}

void TestSettingsWindow::outputCountCap()
{
    makeWindow();
    showWindow();
    // Nothing loaded: count across × count down is 0.
    type(box(ValueBox::OutputCount), QStringLiteral("1"));
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(box(ValueBox::OutputCount)->text(), QStringLiteral("0"));
    QCOMPARE(m_state->currentTemplate.outputCount, 0);

    type(box(ValueBox::Size1Across), QStringLiteral("2"));
    type(box(ValueBox::Size1Down), QStringLiteral("4"));
    m_messages.clear();
    type(box(ValueBox::OutputCount), QStringLiteral("9"));
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages[0].text, QStringLiteral("输出张数不能超过整版设置的最大张数"));
    QCOMPARE(m_messages[0].caption, QStringLiteral("信息："));
    QVERIFY(!m_messages[0].error);
    QCOMPARE(box(ValueBox::OutputCount)->text(), QStringLiteral("8"));
    QCOMPARE(m_state->currentTemplate.outputCount, 8);

    m_messages.clear();
    type(box(ValueBox::OutputCount), QStringLiteral("8"));
    QVERIFY(m_messages.isEmpty());
    QCOMPARE(box(ValueBox::OutputCount)->text(), QStringLiteral("8"));
    QCOMPARE(m_state->currentTemplate.outputCount, 8);
}

void TestSettingsWindow::paperOrientation()
{
    makeWindow();
    showWindow();
    auto* landscape = control<QRadioButton>(u"横向单选框");
    auto* portrait = control<QRadioButton>(u"纵向单选框");
    type(box(ValueBox::PaperHeight), QStringLiteral("127"));
    type(box(ValueBox::PaperWidth), QStringLiteral("89"));

    landscape->click();
    QVERIFY(landscape->isChecked());
    QCOMPARE(box(ValueBox::PaperHeight)->text(), QStringLiteral("89"));
    QCOMPARE(box(ValueBox::PaperWidth)->text(), QStringLiteral("127"));
    QCOMPARE(m_state->currentTemplate.paperHeight, 890);
    QCOMPARE(m_state->currentTemplate.paperWidth, 1270);
    QCOMPARE(m_state->currentTemplate.landscape, 1);
    QCOMPARE(m_state->sheetSurface.width(), 1270);
    QCOMPARE(m_state->sheetSurface.height(), 890);

    landscape->click(); // already landscape
    QCOMPARE(box(ValueBox::PaperWidth)->text(), QStringLiteral("127"));
    QCOMPARE(m_state->currentTemplate.paperWidth, 1270);

    portrait->click();
    QVERIFY(!landscape->isChecked());
    QCOMPARE(box(ValueBox::PaperHeight)->text(), QStringLiteral("127"));
    QCOMPARE(box(ValueBox::PaperWidth)->text(), QStringLiteral("89"));
    QCOMPARE(m_state->currentTemplate.landscape, 0);
    QCOMPARE(m_state->sheetSurface.width(), 890);

    // Equal sides swap (nothing visible) and set the flag either way.
    type(box(ValueBox::PaperWidth), QStringLiteral("127"));
    landscape->click();
    QCOMPARE(m_state->currentTemplate.landscape, 1);
    portrait->click();
    QCOMPARE(m_state->currentTemplate.landscape, 0);
    QCOMPARE(m_state->currentTemplate.paperWidth, 1270);
    QCOMPARE(m_state->currentTemplate.paperHeight, 1270);
}

void TestSettingsWindow::printPosition()
{
    makeWindow();
    showWindow();
    auto* centred = control<QRadioButton>(u"居中打印单选框");
    auto* custom = control<QRadioButton>(u"自定义位置打印单选框");
    custom->click();
    QCOMPARE(box(ValueBox::LeftMargin)->text(), QStringLiteral("1"));
    QCOMPARE(box(ValueBox::TopMargin)->text(), QStringLiteral("1"));
    QVERIFY(box(ValueBox::LeftMargin)->isEnabled());
    QVERIFY(control<QWidget>(u"透明标签19")->isEnabled());
    QCOMPARE(m_state->currentTemplate.leftMargin, 10);
    QCOMPARE(m_state->currentTemplate.topMargin, 10);
    QVERIFY(!m_state->windows.centredChecked);

    type(box(ValueBox::Size1Height), QStringLiteral("40"));
    type(box(ValueBox::Size1Width), QStringLiteral("30"));
    type(box(ValueBox::Size1Across), QStringLiteral("2"));
    type(box(ValueBox::Size1Down), QStringLiteral("2"));
    type(box(ValueBox::PaperHeight), QStringLiteral("100"));
    type(box(ValueBox::PaperWidth), QStringLiteral("80"));
    centred->click();
    QVERIFY(!custom->isChecked());
    QVERIFY(m_state->windows.centredChecked);
    QCOMPARE(box(ValueBox::LeftMargin)->text(), QString());
    QCOMPARE(box(ValueBox::TopMargin)->text(), QString());
    QVERIFY(!box(ValueBox::LeftMargin)->isEnabled());
    QVERIFY(!control<QWidget>(u"透明标签18")->isEnabled());
    // No number position chosen yet: no strip below the photos.
    QCOMPARE(m_state->currentTemplate.leftMargin, (800 - 600) / 2);
    QCOMPARE(m_state->currentTemplate.topMargin, (1000 - 800) / 2);
}

void TestSettingsWindow::numberPosition()
{
    makeWindow();
    showWindow();
    auto* inside = control<QRadioButton>(u"号码里面单选框");
    auto* outside = control<QRadioButton>(u"号码外面单选框");
    auto* none = control<QRadioButton>(u"号码不加印单选框");
    auto* colour = control<ColourPickerButton>(u"颜色选择器1");
    inside->click();
    QCOMPARE(m_state->currentTemplate.numberInside, 1);
    QCOMPARE(m_state->currentTemplate.noNumber, 0);
    QVERIFY(colour->isEnabled());
    QVERIFY(!m_state->windows.numberOutsideChecked);

    none->click();
    QVERIFY(!inside->isChecked());
    QCOMPARE(m_state->currentTemplate.numberInside, 1);
    QCOMPARE(m_state->currentTemplate.noNumber, 1);
    QVERIFY(!colour->isEnabled());

    outside->click();
    QCOMPARE(m_state->currentTemplate.numberInside, 0);
    QCOMPARE(m_state->currentTemplate.noNumber, 0);
    QVERIFY(colour->isEnabled());
    QVERIFY(m_state->windows.numberOutsideChecked);

    // The colour picker stores its colour and redraws.
    m_state->templateModified = false;
    m_colourAnswer = QColor(1, 2, 3);
    QTest::mouseClick(colour, Qt::LeftButton);
    QCOMPARE(colour->colour(), QColor(1, 2, 3));
    QCOMPARE(m_state->currentTemplate.numberColour, colourToValue(QColor(1, 2, 3)));
    QVERIFY(m_state->templateModified);
    // Cancelling the dialog changes nothing.
    m_colourAnswer = QColor();
    colour->click();
    QCOMPARE(colour->colour(), QColor(1, 2, 3));
}

void TestSettingsWindow::logo()
{
    const QString logoPath = m_folder->file(QStringLiteral("logo.bmp"));
    QImage logoImage(40, 30, QImage::Format_RGB32);
    logoImage.fill(QColor(200, 10, 10));
    test::writeImage(logoImage, logoPath, "BMP");
    const QByteArray logoBytes = fileBytes(logoPath);
    QVERIFY(!logoBytes.isEmpty());

    LayoutTemplate withLogo = makeTemplate(QStringLiteral("标志"));
    withLogo.logo = 1;
    withLogo.logoPicture = logoBytes;
    QVERIFY(storeTemplate(m_folder->path(), withLogo));
    setDefaultName(m_folder->path(), withLogo.name);
    makeWindow();
    showWindow();
    auto* check = control<QCheckBox>(u"加标志选择框");
    auto* picture = control<QLabel>(u"标志图片框1");
    auto* open = control<QPushButton>(u"打开标志按钮");
    QVERIFY(check->isChecked());
    QVERIFY(open->isEnabled());
    QCOMPARE(m_state->currentTemplate.logoPicture, logoBytes);
    QVERIFY(!picture->pixmap().isNull());

    // Unticking discards the picture; ticking again shows an empty one.
    m_state->templateModified = false;
    check->click();
    QVERIFY(m_state->currentTemplate.logoPicture.isEmpty());
    QCOMPARE(m_state->currentTemplate.logo, 0);
    QVERIFY(picture->pixmap().isNull());
    QVERIFY(!open->isEnabled());
    QVERIFY(!m_state->templateModified); // no redraw of its own
    check->click();
    QCOMPARE(m_state->currentTemplate.logo, 1);
    QVERIFY(picture->pixmap().isNull());
    QVERIFY(open->isEnabled());

    // Cancelled dialog: nothing.
    m_logoFile.clear();
    open->click();
    QVERIFY(m_state->currentTemplate.logoPicture.isEmpty());
    // A chosen file is read whole and redrawn.
    m_logoFile = logoPath;
    open->click();
    QCOMPARE(m_state->currentTemplate.logoPicture, logoBytes);
    QVERIFY(!picture->pixmap().isNull());
    QVERIFY(m_state->templateModified);
    // An unreadable file leaves an empty logo.
    m_logoFile = m_folder->file(QStringLiteral("missing.bmp"));
    open->click();
    QVERIFY(m_state->currentTemplate.logoPicture.isEmpty());
    QVERIFY(picture->pixmap().isNull());

    control<QPushButton>(u"按钮1")->click();
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages[0].caption, QStringLiteral("信息："));
    QVERIFY(m_messages[0].text.startsWith(QStringLiteral("注：请用其他作图软件")));
    QVERIFY(!m_messages[0].error);
}

void TestSettingsWindow::twoSizesAndFrame()
{
    makeWindow();
    showWindow();
    auto* twoSize = control<QCheckBox>(u"不同规格输出选择框");
    twoSize->click();
    QCOMPARE(m_state->currentTemplate.twoSize, 1);
    QVERIFY(control<QWidget>(u"输出尺寸二分组框1")->isEnabled());
    QVERIFY(box(ValueBox::Size2Height)->isEnabled());
    QVERIFY(box(ValueBox::Gap)->isEnabled());
    QVERIFY(!box(ValueBox::OutputCount)->isEnabled());
    twoSize->click();
    QCOMPARE(m_state->currentTemplate.twoSize, 0);
    QVERIFY(!box(ValueBox::Size2Height)->isEnabled());
    QVERIFY(!box(ValueBox::Gap)->isEnabled());
    QVERIFY(box(ValueBox::OutputCount)->isEnabled());

    auto* frame = control<QCheckBox>(u"打印裁切线选择框");
    auto* frameColour = control<ColourPickerButton>(u"边框线颜色选择器");
    m_colourAnswer = QColor(10, 20, 30);
    frame->click();
    QCOMPARE(m_state->currentTemplate.frameLines, 1);
    QVERIFY(frameColour->isEnabled());
    // The picker's colour becomes the frame colour when the box is ticked.
    QCOMPARE(m_state->currentTemplate.frameColour, colourToValue(frameColour->colour()));
    frameColour->click();
    QCOMPARE(m_state->currentTemplate.frameColour, colourToValue(QColor(10, 20, 30)));
    frame->click();
    QCOMPARE(m_state->currentTemplate.frameLines, 0);
    QVERIFY(!frameColour->isEnabled());
}

// ---------------------------------------------------------------------------
// Closing, saving, the template list buttons

void TestSettingsWindow::closeWithoutChangeDoesNotSave()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("一寸"));
    const QByteArray before = fileBytes(m_state->storePath());
    const QDateTime modified = QFileInfo(m_state->storePath()).lastModified();
    m_state->monitorFolder = QStringLiteral("/srv/photos");
    makeWindow();
    showWindow();
    QVERIFY(m_state->windows.settingsShown);
    QSignalSpy closed(m_window.get(), &SettingsWindow::closedToMain);

    control<QPushButton>(u"取消按钮")->click();
    QCOMPARE(closed.size(), 1);
    QVERIFY(!m_window->isVisible());
    QVERIFY(!m_state->windows.settingsShown);
    QCOMPARE(m_state->currentPhotoPath, QStringLiteral("/srv/photos"));
    QCOMPARE(fileBytes(m_state->storePath()), before);
    QCOMPARE(QFileInfo(m_state->storePath()).lastModified(), modified);

    // The close box does the same and the window lives on.
    showWindow();
    QVERIFY(!m_window->close());
    QCOMPARE(closed.size(), 2);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(box(ValueBox::Size1Height)->text(), QStringLiteral("35.5"));
    QVERIFY(m_messages.isEmpty());
}

void TestSettingsWindow::editMakesCloseSave()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("一寸"));
    makeWindow();
    showWindow();
    box(ValueBox::Size1Width)->stepBy(1);
    control<QRadioButton>(u"号码里面单选框")->click();
    control<QRadioButton>(u"号码不加印单选框")->click();
    control<QRadioButton>(u"横向单选框")->click();
    QVERIFY(m_state->templateModified);
    m_window->close();
    QVERIFY(!m_state->templateModified);
    QVERIFY(m_messages.isEmpty());

    const LayoutTemplate saved = readBack(m_folder->path(), QStringLiteral("一寸"));
    QCOMPARE(saved.size1.width, 260);
    QCOMPARE(saved.noNumber, 1);
    QCOMPARE(saved.numberInside, 1);
    QCOMPARE(saved.landscape, 1);
    QCOMPARE(saved.paperWidth, 1270);
    QCOMPARE(saved.paperHeight, 890);
    QCOMPARE(saved.centred, 0);
    QCOMPARE(saved.leftMargin, 30);
}

void TestSettingsWindow::saveAsksNameAndRoundTrips()
{
    makeWindow();
    showWindow();
    type(box(ValueBox::Size1Height), QStringLiteral("48"));
    type(box(ValueBox::Size1Width), QStringLiteral("33"));
    type(box(ValueBox::Size1Across), QStringLiteral("4"));
    type(box(ValueBox::Size1Down), QStringLiteral("2"));
    type(box(ValueBox::Size1HDistance), QStringLiteral("2.5"));
    type(box(ValueBox::OutputCount), QStringLiteral("8"));
    type(box(ValueBox::PaperHeight), QStringLiteral("102"));
    type(box(ValueBox::PaperWidth), QStringLiteral("152"));
    control<QRadioButton>(u"横向单选框")->click(); // already landscape: flag stays 0
    control<QRadioButton>(u"居中打印单选框")->click();
    control<QRadioButton>(u"号码里面单选框")->click();
    control<QCheckBox>(u"不同规格输出选择框")->click();
    type(box(ValueBox::Gap), QStringLiteral("1.5"));
    QVERIFY(m_messages.isEmpty());

    // Cancelling the name saves nothing.
    auto* save = control<QPushButton>(u"保存按钮");
    save->click();
    QVERIFY(!QFileInfo::exists(m_state->storePath()));
    QVERIFY(m_state->templateModified);

    m_nameAnswer = QStringLiteral("六寸");
    save->click();
    QVERIFY(!m_state->templateModified);
    auto* list = control<QListWidget>(u"打印规格列表框");
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QStringLiteral("六寸"));
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(0)});
    const LayoutTemplate edited = m_state->currentTemplate;

    // The next save replaces that row without asking.
    m_nameAnswer.reset();
    save->click();
    QCOMPARE(list->count(), 1);
    QVERIFY(m_confirmed.isEmpty());

    // 另存为… starts a new template from this one. A name 配置.ini could not
    // give back is refused with the reason; an existing name asks first.
    auto* saveAs = list->findChild<QAction*>(QStringLiteral("另存为"));
    QVERIFY(saveAs && list->actions().contains(saveAs));
    m_nameAnswer = QStringLiteral("六寸 ");
    saveAs->trigger();
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(m_messages[0].error);
    QVERIFY2(m_messages[0].text.contains(QStringLiteral("名称前后不能有空格")),
             qPrintable(m_messages[0].text));
    m_nameAnswer = QStringLiteral("六寸");
    m_confirmAnswer = false;
    saveAs->trigger();
    QCOMPARE(m_confirmed.size(), 1);
    QVERIFY(m_confirmed[0].contains(QStringLiteral("已经存在")));
    m_confirmAnswer = true;
    m_nameAnswer = QStringLiteral("六寸副本");
    saveAs->trigger();
    QCOMPARE(listTemplateNames(m_state->storePath()),
             QStringList({QStringLiteral("六寸"), QStringLiteral("六寸副本")}));
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(1)});
    QCOMPARE(m_state->loadedTemplateName, QStringLiteral("六寸副本"));
    QCOMPARE(m_messages.size(), 1);
    m_messages.clear();

    // A new program run shows the same window.
    m_window.reset();
    setDefaultName(m_folder->path(), QStringLiteral("六寸"));
    m_state->currentTemplate = LayoutTemplate();
    makeWindow();
    QVERIFY(m_messages.isEmpty());
    LayoutTemplate reloaded = m_state->currentTemplate;
    QCOMPARE(reloaded.centred, 1);
    QCOMPARE(reloaded.landscape, 1);
    QCOMPARE(reloaded.numberInside, 1);
    QCOMPARE(reloaded.twoSize, 1);
    QCOMPARE(reloaded.gap, 15);
    // Centred margins were computed for the preview and are stored as they stood.
    QCOMPARE(reloaded, edited);
    QVERIFY(control<QRadioButton>(u"居中打印单选框")->isChecked());
    QVERIFY(control<QRadioButton>(u"号码里面单选框")->isChecked());
    QVERIFY(control<QCheckBox>(u"不同规格输出选择框")->isChecked());
    QCOMPARE(box(ValueBox::Size1HDistance)->text(), QStringLiteral("2.5"));
    QCOMPARE(box(ValueBox::Gap)->text(), QStringLiteral("1.5"));
    QCOMPARE(box(ValueBox::PaperWidth)->text(), QStringLiteral("152"));
}

void TestSettingsWindow::defaultAndDelete()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("A"))));
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("B"))));
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("\"丙\""))));
    makeWindow();
    QSignalSpy shown(m_window.get(), &SettingsWindow::templateNameShown);
    auto* list = control<QListWidget>(u"打印规格列表框");
    auto configured = [this] {
        return readConfigText(m_state->configPath(), QString::fromUtf16(kConfigSection),
                              QString::fromUtf16(kConfigDefaultTemplateKey));
    };

    // Without a selection neither button does anything.
    control<QPushButton>(u"设为默认按钮")->click();
    control<QPushButton>(u"删除按钮")->click();
    QVERIFY(m_confirmed.isEmpty());
    QCOMPARE(shown.size(), 0);

    list->setCurrentRow(1);
    control<QPushButton>(u"设为默认按钮")->click();
    QCOMPARE(configured(), QStringLiteral("B"));
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown.last()[0].toString(), QStringLiteral("B"));

    // Written as it stands, a quoted name would come back without its quotes.
    list->setCurrentRow(2);
    control<QPushButton>(u"设为默认按钮")->click();
    QCOMPARE(configured(), QStringLiteral("B"));
    QCOMPARE(shown.size(), 3);
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(m_messages[0].error);
    QVERIFY2(m_messages[0].text.contains(QStringLiteral("引号")), qPrintable(m_messages[0].text));

    m_confirmAnswer = false;
    list->setCurrentRow(1);
    control<QPushButton>(u"删除按钮")->click();
    QCOMPARE(m_confirmed.size(), 1);
    QVERIFY(m_confirmed[0].contains(QStringLiteral("B")));
    // Deleting the default warns that the next start has no template.
    QVERIFY(m_confirmed[0].contains(QStringLiteral("默认排版")));
    QCOMPARE(list->count(), 3);

    m_confirmAnswer = true;
    control<QPushButton>(u"删除按钮")->click();
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(), QStringLiteral("A"));
    QCOMPARE(listTemplateNames(m_state->storePath()),
             QStringList({QStringLiteral("A"), QStringLiteral("\"丙\"")}));
    // The deleted template is no longer the one a save writes, nor the default.
    QVERIFY(m_state->loadedTemplateName.isEmpty());
    QCOMPARE(configured(), QString());
    QCOMPARE(m_messages.size(), 1);

    // A write that fails says so and names nothing as the default.
    QVERIFY(QFile::remove(m_state->configPath()));
    QVERIFY(QDir().mkdir(m_state->configPath()));
    list->setCurrentRow(0);
    const qsizetype shownBefore = shown.size();
    control<QPushButton>(u"设为默认按钮")->click();
    QCOMPARE(m_messages.size(), 2);
    QVERIFY(m_messages[1].error);
    QVERIFY2(m_messages[1].text.contains(QStringLiteral("无法写入配置文件")),
             qPrintable(m_messages[1].text));
    QCOMPARE(shown.size(), shownBefore);
}

void TestSettingsWindow::batchHidesAndComesBack()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("一寸"));
    makeWindow();
    showWindow();
    const QString batchPhoto = m_folder->file(QStringLiteral("客户.jpg"));
    QImage green(250, 355, QImage::Format_RGB32);
    green.fill(Qt::green);
    QVERIFY(green.save(batchPhoto, "JPEG", 95));
    m_state->currentPhotoPath = QStringLiteral("/elsewhere/x.jpg");
    m_dialogs->runBatch = [this, batchPhoto](AppState& state, QWidget* owner) {
        ++m_batchRuns;
        m_hiddenDuringBatch = !owner->isVisible() && !m_state->windows.settingsShown;
        // The batch lays out the customer's photos through the same state.
        state.currentPhotoPath = batchPhoto;
        layOutCurrentPhoto(state);
    };
    control<QPushButton>(u"批量排版按钮")->click();
    QCOMPARE(m_batchRuns, 1);
    QVERIFY(m_hiddenDuringBatch);
    QVERIFY(m_window->isVisible());
    QVERIFY(m_state->windows.settingsShown);
    QCOMPARE(m_state->currentPhotoPath, m_state->samplePhotoPath());
    // The board shows the sample again, not the customer's last photo: the
    // first cell (3 mm, 4.5 mm from the corner, 25 × 35.5 mm) is not the batch photo's green.
    const QImage sheet = control<PreviewBoard>(u"画板1")->sheet();
    QCOMPARE(sheet.size(), QSize(890, 1270));
    QVERIFY(!test::colourNear(sheet.pixel(30 + 125, 45 + 177), Qt::green, 60));
}

void TestSettingsWindow::boardShowsPreview()
{
    QVERIFY(storeTemplate(m_folder->path(), makeTemplate(QStringLiteral("一寸"))));
    setDefaultName(m_folder->path(), QStringLiteral("一寸"));
    makeWindow();
    auto* board = control<PreviewBoard>(u"画板1");
    QVERIFY(board->sheet().isNull()); // loaded while hidden: nothing shown
    showWindow();
    // Showing draws the sample sheet at once, and is not an edit.
    QCOMPARE(board->sheet().size(), QSize(890, 1270));
    QVERIFY(!m_state->templateModified);
    box(ValueBox::Size1HDistance)->stepBy(1);
    QVERIFY(m_state->templateModified);
    QCOMPARE(board->sheet().size(), QSize(890, 1270));
    // The sheet surface starts blank for the next pass.
    QCOMPARE(m_state->sheetSurface.image().pixel(100, 100), qRgb(255, 255, 255));

    const QImage shot = board->grab().toImage();
    const QColor background(122, 150, 223);
    const QRect inner = board->contentsRect();
    // An 89 × 127 mm sheet is taller than the board is in proportion: it fills
    // the height, centred across.
    QVERIFY(890 * inner.height() < 1270 * inner.width());
    const int fitWidth = 890 * inner.height() / 1270;
    const QRect fit((inner.width() - fitWidth) / 2, 0, fitWidth, inner.height());
    // Beside the sheet is background; the middle of the sheet holds a photo.
    QVERIFY(test::colourNear(shot.pixel(inner.left() + 2, inner.top() + inner.height() / 2),
                             background, 2));
    const QPoint centre = fit.translated(inner.topLeft()).center();
    QVERIFY(!test::colourNear(shot.pixel(centre), Qt::white, 10));
    // The paper is white where no cell is.
    const QPoint paperCorner = fit.translated(inner.topLeft()).bottomRight() - QPoint(2, 2);
    QVERIFY(test::colourNear(shot.pixel(paperCorner), Qt::white, 8));
}

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
