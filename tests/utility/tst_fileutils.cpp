#include <QtTest>
class TestFileUtils : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
