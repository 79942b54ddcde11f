#include "common/testenv.h"
#include "sample/versioninfowriter.h"
#include "utility/fileutils.h"
#include "utility/versionresource.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using sample::versionInfoBlock;

class TestProductVersion : public QObject
{
    Q_OBJECT

private slots:
    // The version the updater reads from the master's executable decides which package it asks for.
    void productVersion_data()
    {
        QTest::addColumn<QString>("peFile"); // a real image made by the mingw-w64 tools, else content
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("PE, English") << "en_us.exe" << QByteArray() << "1.2.3.4";
        QTest::newRow("PE, Chinese GBK, other table first") << "zh_cn.exe" << QByteArray() << "5.6.7 beta";
        QTest::newRow("PE, first of two translations") << "two_translations.exe" << QByteArray() << "2.0.0.2";
        QTest::newRow("PE without ProductVersion") << "no_product_version.exe" << QByteArray() << "";
        QTest::newRow("PE without resource") << "no_resource.exe" << QByteArray() << "";
        QTest::newRow("PE32, Japanese Shift JIS") << "japanese_pe32.dll" << QByteArray() << "4.3.2.1";
        const QByteArray block = versionInfoBlock("3.1.4.1");
        const QByteArray decoy = QByteArray::fromRawData(reinterpret_cast<const char *>(u"VS_VERSION_INFO"), 32);
        const struct
        {
            const char *name;
            QByteArray content;
            const char *expected;
        } blocks[] = {
            { "block at an odd offset", "ELF" + block + "tail", "3.1.4.1" },
            { "key cut by the 1 MiB read boundary", QByteArray((1 << 20) - 6 - 17, '\0') + block, "3.1.4.1" },
            { "block far into a large file", QByteArray(3 << 20, '\x90') + block, "3.1.4.1" },
            { "key text without a block first", QByteArray(6, '\xff') + decoy + "junk" + block, "3.1.4.1" },
            { "first of two blocks", block + versionInfoBlock("9.9.9.9"), "3.1.4.1" },
            { "MZ without PE header: scanned", "MZ" + QByteArray(62, '\0') + block, "3.1.4.1" },
            { "no translation list: the first block decides",
                    versionInfoBlock({ { { "ProductVersion", "1.0.0" } }, 0x0409, 1200, false }) + block, "" },
            { "empty ProductVersion", versionInfoBlock(QString()), "" },
            { "no block", QByteArray(5000, 'a'), "" },
        };
        for (const auto &row : blocks)
            QTest::newRow(row.name) << QString() << row.content << row.expected;
    }

    void productVersion()
    {
        QFETCH(QString, peFile);
        QFETCH(QByteArray, content);
        if (!peFile.isEmpty() && peDir().isEmpty())
            QSKIP("the mingw-w64 tools were not found at configure time, so no PE files were made");
#ifdef Q_OS_WIN
        if (peFile.isEmpty())
            QSKIP("version.dll reads PE images only; a block inside another file is the portable reader's");
#endif
        const QString path = peFile.isEmpty() ? m_dir.filePath("client") : peDir() + '/' + peFile;
        QVERIFY(!peFile.isEmpty() || testsupport::writeFile(path, content));
        QTEST(utility::fileProductVersion(path), "expected");
    }

    void unreadablePath()
    {
#ifndef Q_OS_WIN
        // Opening a FIFO for reading would wait for a writer forever.
        ::mkfifo(QFile::encodeName(m_dir.filePath("fifo")).constData(), 0600);
#endif
        for (const QString &path : { QString(), m_dir.filePath("missing"), m_dir.path(), m_dir.filePath("fifo") })
            QCOMPARE(utility::fileProductVersion(path), QString());
    }

    // Every prefix, and every single spoilt byte outside the value (headers, offsets, counts), reads
    // as nothing, the value, or a cut value: never something else, never a crash or a hang.
    void damagedInput()
    {
        QList<QByteArray> inputs{ versionInfoBlock("3.1.4.1") };
        if (QFileInfo::exists(peDir() + "/en_us.exe"))
            inputs << testsupport::readFile(peDir() + "/en_us.exe");
        for (const QByteArray &content : inputs) {
            const QString expected = read(content);
            QVERIFY(!expected.isEmpty());
            const int valueAt = content.lastIndexOf(
                    QByteArray::fromRawData(reinterpret_cast<const char *>(expected.utf16()), expected.size() * 2));
            for (int pos = 0; pos < content.size(); ++pos) {
                QVERIFY2(expected.startsWith(read(content.left(pos))), qPrintable(QString::number(pos)));
                for (const char byte : { '\x00', '\x01', '\x7f', '\xff' }) {
                    QByteArray bad = content;
                    bad[pos] = byte;
                    if (pos < valueAt || pos >= valueAt + 2 * (expected.size() + 1))
                        QVERIFY2(expected.startsWith(read(bad)), qPrintable(QString::number(pos)));
                }
            }
        }
    }

private:
    static QString read(const QByteArray &bytes)
    {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        return utility::productVersionFromDevice(buffer);
    }
    // Empty when no PE files were made.
    static QString peDir() { return QStringLiteral(SOLUPDATE_PE_DIR); }

    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestProductVersion)
#include "tst_productversion.moc"
