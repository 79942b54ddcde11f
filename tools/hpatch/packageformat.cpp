#include "packageformat.h"

#include <cstring>
#include <set>
#include <xxhash.h>

namespace hpatch {

namespace {

void putU32(std::string &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(char((v >> (8 * i)) & 0xff));
}

void putU64(std::string &out, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(char((v >> (8 * i)) & 0xff));
}

void putString(std::string &out, const std::string &s)
{
    putVarint(out, s.size());
    out += s;
}

// Every entry takes at least this many manifest bytes, so counts beyond remaining()/min are lies
// and are refused before anything is allocated for them.
constexpr size_t kMinOldEntryBytes = 1 + 1 + 1 + 8;
constexpr size_t kMinNewEntryBytes = 1 + 1 + 1 + 1 + 8 + 1;
constexpr size_t kMinDirEntryBytes = 1 + 1 + 1;

} // namespace

void putVarint(std::string &out, uint64_t value)
{
    while (value >= 0x80) {
        out.push_back(char(value | 0x80));
        value >>= 7;
    }
    out.push_back(char(value));
}

uint64_t ByteReader::varint()
{
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (m_failed || m_pos >= m_size) {
            m_failed = true;
            return 0;
        }
        const uint8_t b = m_data[m_pos++];
        value |= uint64_t(b & 0x7f) << shift;
        if (!(b & 0x80))
            return value;
    }
    m_failed = true;
    return 0;
}

uint64_t ByteReader::u64()
{
    if (m_failed || m_size - m_pos < 8) {
        m_failed = true;
        return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= uint64_t(m_data[m_pos + i]) << (8 * i);
    m_pos += 8;
    return v;
}

uint32_t ByteReader::u32()
{
    if (m_failed || m_size - m_pos < 4) {
        m_failed = true;
        return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(m_data[m_pos + i]) << (8 * i);
    m_pos += 4;
    return v;
}

uint8_t ByteReader::u8()
{
    if (m_failed || m_pos >= m_size) {
        m_failed = true;
        return 0;
    }
    return m_data[m_pos++];
}

std::string ByteReader::bytes(uint64_t count)
{
    if (m_failed || count > m_size - m_pos) {
        m_failed = true;
        return {};
    }
    std::string s(reinterpret_cast<const char *>(m_data + m_pos), size_t(count));
    m_pos += size_t(count);
    return s;
}

std::string encodeHeader(const Header &h)
{
    std::string out(kMagic, sizeof kMagic);
    putU32(out, h.version);
    putU32(out, h.flags);
    putU64(out, h.manifestSize);
    putU64(out, h.manifestRawSize);
    putU64(out, h.manifestHash);
    putU64(out, h.streamSize);
    putU64(out, h.streamHash);
    putU64(out, XXH3_64bits(out.data(), out.size()));
    return out;
}

Status decodeHeader(const unsigned char *data, size_t size, Header *h)
{
    if (size < kHeaderSize || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return Status::fail(ExitBadPackage, "not a directory package (bad magic)");
    ByteReader r(data + sizeof kMagic, kHeaderSize - sizeof kMagic);
    h->version = r.u32();
    h->flags = r.u32();
    h->manifestSize = r.u64();
    h->manifestRawSize = r.u64();
    h->manifestHash = r.u64();
    h->streamSize = r.u64();
    h->streamHash = r.u64();
    const uint64_t headerHash = r.u64();
    if (h->version != kFormatVersion)
        return Status::fail(ExitBadPackage, "unsupported package version " + std::to_string(h->version));
    if (headerHash != XXH3_64bits(data, kHeaderSize - 8))
        return Status::fail(ExitBadPackage, "package header is corrupt");
    if (h->manifestRawSize > kMaxManifestBytes || h->manifestSize > kMaxManifestBytes)
        return Status::fail(ExitBadPackage, "package manifest is too large");
    return {};
}

bool isSafeRelativePath(const std::string &path)
{
    if (path.empty() || path.size() > 4096 || path.front() == '/')
        return false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == '\\' || c == ':' || c == 0x7f)
            return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::string encodeManifest(const Manifest &m)
{
    std::string out;
    putVarint(out, m.oldFiles.size());
    for (const OldEntry &e : m.oldFiles) {
        putString(out, e.path);
        putVarint(out, e.size);
        putU64(out, e.hash);
    }
    putVarint(out, m.newFiles.size());
    for (const NewEntry &e : m.newFiles) {
        putString(out, e.path);
        putVarint(out, e.mode);
        putVarint(out, e.size);
        putU64(out, e.hash);
        out.push_back(char(e.kind));
        if (e.kind != Kind::New) {
            putVarint(out, e.refs.size());
            for (uint32_t ref : e.refs)
                putVarint(out, ref);
        }
    }
    putVarint(out, m.dirs.size());
    for (const DirEntry &d : m.dirs) {
        putString(out, d.path);
        putVarint(out, d.mode);
    }
    return out;
}

Status decodeManifest(const std::string &raw, Manifest *m)
{
    auto corrupt = [](const std::string &why) { return Status::fail(ExitBadPackage, "corrupt manifest: " + why); };
    ByteReader r(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
    *m = Manifest();

    const uint64_t oldCount = r.varint();
    if (r.failed() || oldCount > r.remaining() / kMinOldEntryBytes)
        return corrupt("old file count");
    m->oldFiles.resize(size_t(oldCount));
    std::set<std::string> oldPaths;
    for (OldEntry &e : m->oldFiles) {
        e.path = r.bytes(r.varint());
        e.size = r.varint();
        e.hash = r.u64();
        if (r.failed())
            return corrupt("truncated old file entry");
        if (!isSafeRelativePath(e.path))
            return corrupt("unsafe old path \"" + e.path + "\"");
        if (!oldPaths.insert(e.path).second)
            return corrupt("two entries for old path \"" + e.path + "\"");
    }

    const uint64_t newCount = r.varint();
    if (r.failed() || newCount > r.remaining() / kMinNewEntryBytes)
        return corrupt("new file count");
    m->newFiles.resize(size_t(newCount));
    std::set<std::string> newPaths;
    for (NewEntry &e : m->newFiles) {
        e.path = r.bytes(r.varint());
        const uint64_t mode = r.varint();
        e.size = r.varint();
        e.hash = r.u64();
        const uint8_t kind = r.u8();
        if (r.failed())
            return corrupt("truncated new file entry");
        if (!isSafeRelativePath(e.path))
            return corrupt("unsafe path \"" + e.path + "\"");
        if (mode > 07777)
            return corrupt("bad mode for \"" + e.path + "\"");
        e.mode = uint32_t(mode);
        if (kind > uint8_t(Kind::New))
            return corrupt("bad kind for \"" + e.path + "\"");
        e.kind = Kind(kind);
        if (e.kind != Kind::New) {
            const uint64_t refCount = r.varint();
            if (r.failed() || refCount == 0 || refCount > r.remaining() || refCount > oldCount
                || (e.kind == Kind::Copy && refCount != 1))
                return corrupt("bad references for \"" + e.path + "\"");
            uint64_t refTotal = 0;
            for (uint64_t i = 0; i < refCount; ++i) {
                const uint64_t ref = r.varint();
                if (r.failed() || ref >= oldCount)
                    return corrupt("bad reference for \"" + e.path + "\"");
                e.refs.push_back(uint32_t(ref));
                refTotal += m->oldFiles[size_t(ref)].size;
            }
            if (e.kind == Kind::Copy && refTotal != e.size)
                return corrupt("copy of a file of another size for \"" + e.path + "\"");
        }
        if (!newPaths.insert(e.path).second)
            return corrupt("two entries for path \"" + e.path + "\"");
    }

    const uint64_t dirCount = r.varint();
    if (r.failed() || dirCount > r.remaining() / kMinDirEntryBytes)
        return corrupt("directory count");
    m->dirs.resize(size_t(dirCount));
    std::set<std::string> dirPaths;
    for (DirEntry &d : m->dirs) {
        d.path = r.bytes(r.varint());
        const uint64_t mode = r.varint();
        if (r.failed())
            return corrupt("truncated directory entry");
        if (!isSafeRelativePath(d.path))
            return corrupt("unsafe directory path \"" + d.path + "\"");
        if (mode > 07777)
            return corrupt("bad mode for \"" + d.path + "\"");
        d.mode = uint32_t(mode);
        if (newPaths.count(d.path) || !dirPaths.insert(d.path).second)
            return corrupt("two entries for path \"" + d.path + "\"");
    }
    if (r.remaining() != 0)
        return corrupt("trailing bytes");

    // A file may not stand where another entry needs a directory.
    auto checkParents = [&](const std::string &path) {
        for (size_t pos = path.find('/'); pos != std::string::npos; pos = path.find('/', pos + 1)) {
            if (newPaths.count(path.substr(0, pos)))
                return false;
        }
        return true;
    };
    for (const NewEntry &e : m->newFiles) {
        if (!checkParents(e.path))
            return corrupt("path \"" + e.path + "\" lies below a file");
    }
    for (const DirEntry &d : m->dirs) {
        if (!checkParents(d.path))
            return corrupt("path \"" + d.path + "\" lies below a file");
    }
    return {};
}

} // namespace hpatch
