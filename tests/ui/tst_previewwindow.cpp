#include "testutils.h"

#include "app/Startup.h"
#include "core/AppState.h"
#include "core/DrawingSurface.h"
#include "printing/Printing.h"
#include "ui/PreviewWindow.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <thread>

using namespace vellora;

namespace {

struct Message
{
    QString text;
    QString caption;
    QMessageBox::Icon icon;
};

// A preview window over its own state and owner window, messages recorded.
struct Preview
{
    test::TempProgramFolder folder;
    AppState state;
    QWidget owner;
    QPointer<PreviewWindow> window;
    QList<Message> messages;
    QList<QImage> printed;

    explicit Preview(bool monitoring = false)
    {
        initialiseAppState(state, folder.path());
        state.printSheet = [this](const QImage& sheet) { printed.append(sheet); };
        state.windows.monitoring = monitoring;
    }
    ~Preview() { delete window.data(); }
    PreviewWindow* open()
    {
        window = new PreviewWindow(state, &owner);
        auto dialogs = std::make_shared<Dialogs>();
        dialogs->message = [this](const QString& caption, const QString& text,
                                  QMessageBox::Icon icon) {
            messages.append({text, caption, icon});
        };
        window->setDialogs(dialogs);
        window->show();
        if (!QTest::qWaitForWindowExposed(window.data()))
            qWarning("preview not exposed");
        return window.data();
    }
    QPushButton* printButton() const
    {
        return window->findChild<QPushButton*>(QStringLiteral("打印超级按钮"));
    }
    QLabel* printedLabel() const
    {
        return window->findChild<QLabel*>(QStringLiteral("打印完毕标签"));
    }
    // The board's own painting, without the button and label on it.
    QImage board() const
    {
        PreviewSheetBoard* b = window->board();
        QImage image(b->size(), QImage::Format_RGB32);
        b->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
        return image;
    }
};

QImage filled(int w, int h, const QColor& colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

class PreviewWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void unitsAsDesigned();
    void showsTheWaitingSheetAtOnce();
    void shrinksToFitAndNeverEnlarges();
    void hooksPostFromAnyThread();
    void closingDetachesFromTheState();
    void printButton();
};

void PreviewWindowTest::unitsAsDesigned()
{
    Preview p;
    PreviewWindow* w = p.open();
    QCOMPARE(w->size(), QSize(200, 200));
    QVERIFY(qAbs(w->windowOpacity() - 230.0 / 255) < 0.01);
    // Above the main window only, never above other programs.
    QVERIFY(!(w->windowFlags() & Qt::WindowStaysOnTopHint));
    QCOMPARE(w->windowType(), Qt::Tool);
    QCOMPARE(w->parentWidget(), &p.owner);
    QCOMPARE(w->board()->objectName(), QStringLiteral("预览画板"));
    QCOMPARE(w->board()->geometry(), QRect(0, 0, 200, 200));
    QCOMPARE(p.printButton()->geometry(), QRect(67, 85, 64, 28));
    QCOMPARE(p.printButton()->text(), QStringLiteral("打 印"));
    QVERIFY(!p.printButton()->isEnabled());
    QCOMPARE(p.printedLabel()->geometry(), QRect(39, 122, 112, 24));
    QCOMPARE(p.printedLabel()->text(), QStringLiteral("已打印完毕……"));
    QVERIFY(p.printedLabel()->isHidden());
    QVERIFY(p.state.windows.previewOpen);

    // Opened while monitoring: the print button is enabled at once.
    Preview monitoring(true);
    monitoring.open();
    QVERIFY(monitoring.printButton()->isEnabled());
}

void PreviewWindowTest::showsTheWaitingSheetAtOnce()
{
    Preview p;
    // A 1520 × 1020 sheet, its left half green.
    p.state.sheetSurface.resize(1520, 1020);
    p.state.sheetSurface.drawImage(filled(760, 1020, Qt::green), 0, 0);
    PreviewWindow* w = p.open();
    const QRect rect = w->board()->pictureRect();
    // Inside the 1-pixel border: the full inner width, about an eighth of the
    // sheet, centred with bands of the background above and below.
    // t = min(1, 198 / 1520, 198 / 1020); 1520 × t is 197.999… in double
    // precision, truncated to 197; 1020 × t truncates to 132; offsets
    // (198 − 197) / 2 = 0 and (198 − 132) / 2 = 33, plus the border.
    QCOMPARE(rect, QRect(1, 34, 197, 132));
    QVERIFY(rect.width() >= 197 && rect.left() <= 2);
    QVERIFY(qAbs(rect.height() - 132) <= 1);
    const int bandAbove = rect.top() - 1;
    const int bandBelow = 198 - rect.bottom();
    QVERIFY(bandAbove > 20 && qAbs(bandAbove - bandBelow) <= 1);
    const QImage board = p.board();
    const QColor background = PreviewSheetBoard::backgroundColour();
    QVERIFY(test::colourNear(board.pixel(50, 100), Qt::green, 10));
    QVERIFY(test::colourNear(board.pixel(150, 100), Qt::white, 10));
    QVERIFY(test::colourNear(board.pixel(100, 20), background, 0));
    QVERIFY(test::colourNear(board.pixel(100, 185), background, 0));
    // The border is drawn, and is not the background.
    QVERIFY(!test::colourNear(board.pixel(0, 100), background, 10));
}

void PreviewWindowTest::shrinksToFitAndNeverEnlarges()
{
    Preview p;
    PreviewWindow* w = p.open();
    w->showSheet(filled(40, 20, Qt::red));
    QCOMPARE(w->board()->pictureRect(), QRect(1 + 79, 1 + 89, 40, 20));
    const QImage board = p.board();
    QVERIFY(test::colourNear(board.pixel(100, 100), Qt::red, 0));
    QVERIFY(test::colourNear(board.pixel(100, 80), PreviewSheetBoard::backgroundColour(), 0));
    // A tall sheet: full height, narrow.
    w->showSheet(filled(1020, 1520, Qt::blue));
    QVERIFY(w->board()->pictureRect().height() >= 197);
    QVERIFY(qAbs(w->board()->pictureRect().width() - 132) <= 1);
}

void PreviewWindowTest::hooksPostFromAnyThread()
{
    Preview p;
    PreviewWindow* w = p.open();
    QVERIFY(p.state.views.showOnPreviewBoard);
    QVERIFY(p.state.views.setPrintedLabelVisible);
    // As a batch pass does: from a worker thread, under the layout lock,
    // without waiting for the window.
    std::thread worker([&] {
        std::lock_guard<std::recursive_mutex> lock(p.state.layoutLock);
        p.state.views.showOnPreviewBoard(filled(100, 100, Qt::red));
        p.state.views.setPrintedLabelVisible(true);
    });
    worker.join();
    QTRY_VERIFY_WITH_TIMEOUT(p.printedLabel()->isVisible(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(w->board()->pictureRect().size(), QSize(100, 100), 5000);
    QVERIFY(test::colourNear(p.board().pixel(100, 100), Qt::red, 0));
    p.state.views.setPrintedLabelVisible(false);
    QTRY_VERIFY_WITH_TIMEOUT(p.printedLabel()->isHidden(), 5000);
}

void PreviewWindowTest::closingDetachesFromTheState()
{
    Preview p;
    PreviewWindow* w = p.open();
    // A post still on its way when the window goes is dropped, not delivered
    // to a deleted window.
    p.state.views.showOnPreviewBoard(filled(10, 10, Qt::red));
    QVERIFY(w->close());
    QVERIFY(!p.state.windows.previewOpen);
    QVERIFY(!p.state.views.showOnPreviewBoard);
    QVERIFY(!p.state.views.setPrintedLabelVisible);
    QTRY_VERIFY_WITH_TIMEOUT(p.window.isNull(), 5000);
    QCoreApplication::processEvents();

    // Destroyed with its owner without a close: detached too.
    Preview q;
    q.open();
    QVERIFY(q.state.windows.previewOpen);
    delete q.window.data();
    QVERIFY(!q.state.windows.previewOpen);
    QVERIFY(!q.state.views.showOnPreviewBoard);
}

void PreviewWindowTest::printButton()
{
    Preview p(true);
    p.open();
    p.state.sheetSurface.resize(300, 200);
    QTest::mouseClick(p.printButton(), Qt::LeftButton);
    QCOMPARE(p.messages.size(), 1);
    QCOMPARE(p.messages[0].text, QString::fromUtf16(kNothingToPrintMessage));
    QCOMPARE(p.messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(p.messages[0].icon, QMessageBox::Critical);
    QVERIFY(p.printed.isEmpty());

    p.state.pendingSheet.filledCells = 2;
    QTest::mouseClick(p.printButton(), Qt::LeftButton);
    QCOMPARE(p.messages.size(), 1);
    QCOMPARE(p.printed.size(), 1);
    QCOMPARE(p.printed[0].size(), QSize(300, 200));
    QTRY_VERIFY_WITH_TIMEOUT(p.printedLabel()->isVisible(), 5000);

    // A sheet that did not reach the printer is not announced as printed.
    p.printedLabel()->hide();
    p.state.printSheet = [&p](const QImage&) { p.state.lastSheetPrinted = false; };
    p.state.pendingSheet.filledCells = 2;
    QTest::mouseClick(p.printButton(), Qt::LeftButton);
    QCoreApplication::processEvents(); // the label is set by a posted call
    QVERIFY(p.printedLabel()->isHidden());

    // Disabled from outside, as pausing does.
    p.window->setPrintEnabled(false);
    QVERIFY(!p.printButton()->isEnabled());
}

QTEST_MAIN(PreviewWindowTest)
#include "tst_previewwindow.moc"
