#include "utility/displayscaling.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QtTest>

using utility::ScreenFacts;

static ScreenFacts screen(int width, qreal dpi)
{
    return { QRect(0, 0, width, width * 9 / 16), dpi, dpi };
}

class TestDisplayScaling : public QObject
{
    Q_OBJECT

private slots:
    // Every size of the dialog is scaled by this factor: a wrong one gives a dialog that is cut
    // off or lost on the user's screen.
    void factor_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<qreal>("dpi");
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("of140");
        QTest::newRow("1920 at 96 dpi") << 1920 << 96.0 << 1920 / 1440.0 << 186;
        QTest::newRow("3840 at 163 dpi: capped at 1.5") << 3840 << 163.0 << 1.5 << 210;
        QTest::newRow("1440 at 199.8 dpi: upper bound moves, 1.0 stays") << 1440 << 199.8 << 1.0 << 140;
        QTest::newRow("800 at 111 dpi: raised to 0.66") << 800 << 111.0 << 0.66 << 92;
        QTest::newRow("800 at 50 dpi: lower bound moves down") << 800 << 50.0 << 800 / 1440.0 << 77;
        QTest::newRow("4000 at 300.9 dpi: capped at truncated dpi/111") << 4000 << 300.9 << 300 / 111.0 << 378;
        QTest::newRow("720 at 55 dpi: half") << 720 << 55.0 << 0.5 << 70;
        QTest::newRow("no usable screen") << 0 << 0.0 << 0.0 << 1;
    }

    void factor()
    {
        QFETCH(int, width);
        QFETCH(qreal, dpi);
        QFETCH(double, factor);
        QFETCH(int, of140);
        const double f = utility::scaleFactor(screen(width, dpi));
        QVERIFY2(qAbs(f - factor) < 1e-9, qPrintable(QString::number(f)));
        QCOMPARE(utility::scaledSize(140, 0, f), QSize(of140, 0));
        // No length disappears: the smallest and a negative one still take a pixel; zero stays.
        QCOMPARE(utility::scaledSize(0, -7, f), QSize(0, 1));
        QVERIFY(utility::scaledSize(1, 1, f).width() >= 1);
    }

    void styleSheet_data()
    {
        QTest::addColumn<QString>("system");
        QTest::addColumn<qreal>("dpi");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        // At 1920 pixels: pxSize by 4/3, fxSize by dpi/111 (on Windows 7 by 4/3 as well).
        QTest::newRow("whole tokens, longer ones first") << "10" << 96.0 << "a:40pxSize 140pxSize 0pxSize;" << "a:53px 186px 0px;";
        QTest::newRow("minus sign stays in front") << "10" << 96.0 << "margin:-1pxSize;top:-40pxSize;" << "margin:-1px;top:-53px;";
        QTest::newRow("400 is the last one") << "10" << 96.0 << "a:400pxSize;b:401pxSize;c:500pxSize;" << "a:533px;b:401pxSize;c:500pxSize;";
        QTest::newRow("1140 is not split") << "10" << 96.0 << "width:1140pxSize;" << "width:1140pxSize;";
        QTest::newRow("fxSize by dpi") << "10" << 96.0 << "font:12fxSize;w:140fxSize;w:999fxSize;" << "font:10px;w:121px;w:999fxSize;";
        QTest::newRow("fxSize at 222 dpi: doubled, zero stays") << "10" << 222.0 << "a:50fxSize;b:0fxSize;" << "a:100px;b:0px;";
        QTest::newRow("fxSize on Windows 7: the width rule") << "7" << 222.0 << "a:140fxSize;" << "a:186px;";
        QTest::newRow("case-sensitive, plain px untouched") << "10" << 96.0 << "w:140PXSIZE;h:24px;" << "w:140PXSIZE;h:24px;";
    }

    void styleSheet()
    {
        QFETCH(QString, system);
        QFETCH(qreal, dpi);
        QFETCH(QString, input);
        QTEST(utility::scaleStyleSheet(input, screen(1920, dpi), system), "expected");
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
