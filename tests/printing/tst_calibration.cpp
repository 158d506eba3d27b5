#include "core/Gbk.h"
#include "printing/Calibration.h"
#include "testutils.h"

#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(vellora::PrinterCalibration)

using namespace vellora;
using namespace vellora::test;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool nearly(double a, double b, double tolerance = 1e-6)
{
    return std::abs(a - b) <= tolerance;
}

QString text(const PrinterCalibration& c)
{
    return QStringLiteral("%1 %2 %3 %4")
        .arg(c.scaleX, 0, 'f', 7)
        .arg(c.scaleY, 0, 'f', 7)
        .arg(c.offsetXMm, 0, 'f', 7)
        .arg(c.offsetYMm, 0, 'f', 7);
}

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A printer that draws a length d as s·d and shifts everything by e, on
    // paper whose printable area begins 3 mm / 4 mm from the edges, printed
    // the sheet with `printedWith`; the crosses (at 15 mm) and the 100 mm
    // lines measured as such a printer makes them. The calibration that
    // cancels it is 1/s and −e/s, whatever was in effect when it printed.
    void derivesTheScaleAndOffsetThatCancelThePrinter_data()
    {
        QTest::addColumn<double>("sx");
        QTest::addColumn<double>("sy");
        QTest::addColumn<double>("ex");
        QTest::addColumn<double>("ey");
        QTest::addColumn<PrinterCalibration>("printedWith");
        QTest::addColumn<bool>("crosses");
        QTest::newRow("true printer") << 1.0 << 1.0 << 0.0 << 0.0 << PrinterCalibration{} << true;
        QTest::newRow("first calibration")
            << 0.99 << 1.005 << 0.5 << -0.3 << PrinterCalibration{} << true;
        QTest::newRow("checked again with a calibration in effect")
            << 0.99 << 1.005 << 0.5 << -0.3 << PrinterCalibration{1.01, 0.995, 1.2, -0.8} << true;
        QTest::newRow("lines only: the offset stays")
            << 0.99 << 1.005 << 0.5 << -0.3 << PrinterCalibration{1.0, 1.0, 1.2, -0.8} << false;
    }

    void derivesTheScaleAndOffsetThatCancelThePrinter()
    {
        QFETCH(double, sx);
        QFETCH(double, sy);
        QFETCH(double, ex);
        QFETCH(double, ey);
        QFETCH(PrinterCalibration, printedWith);
        QFETCH(bool, crosses);
        const double left = 3.0;
        const double top = 4.0;
        CalibrationMeasurement measured;
        measured.lineXMm = sx * printedWith.scaleX * 100;
        measured.lineYMm = sy * printedWith.scaleY * 100;
        if (crosses) {
            measured.crossLeftMm =
                left + ex + sx * (printedWith.offsetXMm + printedWith.scaleX * 15);
            measured.crossTopMm = top + ey + sy * (printedWith.offsetYMm + printedWith.scaleY * 15);
        }
        const CalibrationResult result = deriveCalibration(measured, printedWith, left, top);
        QVERIFY2(result.ok, qPrintable(result.error));
        const PrinterCalibration& c = result.calibration;
        const double offsetX = crosses ? -ex / sx : printedWith.offsetXMm;
        const double offsetY = crosses ? -ey / sy : printedWith.offsetYMm;
        QVERIFY2(nearly(c.scaleX, 1 / sx) && nearly(c.scaleY, 1 / sy) &&
                     nearly(c.offsetXMm, offsetX) && nearly(c.offsetYMm, offsetY),
                 qPrintable(text(c)));
    }

    // Implausible measures are refused with a message and never stored; the
    // limits themselves (95 %, 105 %, 10 mm) pass.
    void limitsRefuseImplausibleCalibrations_data()
    {
        QTest::addColumn<PrinterCalibration>("calibration");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("101 % x 99.5 %, 1.2 / -0.8 mm")
            << PrinterCalibration{1.01, 0.995, 1.2, -0.8} << true;
        QTest::newRow("exactly 95 % and 105 %, -10 / 10 mm")
            << PrinterCalibration{0.95, 1.05, -10, 10} << true;
        QTest::newRow("x 94.9 %") << PrinterCalibration{0.949, 1, 0, 0} << false;
        QTest::newRow("y 105.1 %") << PrinterCalibration{1, 1.051, 0, 0} << false;
        QTest::newRow("offset x 10.1 mm") << PrinterCalibration{1, 1, 10.1, 0} << false;
        QTest::newRow("not a number") << PrinterCalibration{qQNaN(), 1, 0, 0} << false;
    }

    void limitsRefuseImplausibleCalibrations()
    {
        QFETCH(PrinterCalibration, calibration);
        QFETCH(bool, accepted);
        TempProgramFolder program;
        const QString ini = program.file(QStringLiteral("配置.ini"));
        QString error;
        QCOMPARE(storePrinterCalibration(ini, QStringLiteral("Photo"), calibration, &error),
                 accepted);
        QCOMPARE(error.isEmpty(), accepted);
        QCOMPARE(readPrinterCalibration(ini, QStringLiteral("Photo")).has_value(), accepted);
        if (!accepted)
            QVERIFY(!QFile::exists(ini));

        // Measures that lead there are refused alike.
        if (calibration.offsetXMm == 0 && calibration.offsetYMm == 0) {
            const CalibrationResult derived = deriveCalibration(
                {100 / calibration.scaleX, 100 / calibration.scaleY, {}, {}}, {}, 0, 0);
            QCOMPARE(derived.ok, accepted);
        }
    }

    // Per queue, in a section of its own: the monitoring settings keep every
    // byte, one printer's calibration leaves another's alone, a reset one
    // reads as none, and a mangled entry reads as none.
    void storedPerPrinterInItsOwnSection()
    {
        TempProgramFolder program;
        const QString ini = program.file(QStringLiteral("配置.ini"));
        const QByteArray monitoring =
            toGbk(QStringLiteral("[监控文件夹]\r\n文件夹=/srv/照片/\r\n默认排版=一寸\r\n"));
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(monitoring);
        file.close();

        QString error;
        const PrinterCalibration photo{1.01, 0.995, 1.2, -0.8};
        QVERIFY2(storePrinterCalibration(ini, QStringLiteral("Photo"), photo, &error),
                 qPrintable(error));
        QVERIFY(
            storePrinterCalibration(ini, QStringLiteral("Office"), {0.98, 1.0, 0, 2.5}, &error));
        const QByteArray content = readAll(ini);
        QVERIFY2(content.startsWith(monitoring), content.constData());
        QVERIFY(content.contains(toGbk(QStringLiteral("[打印机校准]"))));

        // CUPS queue names do not depend on letter case, nor does the key.
        const std::optional<PrinterCalibration> read =
            readPrinterCalibration(ini, QStringLiteral("photo"));
        QVERIFY(read.has_value());
        QVERIFY2(nearly(read->scaleX, 1.01) && nearly(read->scaleY, 0.995) &&
                     nearly(read->offsetXMm, 1.2) && nearly(read->offsetYMm, -0.8),
                 qPrintable(text(*read)));
        QVERIFY(!readPrinterCalibration(ini, QStringLiteral("Elsewhere")).has_value());

        QVERIFY(resetPrinterCalibration(ini, QStringLiteral("Photo"), &error));
        QVERIFY(!readPrinterCalibration(ini, QStringLiteral("Photo")).has_value());
        QVERIFY(nearly(readPrinterCalibration(ini, QStringLiteral("Office"))->offsetYMm, 2.5));
        QVERIFY(readAll(ini).startsWith(monitoring));

        // Appended to the file, so in the last section, [打印机校准].
        const QList<QByteArray> mangled{"garbage", "101,99.5,1.2", "120,100,0,0", "100,100,0,12"};
        QVERIFY(file.open(QIODevice::Append));
        for (const QByteArray& value : mangled)
            file.write("Hand" + value + "=" + value + "\r\n");
        file.close();
        for (const QByteArray& value : mangled)
            QVERIFY2(!readPrinterCalibration(ini, "Hand" + QString::fromLatin1(value)).has_value(),
                     value.constData());
    }
};

QTEST_MAIN(TestCalibration)
#include "tst_calibration.moc"
