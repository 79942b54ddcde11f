#include "versionresource.h"

#include "utility/constants.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <vector>

namespace utility {

namespace {

constexpr int kNodeHeaderSize = 6; // wLength, wValueLength, wType
constexpr int kMaxBlockSize = 0xffff; // wLength is a 16-bit count
constexpr int kFixedFileInfoSize = 52; // VS_FIXEDFILEINFO
constexpr quint32 kFixedFileInfoSignature = 0xfeef04bd;
constexpr quint16 kTextType = 1;

constexpr quint32 kResourceTypeVersion = 16; // RT_VERSION
constexpr quint32 kVersionResourceId = 1; // VS_VERSION_INFO
constexpr quint32 kSubdirectoryFlag = 0x80000000u;
constexpr quint16 kPe32Magic = 0x10b;
constexpr quint16 kPe32PlusMagic = 0x20b;
constexpr int kResourceDirectoryIndex = 2;
constexpr int kSectionHeaderSize = 40;
constexpr qint64 kScanChunkSize = 1 << 20;

quint16 u16(const QByteArray &data, qint64 offset)
{
    return qFromLittleEndian<quint16>(data.constData() + offset);
}

quint32 u32(const QByteArray &data, qint64 offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

// Reads exactly size bytes at offset, or fewer when allowShort; empty on any failure.
QByteArray readAt(QIODevice &device, qint64 offset, qint64 size, bool allowShort = false)
{
    if (offset < 0 || size <= 0 || offset >= device.size() || !device.seek(offset))
        return QByteArray();
    const QByteArray bytes = device.read(std::min(size, device.size() - offset));
    if (bytes.size() != size && !allowShort)
        return QByteArray();
    return bytes;
}

// One node of the version-info tree. Offsets are into the whole block; padding is counted from
// the block's start, where the resource compiler aligns it.
struct Node
{
    int end = 0;
    QString key;
    quint16 valueLength = 0;
    quint16 type = 0;
    int valueStart = 0;
    int valueBytes = 0; // clamped to the node
    int childrenStart = 0;
};

int align4(int offset)
{
    return (offset + 3) & ~3;
}

bool readNode(const QByteArray &block, int start, int limit, Node *node)
{
    if (start < 0 || limit > block.size() || start > limit - kNodeHeaderSize)
        return false;
    const int length = u16(block, start);
    if (length < kNodeHeaderSize)
        return false;
    // A length running past the parent is cut to it rather than rejected, as Windows reads such
    // files too.
    node->end = std::min(limit, start + length);
    node->valueLength = u16(block, start + 2);
    node->type = u16(block, start + 4);

    int pos = start + kNodeHeaderSize;
    node->key.clear();
    for (;;) {
        if (pos > node->end - 2)
            return false;
        const quint16 c = u16(block, pos);
        pos += 2;
        if (c == 0)
            break;
        node->key.append(QChar(c));
    }
    node->valueStart = std::min(align4(pos), node->end);
    const int declaredBytes = node->type == kTextType ? 2 * node->valueLength : node->valueLength;
    node->valueBytes = std::min(declaredBytes, node->end - node->valueStart);
    node->childrenStart = align4(node->valueStart + declaredBytes);
    return true;
}

bool sameKey(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The first child of parent whose key is key.
bool findChild(const QByteArray &block, const Node &parent, const QString &key, Node *child)
{
    int pos = parent.childrenStart;
    while (pos <= parent.end - kNodeHeaderSize) {
        const int length = u16(block, pos);
        if (length < kNodeHeaderSize || !readNode(block, pos, parent.end, child))
            return false;
        if (sameKey(child->key, key))
            return true;
        pos = align4(pos + length);
    }
    return false;
}

// The text value of a string node, up to its terminating null or the node's end. Producers
// disagree on whether wValueLength counts characters or bytes, so it only tells empty from not.
QString textValue(const QByteArray &block, const Node &node)
{
    QString value;
    if (node.valueLength == 0)
        return value;
    for (int pos = node.valueStart; pos <= node.end - 2; pos += 2) {
        const quint16 c = u16(block, pos);
        if (c == 0)
            break;
        value.append(QChar(c));
    }
    return value;
}

// Whether the bytes start a VS_VERSIONINFO block: its key, and the fixed file info's signature
// when it carries one. Cheap enough to run on every candidate of a scan.
bool looksLikeVersionInfo(const QByteArray &block)
{
    Node root;
    if (!readNode(block, 0, block.size(), &root) || root.key != kVersionInfoKey)
        return false;
    if (root.valueLength == 0)
        return true;
    return root.valueLength == kFixedFileInfoSize && root.valueBytes >= 4
            && u32(block, root.valueStart) == kFixedFileInfoSignature;
}

struct Section
{
    quint32 virtualAddress;
    quint32 rawSize;
    quint32 rawOffset;
};

class PeImage
{
public:
    explicit PeImage(QIODevice &device)
        : m_device(device)
    {
    }

    // Reads the headers; false when the device holds no PE image.
    bool open()
    {
        const QByteArray dos = readAt(m_device, 0, 64);
        if (dos.size() < 64 || dos.at(0) != 'M' || dos.at(1) != 'Z')
            return false;
        m_headerOffset = u32(dos, 0x3c);
        const QByteArray headers = readAt(m_device, m_headerOffset, 24);
        return headers.size() == 24 && headers.startsWith(QByteArray("PE\0\0", 4)) && readLayout(headers);
    }

    // The bytes of the first version resource; empty when there is none.
    QByteArray versionResource() const
    {
        if (!m_hasResources)
            return QByteArray();
        quint32 offset = 0;
        if (!findEntry(0, kResourceTypeVersion, false, true, &offset)
                || !findEntry(offset, kVersionResourceId, true, true, &offset)
                || !findEntry(offset, 0, true, false, &offset)) {
            return QByteArray();
        }
        const QByteArray dataEntry = readResource(offset, 16);
        if (dataEntry.isEmpty())
            return QByteArray();
        const quint32 dataRva = u32(dataEntry, 0);
        const quint32 dataSize = std::min<quint32>(u32(dataEntry, 4), kMaxBlockSize);
        const qint64 fileOffset = fileOffsetOf(dataRva, 1);
        if (fileOffset < 0)
            return QByteArray();
        return readAt(m_device, fileOffset, dataSize, true);
    }

private:
    bool readLayout(const QByteArray &headers)
    {
        // COFF header follows the signature.
        const quint16 sectionCount = u16(headers, 4 + 2);
        const quint16 optionalSize = u16(headers, 4 + 16);
        const qint64 optionalOffset = m_headerOffset + 24;
        const QByteArray optional = readAt(m_device, optionalOffset, optionalSize);
        if (optional.size() < 2)
            return true; // a PE image without the data directories has no resources
        const quint16 magic = u16(optional, 0);
        int directories = 0;
        if (magic == kPe32Magic)
            directories = 96;
        else if (magic == kPe32PlusMagic)
            directories = 112;
        else
            return true;
        const int entry = directories + 8 * kResourceDirectoryIndex;
        if (optional.size() < entry + 8 || u32(optional, directories - 4) <= quint32(kResourceDirectoryIndex))
            return true;
        m_resourceRva = u32(optional, entry);
        if (m_resourceRva == 0)
            return true;

        const QByteArray table
                = readAt(m_device, optionalOffset + optionalSize, qint64(sectionCount) * kSectionHeaderSize);
        for (int i = 0; i + kSectionHeaderSize <= table.size(); i += kSectionHeaderSize)
            m_sections.push_back({ u32(table, i + 12), u32(table, i + 16), u32(table, i + 20) });
        m_hasResources = !m_sections.empty();
        return true;
    }

    // File offset of size bytes at rva, all inside one section's raw data; -1 when they are not.
    qint64 fileOffsetOf(quint32 rva, quint32 size) const
    {
        for (const Section &section : m_sections) {
            const qint64 delta = qint64(rva) - section.virtualAddress;
            if (delta >= 0 && delta + size <= section.rawSize)
                return qint64(section.rawOffset) + delta;
        }
        return -1;
    }

    QByteArray readResource(quint32 offset, quint32 size) const
    {
        const qint64 fileOffset = fileOffsetOf(m_resourceRva + offset, size);
        return fileOffset < 0 ? QByteArray() : readAt(m_device, fileOffset, size);
    }

    // In the resource directory at offset: the entry with id (or the first entry when anyId, or
    // id is absent and anyId), which must lead to a subdirectory when wantDirectory.
    bool findEntry(quint32 directoryOffset, quint32 id, bool anyId, bool wantDirectory, quint32 *target) const
    {
        const QByteArray header = readResource(directoryOffset, 16);
        if (header.isEmpty())
            return false;
        const quint32 count = quint32(u16(header, 12)) + u16(header, 14);
        const QByteArray entries = readResource(directoryOffset + 16, count * 8);
        if (entries.isEmpty())
            return false;
        int chosen = -1;
        for (quint32 i = 0; i < count; ++i) {
            const quint32 name = u32(entries, i * 8);
            if (!(name & kSubdirectoryFlag) && name == id) {
                chosen = int(i);
                break;
            }
        }
        if (chosen < 0 && anyId)
            chosen = 0;
        if (chosen < 0)
            return false;
        const quint32 data = u32(entries, chosen * 8 + 4);
        if (bool(data & kSubdirectoryFlag) != wantDirectory)
            return false;
        *target = data & ~kSubdirectoryFlag;
        return true;
    }

    QIODevice &m_device;
    qint64 m_headerOffset = 0;
    quint32 m_resourceRva = 0;
    bool m_hasResources = false;
    std::vector<Section> m_sections;
};

QByteArray versionInfoKeyPattern()
{
    QByteArray pattern;
    for (const QChar c : kVersionInfoKey) {
        pattern.append(char(c.unicode()));
        pattern.append('\0');
    }
    pattern.append(2, '\0');
    return pattern;
}

// The first VS_VERSIONINFO block anywhere in the device, read in chunks so a large file costs
// little memory. Candidates are checked on their first bytes only, so even a file full of the key
// text is scanned in linear time.
QByteArray findEmbeddedVersionInfo(QIODevice &device)
{
    const QByteArray pattern = versionInfoKeyPattern();
    const int probeSize = kNodeHeaderSize + pattern.size() + 4 + kFixedFileInfoSize;
    QByteArray window;
    qint64 windowStart = 0;
    qint64 readPos = 0;
    for (;;) {
        if (!device.seek(readPos))
            return QByteArray();
        const QByteArray chunk = device.read(kScanChunkSize);
        if (chunk.isEmpty())
            return QByteArray();
        readPos += chunk.size();
        window.append(chunk);

        int from = 0;
        for (;;) {
            const int hit = window.indexOf(pattern, from);
            if (hit < 0)
                break;
            from = hit + 1;
            const qint64 blockStart = windowStart + hit - kNodeHeaderSize;
            if (blockStart < 0)
                continue;
            if (!looksLikeVersionInfo(readAt(device, blockStart, probeSize, true)))
                continue;
            const QByteArray header = readAt(device, blockStart, 2);
            return header.size() == 2 ? readAt(device, blockStart, u16(header, 0), true) : QByteArray();
        }
        // Keep the tail that could hold the start of a key cut by the chunk boundary.
        const int keep = std::min<int>(window.size(), pattern.size() - 1);
        windowStart += window.size() - keep;
        window = window.right(keep);
    }
}

} // namespace

QString versionInfoString(const QByteArray &block, const QString &key)
{
    if (key.isEmpty())
        return QString();
    Node root;
    if (!readNode(block, 0, block.size(), &root) || root.key != kVersionInfoKey)
        return QString();

    Node varFileInfo, translation;
    if (!findChild(block, root, kVarFileInfoKey, &varFileInfo)
            || !findChild(block, varFileInfo, kTranslationKey, &translation) || translation.valueBytes < 4) {
        return QString();
    }
    // Each entry holds the language in its low half and the code page in its high half; the
    // string table is named language first.
    const quint32 entry = u32(block, translation.valueStart);
    const quint32 langCodePage = (entry << 16) | (entry >> 16);
    const QString tableKey = QStringLiteral("%1").arg(langCodePage, 8, 16, QLatin1Char('0'));

    Node stringFileInfo, table, value;
    if (!findChild(block, root, kStringFileInfoKey, &stringFileInfo)
            || !findChild(block, stringFileInfo, tableKey, &table) || !findChild(block, table, key, &value)) {
        return QString();
    }
    return textValue(block, value);
}

QString productVersionFromDevice(QIODevice &device)
{
    if (!device.isOpen() || device.isSequential())
        return QString();
    QByteArray block;
    PeImage image(device);
    if (image.open())
        block = image.versionResource();
    else
        block = findEmbeddedVersionInfo(device);
    return versionInfoString(block, kProductVersionKey);
}

} // namespace utility
