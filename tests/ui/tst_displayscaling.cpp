#include "utility/displayscaling.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QtTest>

using utility::ScreenFacts;

class TestDisplayScaling : public QObject
{
    Q_OBJECT

private slots:
    // Every size of the dialog, and the skin's pxSize and fxSize tokens, are scaled by these rules: a
    // wrong one gives a dialog that is cut off or lost on the user's screen.
    void scaling_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<qreal>("dpi");
        QTest::addColumn<QString>("system");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QString>("scaled"); // pxSize by the factor, fxSize by dpi/111
        QTest::newRow("1920 at 96 dpi: whole tokens only")
                << 1920 << 96.0 << "10" << 1920 / 1440.0
                << "a:40pxSize 140pxSize 0pxSize;m:-1pxSize;f:12fxSize 140fxSize;w:140PXSIZE;h:24px;"
                << "a:53px 186px 0px;m:-1px;f:10px 121px;w:140PXSIZE;h:24px;";
        QTest::newRow("400 is the last one, 1140 is not split")
                << 1920 << 96.0 << "10" << 1920 / 1440.0 << "a:400pxSize;b:401pxSize;c:1140pxSize;d:999fxSize;"
                << "a:533px;b:401pxSize;c:1140pxSize;d:999fxSize;";
        QTest::newRow("3840 at 163 dpi: capped at 1.5") << 3840 << 163.0 << "10" << 1.5 << "w:140pxSize;"
                                                        << "w:210px;";
        QTest::newRow("800 at 111 dpi: raised to 0.66") << 800 << 111.0 << "10" << 0.66 << "w:140pxSize;"
                                                        << "w:92px;";
        QTest::newRow("800 at 50 dpi: lower bound moves down") << 800 << 50.0 << "10" << 800 / 1440.0 << "w:140pxSize;"
                                                               << "w:77px;";
        QTest::newRow("4000 at 300.9 dpi: capped at truncated dpi/111")
                << 4000 << 300.9 << "10" << 300 / 111.0 << "w:140pxSize;f:140fxSize;"
                << "w:378px;f:378px;";
        QTest::newRow("no usable screen") << 0 << 0.0 << "10" << 0.0 << "w:140pxSize;"
                                          << "w:1px;";
        QTest::newRow("fxSize at 222 dpi: doubled, zero stays")
                << 1920 << 222.0 << "10" << 1920 / 1440.0 << "a:50fxSize;b:0fxSize;"
                << "a:100px;b:0px;";
        QTest::newRow("fxSize on Windows 7: the width rule") << 1920 << 222.0 << "7" << 1920 / 1440.0 << "a:140fxSize;"
                                                             << "a:186px;";
    }

    void scaling()
    {
        QFETCH(int, width);
        QFETCH(qreal, dpi);
        QFETCH(QString, system);
        QFETCH(QString, sheet);
        const ScreenFacts screen{ QRect(0, 0, width, width * 9 / 16), dpi, dpi };
        const double factor = utility::scaleFactor(screen);
        QTEST(factor, "factor");
        QTEST(utility::scaleStyleSheet(sheet, screen, system), "scaled");
        // No length disappears: the smallest and a negative one still take a pixel; zero stays.
        QCOMPARE(utility::scaledSize(0, -7, factor), QSize(0, 1));
        QVERIFY(utility::scaledSize(1, 1, factor).width() >= 1);
    }

    // The process-wide functions apply the rules to the first screen; a window is centred on it.
    void processUsesFirstScreen()
    {
        const QScreen *first = QGuiApplication::screens().value(0);
        QVERIFY(first);
        const ScreenFacts facts{ first->geometry(), first->physicalDotsPerInchX(), first->physicalDotsPerInchY() };
        QCOMPARE(utility::scaledValue(140), utility::scaledSize(140, 140, utility::scaleFactor(facts)).width());
        QWidget widget;
        widget.setFixedSize(200, 100);
        utility::centerOnPrimaryScreen(&widget);
        QCOMPARE(widget.pos(), utility::centeredPosition(first->geometry().size(), QSize(200, 100)));
        QCOMPARE(utility::centeredPosition(QSize(1920, 1080), QSize(401, 301)), QPoint(759, 389));
        QCOMPARE(utility::centeredPosition(QSize(800, 600), QSize(1000, 700)), QPoint(-100, -50));
    }
};

QTEST_MAIN(TestDisplayScaling)
#include "tst_displayscaling.moc"
