#include "app/Startup.h"
#include "core/AppState.h"
#include "core/Gbk.h"
#include "sheet/SheetRenderer.h"
#include "testutils.h"

#include <QBuffer>
#include <QPainter>
#include <QTest>

#include <limits>

using namespace vellora;
using vellora::test::colourNear;

namespace {

// True when some pixel of the column range, in the rows given, is far from white.
bool inkIn(const QImage& image, int x0, int x1, int y0, int y1)
{
    for (int y = std::max(0, y0); y < std::min(image.height(), y1); ++y)
        for (int x = std::max(0, x0); x < std::min(image.width(), x1); ++x)
            if (!colourNear(image.pixel(x, y), Qt::white, 60))
                return true;
    return false;
}

QByteArray bmpBytes(const QImage& image)
{
    return imageToBmp(image);
}

} // namespace

class TestSheetRenderer : public QObject
{
    Q_OBJECT

    vellora::test::TempProgramFolder m_folder;

    void plainTemplate(AppState& state, int h, int w)
    {
        LayoutTemplate t;
        t.size1 = {h, w, 1, 1, 0, 0};
        t.paperWidth = w;
        t.paperHeight = h + 30;
        t.noNumber = 1;
        t.outputCount = 1;
        useTemplateHeadless(state, t);
    }

private Q_SLOTS:
    void photoNumber_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("number");
        QTest::newRow("sample") << "/srv/photos/152101201205090001.jpg"
                                << "152101201205090001";
        QTest::newRow("two dots") << "/srv/a.b.jpg"
                                  << "a";
        QTest::newRow("no dot") << "/srv/photo"
                                << "";
        QTest::newRow("leading dot") << "/srv/.hidden.jpg"
                                     << "";
        QTest::newRow("ends with separator") << "/srv/photos/"
                                             << "";
        QTest::newRow("no separator") << "x7.bmp"
                                      << "x7";
        QTest::newRow("dot in folder only") << "/srv/v1.2/photo"
                                            << "";
        QTest::newRow("cjk name") << "/srv/照片/张三.jpg"
                                  << "张三";
    }
    void photoNumber()
    {
        QFETCH(QString, path);
        QFETCH(QString, number);
        QCOMPARE(fromGbk(derivePhotoNumber(path)), number);
    }

    void tallPhotoIsTopAlignedAndCut()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        plainTemplate(state, 450, 350);
        state.currentPhotoPath =
            test::writeImage(test::markedImage(600, 800), m_folder.file("tall.bmp"), "bmp");
        renderCell(state, state.currentTemplate.size1);
        const QImage cell = state.cellSurface.image();
        QCOMPARE(cell.size(), QSize(350, 450));
        // 350 × 466 at (0, 0): the green top row is kept, the black bottom row is cut.
        QVERIFY(colourNear(cell.pixel(100, 0), Qt::green, 80));
        QVERIFY(colourNear(cell.pixel(100, 449), Qt::red, 40));
        QVERIFY(colourNear(cell.pixel(170, 200), Qt::red, 40));
        QVERIFY(colourNear(cell.pixel(180, 200), Qt::blue, 40));
    }

    void widePhotoIsCentredAndCut()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        plainTemplate(state, 450, 350);
        QImage wide(800, 600, QImage::Format_RGB32);
        wide.fill(Qt::white);
        QPainter p(&wide);
        p.fillRect(0, 0, 200, 600, Qt::red);     // cut off: lies left of x = 125 / 0.75
        p.fillRect(200, 0, 200, 600, Qt::green); // 200..400 → cell x 25..175
        p.fillRect(400, 0, 400, 600, Qt::blue);
        p.end();
        state.currentPhotoPath = test::writeImage(wide, m_folder.file("wide.bmp"), "bmp");
        renderCell(state, state.currentTemplate.size1);
        const QImage cell = state.cellSurface.image();
        // Drawn 600 × 450 at (−125, 0).
        QVERIFY(colourNear(cell.pixel(22, 100), Qt::red, 40));
        QVERIFY(colourNear(cell.pixel(28, 100), Qt::green, 40));
        QVERIFY(colourNear(cell.pixel(172, 100), Qt::green, 40));
        QVERIFY(colourNear(cell.pixel(178, 100), Qt::blue, 40));
        QVERIFY(colourNear(cell.pixel(349, 449), Qt::blue, 40));
    }

    void frameAndNumberStrip_data()
    {
        QTest::addColumn<bool>("outside");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("cellHeight");
        QTest::newRow("inside") << false << 450 << 450;
        QTest::newRow("outside") << true << 450 << 480;
        // No photo area at all: the strip, its number and the frame remain.
        QTest::newRow("outside, photo height 0") << true << 0 << 30;
    }
    void frameAndNumberStrip()
    {
        QFETCH(bool, outside);
        QFETCH(int, h);
        QFETCH(int, cellHeight);
        AppState state;
        initialiseAppState(state, m_folder.path());
        LayoutTemplate t;
        t.size1 = {h, 350, 1, 1, 0, 0};
        t.frameLines = 1;
        t.frameColour = colourToValue(QColor(0, 0, 255));
        t.numberInside = outside ? 0 : 1;
        t.numberColour = colourToValue(QColor(255, 0, 0));
        useTemplateHeadless(state, t);
        state.currentPhotoPath = m_folder.file("missing/152101201205090001.jpg");
        renderCell(state, state.currentTemplate.size1);
        const QImage cell = state.cellSurface.image();
        QCOMPARE(cell.size(), QSize(350, cellHeight));
        for (int y : {0, cellHeight / 2, cellHeight - 1}) {
            QVERIFY(colourNear(cell.pixel(0, y), Qt::blue));
            QVERIFY(colourNear(cell.pixel(349, y), Qt::blue));
        }
        for (int x : {1, 175, 348}) {
            QVERIFY(colourNear(cell.pixel(x, 0), Qt::blue));
            QVERIFY(colourNear(cell.pixel(x, cellHeight - 1), Qt::blue));
        }
        // Inside the frame, away from the number, a missing photo leaves white.
        QVERIFY(colourNear(cell.pixel(348, 1), Qt::white));
        if (h > 0)
            QVERIFY(colourNear(cell.pixel(175, 200), Qt::white));
        // The number sits at h − 30 inside, in the strip below outside.
        const int ty = outside ? h : h - 30;
        QVERIFY(inkIn(cell, 1, 13, ty, ty + 29));
        QVERIFY(!inkIn(cell, 1, 348, ty - 40, ty - 2));
    }

    // Descenders and the foot of a CJK character stay inside the 30-pixel
    // band: nothing is cut at the cell's edge or lies where the frame goes.
    void numberGlyphsStayInTheirBand_data()
    {
        QTest::addColumn<bool>("outside");
        QTest::newRow("inside") << false;
        QTest::newRow("outside") << true;
    }
    void numberGlyphsStayInTheirBand()
    {
        QFETCH(bool, outside);
        AppState state;
        initialiseAppState(state, m_folder.path());
        LayoutTemplate t;
        t.size1 = {200, 300, 1, 1, 0, 0};
        t.numberInside = outside ? 0 : 1;
        useTemplateHeadless(state, t);
        state.currentPhotoPath = m_folder.file("missing/gjpqy张國.jpg");
        renderCell(state, state.currentTemplate.size1);
        const QImage cell = state.cellSurface.image();
        const int ty = outside ? 200 : 170;
        QCOMPARE(cell.height(), ty + 30);
        QVERIFY(inkIn(cell, 0, 300, ty, ty + 29));
        QVERIFY(!inkIn(cell, 0, 300, 0, ty));
        QVERIFY(!inkIn(cell, 0, 300, ty + 29, ty + 30));
    }

    // Lengths at the ends of what a template column holds: every step of the
    // pass stays defined (the sanitizer build checks each one) and the copy is
    // still counted.
    void extremeLengthsStayDefined()
    {
        const qint32 extremes[] = {std::numeric_limits<qint32>::min(), -31, 0,
                                   std::numeric_limits<qint32>::max() - 29,
                                   std::numeric_limits<qint32>::max()};
        const QString photo = m_folder.file("extreme.jpg");
        QImage(40, 30, QImage::Format_RGB32).save(photo, "JPG");
        for (const bool outside : {false, true}) {
            for (const qint32 v : extremes) {
                for (const bool lengths : {false, true}) {
                    AppState state;
                    initialiseAppState(state, m_folder.path());
                    LayoutTemplate t;
                    t.size1 = lengths ? PhotoSizeSpec{v, v, 1, 1, 0, 0}
                                      : PhotoSizeSpec{30, 40, 1, 1, v, v};
                    t.leftMargin = lengths ? 0 : v;
                    t.topMargin = lengths ? 0 : v;
                    t.paperWidth = 100;
                    t.paperHeight = 100;
                    t.frameLines = 1;
                    t.numberInside = outside ? 0 : 1;
                    t.outputCount = 1;
                    useTemplateHeadless(state, t);
                    state.currentPhotoPath = photo;
                    state.pendingSheet.copiesLeft = 1;
                    layOutCurrentPhoto(state);
                    QCOMPARE(state.pendingSheet.filledCells, 1);
                    QCOMPARE(state.pendingSheet.copiesLeft, 0);
                }
            }
        }
    }

    void numberSlotsSpreadOverWidth()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        LayoutTemplate t;
        t.size1 = {300, 250, 1, 1, 0, 0};
        useTemplateHeadless(state, t); // number outside, black
        state.currentPhotoPath = QStringLiteral("/none/152101201205090001.jpg");
        renderCell(state, state.currentTemplate.size1);
        const QImage cell = state.cellSurface.image();
        QCOMPARE(cell.size(), QSize(250, 330));
        // 18 characters, slot 13: every slot start has ink, nothing after 221 + 13.
        for (int i = 0; i < 18; ++i)
            QVERIFY2(inkIn(cell, i * 13, i * 13 + 13, 300, 330), qPrintable(QString::number(i)));
        QVERIFY(!inkIn(cell, 236, 250, 300, 330));

        // CJK: 4 bytes, slot 62; each character starts at its first slot.
        state.currentPhotoPath = QStringLiteral("/none/张三.jpg");
        renderCell(state, state.currentTemplate.size1);
        const QImage cjk = state.cellSurface.image();
        QVERIFY(inkIn(cjk, 0, 26, 300, 330));
        QVERIFY(!inkIn(cjk, 30, 124, 300, 330));
        QVERIFY(inkIn(cjk, 124, 150, 300, 330));
        QVERIFY(!inkIn(cjk, 152, 250, 300, 330));
    }

    void logoWhiteIsTransparent()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        plainTemplate(state, 100, 100);
        QImage red(100, 100, QImage::Format_RGB32);
        red.fill(Qt::red);
        state.currentPhotoPath = test::writeImage(red, m_folder.file("red.bmp"), "bmp");
        QImage logo(10, 10, QImage::Format_RGB32);
        logo.fill(QColor(255, 255, 255));
        for (int y = 0; y < 10; ++y)
            for (int x = 5; x < 10; ++x)
                logo.setPixel(x, y, qRgb(254, 254, 254));
        state.currentTemplate.logo = 1;
        state.currentTemplate.logoPicture = bmpBytes(logo);
        renderCell(state, state.currentTemplate.size1);
        const QImage cell = state.cellSurface.image();
        QVERIFY(colourNear(cell.pixel(20, 50), Qt::red, 10));
        QVERIFY(colourNear(cell.pixel(80, 50), QColor(254, 254, 254), 2));
    }

    void monitoredSheetPrintsWhenFull()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        LayoutTemplate t;
        t.paperWidth = 1520;
        t.paperHeight = 1020;
        t.size1 = {450, 350, 4, 2, 20, 20};
        t.leftMargin = 10;
        t.topMargin = 10;
        t.outputCount = 4;
        useTemplateHeadless(state, t);
        state.windows.monitoring = true;
        QList<QImage> printed;
        state.printSheet = [&printed](const QImage& sheet) { printed.append(sheet); };

        QImage red(35, 45, QImage::Format_RGB32);
        red.fill(Qt::red);
        QImage blue = red;
        blue.fill(Qt::blue);
        const QString a = test::writeImage(red, m_folder.file("a.bmp"), "bmp");
        const QString b = test::writeImage(blue, m_folder.file("b.bmp"), "bmp");

        state.pendingSheet.copiesLeft = 4;
        state.currentPhotoPath = a;
        layOutCurrentPhoto(state);
        QCOMPARE(state.pendingSheet.filledCells, 4);
        QCOMPARE(printed.size(), 0);
        state.pendingSheet.copiesLeft = 4;
        state.currentPhotoPath = b;
        layOutCurrentPhoto(state);
        QCOMPARE(printed.size(), 1);
        QCOMPARE(state.pendingSheet.filledCells, 0);
        QCOMPARE(state.pendingSheet.copiesLeft, 0);
        const QImage sheet = printed.first();
        QCOMPARE(sheet.size(), QSize(1520, 1020));
        QVERIFY(colourNear(sheet.pixel(20, 100), Qt::red, 10));   // cell 1
        QVERIFY(colourNear(sheet.pixel(1130, 100), Qt::red, 10)); // cell 4
        QVERIFY(colourNear(sheet.pixel(20, 600), Qt::blue, 10));  // cell 5
        QVERIFY(colourNear(sheet.pixel(5, 5), Qt::white));        // margin
        // The surface starts blank for the next sheet.
        QVERIFY(colourNear(state.sheetSurface.image().pixel(20, 100), Qt::white));

        // Paused: the pass still places the photo but nothing is printed.
        state.windows.monitoring = false;
        for (int i = 0; i < 3; ++i) {
            state.pendingSheet.copiesLeft = 4;
            layOutCurrentPhoto(state);
        }
        QCOMPARE(printed.size(), 1);
        QCOMPARE(state.pendingSheet.filledCells, 8);
    }

    void settingsPreviewDrawsWholeSheetAndClears()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        LayoutTemplate t;
        t.paperWidth = 1520;
        t.paperHeight = 1020;
        t.size1 = {450, 350, 4, 2, 20, 20};
        t.centred = 1;
        t.outputCount = 1;
        useTemplateHeadless(state, t);
        state.windows.settingsShown = true;
        state.windows.monitoring = true; // never prints while the settings window is shown
        int prints = 0;
        state.printSheet = [&prints](const QImage&) { ++prints; };
        QImage shown;
        state.views.showOnSettingsBoard = [&shown](const QImage& sheet) { shown = sheet; };
        state.currentPhotoPath = state.samplePhotoPath();
        state.pendingSheet.copiesLeft = 2;
        layOutCurrentPhoto(state);
        QCOMPARE(prints, 0);
        QVERIFY(state.templateModified);
        QCOMPARE(state.pendingSheet.filledCells, 8);
        QCOMPARE(state.pendingSheet.copiesLeft, 2);
        QCOMPARE(state.currentTemplate.leftMargin, 30);
        QCOMPARE(state.currentTemplate.topMargin, 20);
        QVERIFY(!shown.isNull());
        // Cells at the centred positions carry the sample photo; the surface is blank again.
        QVERIFY(!colourNear(shown.pixel(30 + 175, 20 + 10), Qt::white, 30));
        QVERIFY(!colourNear(shown.pixel(1120 + 30 + 175, 510 + 20 + 10), Qt::white, 30));
        QVERIFY(colourNear(shown.pixel(10, 10), Qt::white));
        QVERIFY(colourNear(state.sheetSurface.image().pixel(200, 30), Qt::white));
    }

    void twoSizePassFillsEverything()
    {
        AppState state;
        initialiseAppState(state, m_folder.path());
        LayoutTemplate t;
        t.paperWidth = 1000;
        t.paperHeight = 1000;
        t.twoSize = 1;
        t.noNumber = 1;
        t.size1 = {100, 100, 3, 1, 0, 0};
        t.size2 = {200, 150, 2, 1, 10, 0};
        t.gap = 50;
        useTemplateHeadless(state, t);
        QImage green(10, 10, QImage::Format_RGB32);
        green.fill(Qt::green);
        state.currentPhotoPath = test::writeImage(green, m_folder.file("g.bmp"), "bmp");
        state.pendingSheet = {0, 5};
        layOutCurrentPhoto(state);
        QCOMPARE(state.pendingSheet.filledCells, 3);
        QCOMPARE(state.pendingSheet.copiesLeft, 5);
        const QImage sheet = state.sheetSurface.image();
        QVERIFY(colourNear(sheet.pixel(250, 50), Qt::green, 10));  // size-1 cell 3
        QVERIFY(colourNear(sheet.pixel(300, 250), Qt::green, 10)); // size-2 cell 2
        QVERIFY(colourNear(sheet.pixel(100, 120), Qt::white));     // the gap
    }
};

QTEST_MAIN(TestSheetRenderer)
#include "tst_sheetrenderer.moc"
