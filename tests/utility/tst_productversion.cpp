#include "common/testenv.h"
#include "utility/fileutils.h"
#include "utility/versionresource.h"
#include "versioninfo/versioninfowriter.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>

class TestProductVersion : public QObject
{
    Q_OBJECT

private slots:
    void peFiles_data();
    void peFiles();
    void embeddedBlock_data();
    void embeddedBlock();
    void unreadablePaths_data();
    void unreadablePaths();
    void writerStrings();
    void truncatedInput_data();
    void truncatedInput();
    void corruptedBlock();
    void corruptedPeHeaders_data();
    void corruptedPeHeaders();
    void randomBytes();

private:
    static QString read(const QByteArray &bytes)
    {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        return utility::productVersionFromDevice(buffer);
    }
    static QString pePath(const QString &name)
    {
#ifdef SOLUPDATE_PE_DIR
        return QStringLiteral(SOLUPDATE_PE_DIR "/") + name;
#else
        Q_UNUSED(name);
        return QString();
#endif
    }
    static QByteArray utf16(const QString &text)
    {
        return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    }

    QTemporaryDir m_dir;
};

void TestProductVersion::peFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");
    QTest::newRow("English, Unicode") << "en_us.exe" << "1.2.3.4";
    QTest::newRow("Chinese GBK, upper-case table name, other table first") << "zh_cn.exe" << "5.6.7 beta";
    QTest::newRow("first of two translations") << "two_translations.exe" << "2.0.0.2";
    QTest::newRow("no ProductVersion") << "no_product_version.exe" << "";
    QTest::newRow("no resource at all") << "no_resource.exe" << "";
    QTest::newRow("PE32, Japanese Shift JIS") << "japanese_pe32.dll" << "4.3.2.1";
}

void TestProductVersion::peFiles()
{
    QFETCH(QString, file);
    QFETCH(QString, expected);
    const QString path = pePath(file);
    if (path.isEmpty())
        QSKIP("the mingw-w64 tools were not found at configure time, so no PE files were made");
    QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    QCOMPARE(utility::fileProductVersion(path), expected);
}

void TestProductVersion::embeddedBlock_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    const QByteArray block = testsupport::versionInfoBlock(QStringLiteral("3.1.4.1"));
    for (int offset = 0; offset < 4; ++offset) {
        QTest::addRow("block at offset %d", offset)
            << QByteArray(offset, 'x') + block + QByteArray("tail") << "3.1.4.1";
    }
    QTest::newRow("Chinese GBK") << QByteArray("ELF") + testsupport::versionInfoBlock("2.0.1", 0x0804, 936) << "2.0.1";
    QTest::newRow("Japanese Shift JIS") << testsupport::versionInfoBlock("7.0.0.12", 0x0411, 932) << "7.0.0.12";
    QTest::newRow("version with commas") << testsupport::versionInfoBlock("1, 2, 3, 4") << "1, 2, 3, 4";

    // The key of the block straddles the 1 MiB boundary of the scan.
    const int keyOffset = 6;
    for (int cut : { 2, 17, 31 }) {
        QTest::addRow("key cut by chunk boundary at %d", cut)
            << QByteArray((1 << 20) - keyOffset - cut, '\0') + block << "3.1.4.1";
    }
    QTest::newRow("block far into a large file") << QByteArray(3 << 20, '\x90') + block << "3.1.4.1";

    const QByteArray decoy = utf16(QStringLiteral("VS_VERSION_INFO")) + QByteArray(2, '\0');
    QTest::newRow("key text without a block before the block")
        << QByteArray("\xff\xff\xff\xff\xff\xff", 6) + decoy + QByteArray("junk") + block << "3.1.4.1";
    QTest::newRow("key text at the very start") << decoy + block << "3.1.4.1";
    QTest::newRow("first of two blocks")
        << block + testsupport::versionInfoBlock(QStringLiteral("9.9.9.9")) << "3.1.4.1";

    testsupport::VersionInfoContent noTranslation;
    noTranslation.strings << qMakePair(QStringLiteral("ProductVersion"), QStringLiteral("1.0.0"));
    noTranslation.withTranslation = false;
    QTest::newRow("no translation list: the first block decides")
        << testsupport::versionInfoBlock(noTranslation) + block << "";

    testsupport::VersionInfoContent noProduct;
    noProduct.strings << qMakePair(QStringLiteral("FileVersion"), QStringLiteral("1.0.0"));
    QTest::newRow("no ProductVersion") << testsupport::versionInfoBlock(noProduct) << "";
    QTest::newRow("empty ProductVersion") << testsupport::versionInfoBlock(QString()) << "";
    QTest::newRow("no block") << QByteArray(5000, 'a') << "";
    QTest::newRow("empty file") << QByteArray() << "";
    QTest::newRow("MZ without PE header: scanned")
        << QByteArray("MZ") + QByteArray(62, '\0') + block << "3.1.4.1";
}

void TestProductVersion::embeddedBlock()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString path = m_dir.filePath(QStringLiteral("client"));
    QVERIFY(testsupport::writeFile(path, content));
    QCOMPARE(utility::fileProductVersion(path), expected);
    QCOMPARE(read(content), expected);
}

void TestProductVersion::unreadablePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty path") << QString();
    QTest::newRow("missing file") << m_dir.filePath(QStringLiteral("missing"));
    QTest::newRow("directory") << m_dir.path();
    // Opening a FIFO for reading would wait for a writer forever.
    const QString fifo = m_dir.filePath(QStringLiteral("fifo"));
    ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
    QTest::newRow("fifo") << fifo;
}

void TestProductVersion::unreadablePaths()
{
    QFETCH(QString, path);
    QCOMPARE(utility::fileProductVersion(path), QString());
}

void TestProductVersion::writerStrings()
{
    testsupport::VersionInfoContent content;
    content.strings << qMakePair(QStringLiteral("CompanyName"), QStringLiteral("测试 Company"))
                    << qMakePair(QStringLiteral("FileVersion"), QStringLiteral("8.8"))
                    << qMakePair(QStringLiteral("ProductVersion"), QStringLiteral("1.22.333.4444"))
                    << qMakePair(QStringLiteral("Comments"), QStringLiteral("odd"));
    content.language = 0x0c0a;
    content.codePage = 1252;
    const QByteArray block = testsupport::versionInfoBlock(content);
    for (const auto &pair : content.strings)
        QCOMPARE(utility::versionInfoString(block, pair.first), pair.second);
    QCOMPARE(utility::versionInfoString(block, QStringLiteral("productversion")), QStringLiteral("1.22.333.4444"));
    QCOMPARE(utility::versionInfoString(block, QStringLiteral("Missing")), QString());
    QCOMPARE(utility::versionInfoString(block, QString()), QString());

    const QString path = m_dir.filePath(QStringLiteral("sub/fake_client"));
    QVERIFY(testsupport::writeFileWithVersionInfo(path, QStringLiteral("6.5.4.3")));
    QVERIFY(QFileInfo(path).isExecutable());
    QCOMPARE(utility::fileProductVersion(path), QStringLiteral("6.5.4.3"));
}

void TestProductVersion::truncatedInput_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::newRow("written block") << testsupport::versionInfoBlock(QStringLiteral("3.1.4.1")) << "3.1.4.1";
    const QString path = pePath(QStringLiteral("en_us.exe"));
    if (!path.isEmpty())
        QTest::newRow("PE image") << testsupport::readFile(path) << "1.2.3.4";
}

// Every prefix of a good input reads as nothing, as the full value, or as a cut value; never
// more, and never a crash.
void TestProductVersion::truncatedInput()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QVERIFY(!content.isEmpty());
    QCOMPARE(read(content), expected);
    for (int size = 0; size < content.size(); ++size) {
        const QString got = read(content.left(size));
        if (!expected.startsWith(got))
            QFAIL(qPrintable(QStringLiteral("prefix of %1 bytes read as \"%2\"").arg(size).arg(got)));
    }
}

// Overwriting any single byte outside the value text and its terminator gives nothing, the value, or a cut value.
void TestProductVersion::corruptedBlock()
{
    const QString expected = QStringLiteral("3.1.4.1");
    const QByteArray block = testsupport::versionInfoBlock(expected);
    const int valueAt = block.indexOf(utf16(expected));
    QVERIFY(valueAt > 0);
    for (int pos = 0; pos < block.size(); ++pos) {
        if (pos >= valueAt && pos < valueAt + 2 * (expected.size() + 1))
            continue;
        for (const char byte : { '\x00', '\x01', '\x7f', '\xff' }) {
            QByteArray bad = block;
            bad[pos] = byte;
            const QString got = read(bad);
            if (!expected.startsWith(got))
                QFAIL(qPrintable(QStringLiteral("byte %1 set to %2 read as \"%3\"").arg(pos).arg(int(uchar(byte))).arg(got)));
        }
    }
}

void TestProductVersion::corruptedPeHeaders_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<quint32>("value");
    QTest::newRow("e_lfanew past the end") << "lfanew" << 0xfffffff0u;
    QTest::newRow("e_lfanew into the DOS header") << "lfanew" << 2u;
    QTest::newRow("65535 sections") << "sections" << 0xffffu;
    QTest::newRow("no sections") << "sections" << 0u;
    QTest::newRow("huge optional header") << "optional" << 0xffffu;
    QTest::newRow("tiny optional header") << "optional" << 4u;
    QTest::newRow("unknown optional magic") << "magic" << 0x1234u;
    QTest::newRow("resource rva past every section") << "resourceRva" << 0xfffffff0u;
    QTest::newRow("resource directory loops to itself") << "rootEntryData" << 0x80000000u;
    QTest::newRow("65535 root entries") << "rootCount" << 0xffffu;
    QTest::newRow("section raw size huge") << "rawSize" << 0xffffffffu;
    QTest::newRow("section raw offset past the end") << "rawOffset" << 0x7ffffff0u;
}

// Fields of a real image set to hostile values: the reader returns nothing or the right value.
void TestProductVersion::corruptedPeHeaders()
{
    QFETCH(QString, field);
    QFETCH(quint32, value);
    const QString path = pePath(QStringLiteral("en_us.exe"));
    if (path.isEmpty())
        QSKIP("the mingw-w64 tools were not found at configure time, so no PE files were made");
    QByteArray image = testsupport::readFile(path);
    QVERIFY(image.size() > 1024);
    auto u16 = [&](int at) { return qFromLittleEndian<quint16>(image.constData() + at); };
    auto u32 = [&](int at) { return qFromLittleEndian<quint32>(image.constData() + at); };
    auto put16 = [&](int at, quint32 v) { qToLittleEndian(quint16(v), image.data() + at); };
    auto put32 = [&](int at, quint32 v) { qToLittleEndian(v, image.data() + at); };

    const int pe = int(u32(0x3c));
    const int optional = pe + 24;
    const int sectionTable = optional + u16(pe + 20);
    const int sectionCount = u16(pe + 6);
    QCOMPARE(u16(optional), quint16(0x20b));
    const int resourceEntry = optional + 112 + 16;
    int rsrc = -1;
    for (int i = 0; i < sectionCount; ++i) {
        if (image.mid(sectionTable + 40 * i, 5) == ".rsrc")
            rsrc = sectionTable + 40 * i;
    }
    QVERIFY(rsrc > 0);
    const int rsrcData = int(u32(rsrc + 20));

    if (field == QLatin1String("lfanew"))
        put32(0x3c, value);
    else if (field == QLatin1String("sections"))
        put16(pe + 6, value);
    else if (field == QLatin1String("optional"))
        put16(pe + 20, value);
    else if (field == QLatin1String("magic"))
        put16(optional, value);
    else if (field == QLatin1String("resourceRva"))
        put32(resourceEntry, value);
    else if (field == QLatin1String("rootEntryData"))
        put32(rsrcData + 16 + 4, value);
    else if (field == QLatin1String("rootCount"))
        put16(rsrcData + 14, value);
    else if (field == QLatin1String("rawSize"))
        put32(rsrc + 16, value);
    else if (field == QLatin1String("rawOffset"))
        put32(rsrc + 20, value);

    const QString got = read(image);
    QVERIFY2(got.isEmpty() || got == QLatin1String("1.2.3.4"), qPrintable(got));
}

// Random bytes, and random files that start like a PE image, give a result without a crash or a
// hang; whatever is read is no longer than the input could hold.
void TestProductVersion::randomBytes()
{
    QRandomGenerator random(20240101);
    const QByteArray block = testsupport::versionInfoBlock(QStringLiteral("3.1.4.1"));
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes(int(random.bounded(1, 600)), '\0');
        for (char &c : bytes)
            c = char(random.bounded(256));
        switch (round % 3) {
        case 0:
            break;
        case 1: // a block with random damage
            bytes = block;
            for (int i = 0; i < 4; ++i)
                bytes[int(random.bounded(block.size()))] = char(random.bounded(256));
            break;
        case 2: // an MZ head pointing into the random rest
            bytes.replace(0, 2, "MZ");
            if (bytes.size() > 0x40) {
                char lfanew[4];
                qToLittleEndian(quint32(random.bounded(bytes.size())), lfanew);
                bytes.replace(0x3c, 4, lfanew, 4);
            }
            break;
        }
        const QString got = read(bytes);
        QVERIFY(got.size() * 2 <= bytes.size());
    }
}

QTEST_GUILESS_MAIN(TestProductVersion)
#include "tst_productversion.moc"
