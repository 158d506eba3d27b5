#include "sheet/SheetGeometry.h"

#include <QTest>

#include <future>
#include <limits>

using namespace vellora;

namespace {

LayoutTemplate workedExample()
{
    LayoutTemplate t;
    t.paperWidth = 1520;
    t.paperHeight = 1020;
    t.size1 = {450, 350, 4, 2, 20, 20};
    t.leftMargin = 10;
    t.topMargin = 10;
    t.outputCount = 3;
    return t;
}

QList<int> ordinals(const SheetLayout& layout, const QList<int>& cells)
{
    QList<int> k;
    for (int i : cells)
        k.append(layout.size1[i].ordinal);
    return k;
}

} // namespace

class TestSheetGeometry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void workedExampleCustomMargins()
    {
        const LayoutTemplate t = workedExample();
        const SheetLayout layout = computeSheetLayout(t, /*numberOutside=*/true);
        QCOMPARE(layout.capacity, 8);
        QCOMPARE(layout.size1.size(), 8);
        const QList<int> xs = {10, 380, 750, 1120};
        for (int k = 0; k < 8; ++k) {
            const CellPlacement& c = layout.size1[k];
            QCOMPARE(c.ordinal, k + 1);
            QCOMPARE(c.x, xs[k % 4]);
            QCOMPARE(c.y, k < 4 ? 10 : 510);
            QCOMPARE(c.width, 350);
            QCOMPARE(c.height, 480);
        }
        QVERIFY(layout.size2.isEmpty());
    }

    void workedExampleCentred()
    {
        LayoutTemplate t = workedExample();
        computeCentredMargins(t, /*centred=*/true, /*numberOutside=*/true);
        QCOMPARE(t.topMargin, 20);
        QCOMPARE(t.leftMargin, 30);

        LayoutTemplate untouched = workedExample();
        computeCentredMargins(untouched, /*centred=*/false, true);
        QCOMPARE(untouched.leftMargin, 10);
        QCOMPARE(untouched.topMargin, 10);
    }

    void centringTruncatesTowardZero_data()
    {
        QTest::addColumn<int>("paper");
        QTest::addColumn<int>("block");
        QTest::addColumn<int>("margin");
        QTest::newRow("even") << 100 << 80 << 10;
        QTest::newRow("odd 7") << 107 << 100 << 3;
        QTest::newRow("negative 7") << 93 << 100 << -3;
        QTest::newRow("negative even") << 60 << 100 << -20;
    }
    void centringTruncatesTowardZero()
    {
        QFETCH(int, paper);
        QFETCH(int, block);
        QFETCH(int, margin);
        LayoutTemplate t;
        t.size1 = {block, block, 1, 1, 0, 0};
        t.paperWidth = paper;
        t.paperHeight = paper;
        computeCentredMargins(t, true, false);
        QCOMPARE(t.leftMargin, margin);
        QCOMPARE(t.topMargin, margin);
    }

    void twoSizeBlock()
    {
        LayoutTemplate t;
        t.paperWidth = 1520;
        t.paperHeight = 1020;
        t.twoSize = 1;
        t.gap = 40;
        t.size1 = {350, 250, 4, 1, 10, 10};
        t.size2 = {490, 350, 2, 1, 15, 0};
        computeCentredMargins(t, true, true);
        // B = 350 + 0 + 490 + 0 + 40 + 30 + 30 = 940; W from size 1 only = 1030.
        QCOMPARE(t.topMargin, 40);
        QCOMPARE(t.leftMargin, 245);
        const SheetLayout layout = computeSheetLayout(t, true);
        QCOMPARE(layout.capacity, 4);
        QCOMPARE(layout.size2.size(), 2);
        // Size 2 starts below the last size-1 row plus its cell height and the gap,
        // left-aligned with size 1 even when centred.
        QCOMPARE(layout.size2[0].y, 40 + 380 + 40);
        QCOMPARE(layout.size2[0].x, 245);
        QCOMPARE(layout.size2[1].x, 245 + 350 + 15);
        QCOMPARE(layout.size2[0].height, 520);
        QCOMPARE(layout.size2[0].ordinal, 0);
    }

    void twoSizeWithoutSize1RowsStartsAtZero()
    {
        LayoutTemplate t;
        t.twoSize = 1;
        t.topMargin = 100;
        t.gap = 5;
        t.size1 = {300, 200, 2, 0, 0, 0};
        t.size2 = {100, 100, 1, 2, 0, 7};
        const SheetLayout layout = computeSheetLayout(t, false);
        QCOMPARE(layout.capacity, 0);
        QVERIFY(layout.size1.isEmpty());
        QCOMPARE(layout.size2.size(), 2);
        QCOMPARE(layout.size2[0].y, 0 + 300 + 5);
        QCOMPARE(layout.size2[1].y, 305 + 100 + 7);
    }

    void zeroAndNegativeCountsGiveNoCells()
    {
        LayoutTemplate t = workedExample();
        t.size1.countAcross = 0;
        QCOMPARE(computeSheetLayout(t, false).size1.size(), 0);
        t.size1.countAcross = -3;
        const SheetLayout layout = computeSheetLayout(t, false);
        QCOMPARE(layout.size1.size(), 0);
        PendingSheet sheet{0, 4};
        QVERIFY(planNextFreeCells(layout, t, sheet).isEmpty());
        QCOMPARE(sheet.copiesLeft, 4);

        // No columns end the pass at once, however many rows: a default
        // template like this would otherwise hang every start.
        t.size1.countAcross = 0;
        t.size1.countDown = std::numeric_limits<qint32>::max();
        auto cells = std::async(std::launch::async,
                                [t] { return computeSheetLayout(t, true).size1.size(); });
        if (cells.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            qFatal("a template with no columns did not finish its layout within 5 s");
        QCOMPARE(cells.get(), 0);
    }

    void negativeDistancesOverlap()
    {
        LayoutTemplate t = workedExample();
        t.size1.hDistance = -100;
        const SheetLayout layout = computeSheetLayout(t, false);
        QCOMPARE(layout.size1[1].x, 10 + 350 - 100);
    }

    void fillPlan_data()
    {
        QTest::addColumn<int>("filled");
        QTest::addColumn<int>("copies");
        QTest::addColumn<QList<int>>("expectedCells");
        QTest::addColumn<int>("filledAfter");
        QTest::addColumn<int>("copiesAfter");
        QTest::newRow("first photo") << 0 << 3 << QList<int>{1, 2, 3} << 3 << 0;
        QTest::newRow("fills the last two") << 6 << 3 << QList<int>{7, 8} << 8 << 1;
        QTest::newRow("no copies") << 2 << 0 << QList<int>{} << 2 << 0;
        QTest::newRow("above capacity") << 9 << 3 << QList<int>{} << 9 << 3;
        QTest::newRow("second row") << 4 << 4 << QList<int>{5, 6, 7, 8} << 8 << 0;
        QTest::newRow("crosses a row") << 3 << 2 << QList<int>{4, 5} << 5 << 0;
    }
    void fillPlan()
    {
        QFETCH(int, filled);
        QFETCH(int, copies);
        QFETCH(QList<int>, expectedCells);
        QFETCH(int, filledAfter);
        QFETCH(int, copiesAfter);
        const LayoutTemplate t = workedExample();
        const SheetLayout layout = computeSheetLayout(t, true);
        PendingSheet sheet{filled, copies};
        QCOMPARE(ordinals(layout, planNextFreeCells(layout, t, sheet)), expectedCells);
        QCOMPARE(sheet.filledCells, filledAfter);
        QCOMPARE(sheet.copiesLeft, copiesAfter);
    }

    void absurdCountsStayBounded()
    {
        // A typo of 32767 × 32767 must neither hang nor exhaust memory; the
        // counters still count every cell.
        LayoutTemplate t = workedExample();
        t.size1.countAcross = 32767;
        t.size1.countDown = 32767;
        const SheetLayout layout = computeSheetLayout(t, false);
        QCOMPARE(layout.capacity, 32767 * 32767);
        QVERIFY(layout.size1.size() <= 1'000'000);
        QCOMPARE(layout.size1.last().ordinal, layout.size1.size());
        PendingSheet sheet{0, 5};
        QCOMPARE(planNextFreeCells(layout, t, sheet).size(), 5);
        QCOMPARE(sheet.filledCells, 5);
        sheet.copiesLeft = -1; // "not 0": every free cell
        planNextFreeCells(layout, t, sheet);
        QCOMPARE(sheet.filledCells, layout.capacity);
        QCOMPARE(sheet.copiesLeft, -1 - (layout.capacity - 5));
    }

    void wholeSheetPlanLeavesCopies()
    {
        const LayoutTemplate t = workedExample();
        const SheetLayout layout = computeSheetLayout(t, true);
        PendingSheet sheet{3, 5};
        QCOMPARE(planWholeSheet(layout, sheet).size(), 8);
        QCOMPARE(sheet.filledCells, 8);
        QCOMPARE(sheet.copiesLeft, 5);
    }
};

QTEST_MAIN(TestSheetGeometry)
#include "tst_sheetgeometry.moc"
