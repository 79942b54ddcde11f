#include "utility/displayscaling.h"
#include "utility/sysinfo.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QWidget>
#include <QtTest>

using utility::ScreenFacts;
Q_DECLARE_METATYPE(utility::ScreenFacts)

namespace {

QList<ScreenFacts> oneScreen(int width, qreal dpi)
{
    return {{QRect(0, 0, width, width * 9 / 16), dpi, dpi}};
}

void useScreens(const QList<ScreenFacts> &screens)
{
    utility::setScreenSource([screens] { return screens; });
}

} // namespace

class TestDisplayScaling : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void factor_data();
    void factor();
    void noUsableScreen_data();
    void noUsableScreen();
    void factorIsComputedOnce();
    void selectScreen();
    void halfFactor();
    void dpiScaledSize_data();
    void dpiScaledSize();
    void styleSheet_data();
    void styleSheet();
    void center_data();
    void center();
    void centerWithoutScreen();
    void systemInformation();

private:
    QString m_realSystemName = solvaneGetSysInfo::getInstance()->systemName();
};

void TestDisplayScaling::cleanup()
{
    solvaneGetSysInfo::getInstance()->overrideSystemName(m_realSystemName);
    utility::setScreenSource({});
}

void TestDisplayScaling::factor_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<qreal>("dpi");
    QTest::addColumn<double>("factor");
    QTest::addColumn<int>("of1");
    QTest::addColumn<int>("of140");

    QTest::newRow("1920 at 96 dpi") << 1920 << 96.0 << 1920 / 1440.0 << 1 << 186;
    QTest::newRow("1024 at 96 dpi") << 1024 << 96.0 << 1024 / 1440.0 << 1 << 99;
    QTest::newRow("3840 at 163 dpi: capped at 1.5") << 3840 << 163.0 << 1.5 << 1 << 210;
    QTest::newRow("1440 at 199.8 dpi: upper bound moves, 1.0 stays") << 1440 << 199.8 << 1.0 << 1 << 140;
    QTest::newRow("reference screen") << 1440 << 111.0 << 1.0 << 1 << 140;
    QTest::newRow("800 at 111 dpi: raised to 0.66") << 800 << 111.0 << 0.66 << 1 << 92;
    QTest::newRow("800 at 50 dpi: lower bound moves down") << 800 << 50.0 << 800 / 1440.0 << 1 << 77;
    QTest::newRow("4000 at 300 dpi: capped at dpi/111") << 4000 << 300.0 << 300 / 111.0 << 2 << 378;
    QTest::newRow("fractional dpi is truncated") << 4000 << 300.9 << 300 / 111.0 << 2 << 378;
}

void TestDisplayScaling::factor()
{
    QFETCH(int, width);
    QFETCH(qreal, dpi);
    QFETCH(double, factor);
    QFETCH(int, of1);
    QFETCH(int, of140);

    useScreens(oneScreen(width, dpi));
    QVERIFY2(qAbs(utility::scaleFactor() - factor) < 1e-9, qPrintable(QString::number(utility::scaleFactor())));
    QCOMPARE(utility::scaledValue(0), 0);
    QCOMPARE(utility::scaledValue(1), of1);
    QCOMPARE(utility::scaledValue(140), of140);
    QCOMPARE(utility::scaledValueText(140), QString::number(of140));
    QCOMPARE(utility::scaledValue(-7), 1);
    QCOMPARE(utility::scaledSize(140, 0), QSize(of140, 0));
}

void TestDisplayScaling::noUsableScreen_data()
{
    QTest::addColumn<QList<ScreenFacts>>("screens");
    QTest::newRow("no screen at all") << QList<ScreenFacts>{};
    QTest::newRow("screen without width") << QList<ScreenFacts>{{QRect(0, 0, 0, 900), 96, 96}};
}

void TestDisplayScaling::noUsableScreen()
{
    QFETCH(QList<ScreenFacts>, screens);
    int reads = 0;
    utility::setScreenSource([&reads, screens] {
        ++reads;
        return screens;
    });

    QCOMPARE(utility::scaleFactor(), 0.0);
    QCOMPARE(utility::scaledValue(0), 0);
    QCOMPARE(utility::scaledValue(1), 1);
    QCOMPARE(utility::scaledValue(400), 1);
    QCOMPARE(utility::scaledSize(30, 40), QSize(1, 1));
    QVERIFY(!utility::selectScreen(0));
    // Nothing was cached, so every call looks at the screens again.
    const int before = reads;
    utility::scaleFactor();
    QVERIFY(reads > before);
}

void TestDisplayScaling::factorIsComputedOnce()
{
    int reads = 0;
    QList<ScreenFacts> screens = oneScreen(1920, 96);
    utility::setScreenSource([&reads, &screens] {
        ++reads;
        return screens;
    });
    const double first = utility::scaleFactor();
    QCOMPARE(reads, 1);
    // A later change of resolution does not change the factor of a running process.
    screens = oneScreen(3840, 163);
    QCOMPARE(utility::scaleFactor(), first);
    QCOMPARE(utility::scaledValue(140), 186);
    QCOMPARE(reads, 1);
}

void TestDisplayScaling::selectScreen()
{
    useScreens({{QRect(0, 0, 1920, 1080), 96, 96}, {QRect(1920, 0, 3840, 2160), 163, 163}});
    QVERIFY(!utility::selectScreen(2));
    utility::resetScreenCache();
    QVERIFY(utility::selectScreen(1));
    QCOMPARE(utility::scaleFactor(), 1.5);
}

void TestDisplayScaling::halfFactor()
{
    // 720 pixels at 55 dpi: a = 0.5, and 55/111 keeps the lower bound below it.
    useScreens(oneScreen(720, 55));
    QCOMPARE(utility::scaleFactor(), 0.5);
    QCOMPARE(utility::scaledValue(1), 1);
    QCOMPARE(utility::scaledValue(3), 1);
    QCOMPARE(utility::scaledValue(5), 2);
    QCOMPARE(utility::scaleStyleSheet(QStringLiteral("a:1pxSize;b:3pxSize;")), QStringLiteral("a:1px;b:1px;"));
}

void TestDisplayScaling::dpiScaledSize_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<int>("width");
    QTest::addColumn<qreal>("dpi");
    QTest::addColumn<QSize>("input");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("Windows 10 at 111 dpi: unchanged") << "10" << 1920 << 111.0 << QSize(140, 50) << QSize(140, 50);
    QTest::newRow("Windows 10 at 222 dpi: doubled") << "10" << 1920 << 222.0 << QSize(140, 50) << QSize(280, 100);
    QTest::newRow("Windows 10 at 96 dpi: truncated") << "10" << 1920 << 96.0 << QSize(12, 1) << QSize(10, 1);
    QTest::newRow("Windows 10: zero stays zero") << "10" << 1920 << 96.0 << QSize(0, 5) << QSize(0, 4);
    QTest::newRow("Windows 7 follows the width rule") << "7" << 1920 << 222.0 << QSize(140, 50) << QSize(186, 66);
}

void TestDisplayScaling::dpiScaledSize()
{
    QFETCH(QString, system);
    QFETCH(int, width);
    QFETCH(qreal, dpi);
    QFETCH(QSize, input);
    QFETCH(QSize, expected);

    solvaneGetSysInfo::getInstance()->overrideSystemName(system);
    useScreens(oneScreen(width, dpi));
    QCOMPARE(utility::dpiScaledSize(input.width(), input.height()), expected);
    QCOMPARE(utility::dpiScaledValue(input.width()), expected.width());
}

void TestDisplayScaling::styleSheet_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    // At 1920 pixels and 96 dpi: pxSize by 4/3, fxSize by 96/111.
    QTest::newRow("140 replaced whole") << "width:140pxSize;" << "width:186px;";
    QTest::newRow("0 becomes 0px") << "margin:0pxSize;" << "margin:0px;";
    QTest::newRow("minus sign stays in front") << "margin:-1pxSize;top:-40pxSize;" << "margin:-1px;top:-53px;";
    QTest::newRow("500 stays as it is") << "width:500pxSize;" << "width:500pxSize;";
    QTest::newRow("1140 is not split") << "width:1140pxSize;" << "width:1140pxSize;";
    QTest::newRow("400 is the last one") << "a:400pxSize;b:401pxSize;" << "a:533px;b:401pxSize;";
    QTest::newRow("fxSize by dpi") << "font:12fxSize;w:140fxSize;" << "font:10px;w:121px;";
    QTest::newRow("fxSize above 400 stays") << "w:999fxSize;" << "w:999fxSize;";
    QTest::newRow("shorter tokens next to longer ones")
            << "a:40pxSize 140pxSize 0pxSize 10pxSize;" << "a:53px 186px 0px 13px;";
    QTest::newRow("case-sensitive") << "w:140PXSIZE;w:140pxsize;" << "w:140PXSIZE;w:140pxsize;";
    QTest::newRow("plain px untouched") << "w:140px;h:24px;" << "w:140px;h:24px;";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("a whole rule")
            << "QPushButton#btnUpdate{min-width:140pxSize;border-radius:25pxSize;font:16pxSize \"Microsoft YaHei\";}"
            << "QPushButton#btnUpdate{min-width:186px;border-radius:33px;font:21px \"Microsoft YaHei\";}";
}

void TestDisplayScaling::styleSheet()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    solvaneGetSysInfo::getInstance()->overrideSystemName(QStringLiteral("10"));
    useScreens(oneScreen(1920, 96));
    QCOMPARE(utility::scaleStyleSheet(input), expected);
}

void TestDisplayScaling::center_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QPoint>("expected");

    QTest::newRow("even") << QRect(0, 0, 1920, 1080) << QSize(400, 300) << QPoint(760, 390);
    QTest::newRow("odd sizes round toward zero") << QRect(0, 0, 1920, 1080) << QSize(401, 301) << QPoint(759, 389);
    // The full geometry's size counts, not its position.
    QTest::newRow("screen not at the origin") << QRect(100, 50, 1440, 900) << QSize(500, 400) << QPoint(470, 250);
    QTest::newRow("widget larger than the screen") << QRect(0, 0, 800, 600) << QSize(1000, 700) << QPoint(-100, -50);
}

void TestDisplayScaling::center()
{
    QFETCH(QRect, screen);
    QFETCH(QSize, widget);
    QFETCH(QPoint, expected);

    useScreens({{screen, 96, 96}});
    QWidget w;
    w.setFixedSize(widget);
    utility::centerOnPrimaryScreen(&w);
    QCOMPARE(w.pos(), expected);
}

void TestDisplayScaling::centerWithoutScreen()
{
    useScreens({});
    QWidget w;
    w.move(12, 34);
    utility::centerOnPrimaryScreen(&w);
    utility::centerOnPrimaryScreen(nullptr);
    QCOMPARE(w.pos(), QPoint(12, 34));
}

void TestDisplayScaling::systemInformation()
{
    solvaneGetSysInfo *info = solvaneGetSysInfo::getInstance();
    QCOMPARE(info, solvaneGetSysInfo::getInstance());
    QCOMPARE(m_realSystemName, QSysInfo::productVersion());
    const solvaneGetSysInfo::Record &record = info->record();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+MB/\\d+MB$")).match(record.memory).hasMatch(),
             qPrintable(record.memory));
    QVERIFY(record.architecture == QLatin1String("x86") || record.architecture == QLatin1String("x64"));
    QVERIFY2(QRegularExpression(QStringLiteral("^(\\d+\\.\\d+\\.\\d+|Get Error)$")).match(record.systemVersion).hasMatch(),
             qPrintable(record.systemVersion));
    QCOMPARE(record.hostName, QHostInfo::localHostName());
    QVERIFY(!record.macAddress.contains(QLatin1Char(':')));
}

QTEST_MAIN(TestDisplayScaling)
#include "tst_displayscaling.moc"
