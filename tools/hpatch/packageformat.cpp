#include "packageformat.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_map>
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
constexpr size_t kMinNewEntryBytes = 1 + 1 + 1 + 1 + 1;
constexpr size_t kMinDirEntryBytes = 1 + 1 + 1;
constexpr size_t kMinLinkEntryBytes = 1 + 1 + 1 + 1;

} // namespace

void putVarint(std::string &out, uint64_t value)
{
    while (value >= 0x80) {
        out.push_back(char(value | 0x80));
        value >>= 7;
    }
    out.push_back(char(value));
}

ByteReader::ByteReader(uint64_t total, Pull pull)
    : m_data(nullptr)
    , m_size(0)
    , m_total(total)
    , m_pull(std::move(pull))
    , m_piece(64 << 10)
{
}

bool ByteReader::fill()
{
    const uint64_t left = m_total - (m_before + m_size);
    if (m_failed || !m_pull || left == 0)
        return false;
    const size_t got = m_pull(m_piece.data(), size_t(std::min<uint64_t>(left, m_piece.size())));
    if (got == 0)
        return false;
    m_before += m_size;
    m_data = m_piece.data();
    m_size = got;
    m_pos = 0;
    return true;
}

uint8_t ByteReader::u8()
{
    if (m_failed || (m_pos == m_size && !fill())) {
        m_failed = true;
        return 0;
    }
    return m_data[m_pos++];
}

uint64_t ByteReader::varint()
{
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        const uint8_t b = u8();
        if (m_failed)
            return 0;
        value |= uint64_t(b & 0x7f) << shift;
        if (!(b & 0x80))
            return value;
    }
    m_failed = true;
    return 0;
}

uint64_t ByteReader::u64()
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= uint64_t(u8()) << (8 * i);
    return m_failed ? 0 : v;
}

uint32_t ByteReader::u32()
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(u8()) << (8 * i);
    return m_failed ? 0 : v;
}

std::string ByteReader::bytes(uint64_t count, uint64_t maxCount)
{
    if (m_failed || count > maxCount || count > remaining()) {
        m_failed = true;
        return {};
    }
    std::string s;
    s.reserve(size_t(count));
    while (s.size() < count) {
        if (m_pos == m_size && !fill()) {
            m_failed = true;
            return {};
        }
        const size_t n = size_t(std::min<uint64_t>(count - s.size(), m_size - m_pos));
        s.append(reinterpret_cast<const char *>(m_data + m_pos), n);
        m_pos += n;
    }
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
    if (h->version < kFirstFormatVersion || h->version > kFormatVersion)
        return Status::fail(ExitBadPackage, "unsupported package version " + std::to_string(h->version));
    if (headerHash != XXH3_64bits(data, kHeaderSize - 8))
        return Status::fail(ExitBadPackage, "package header is corrupt");
    if (h->manifestRawSize > kMaxManifestBytes || h->manifestSize > kMaxManifestBytes)
        return Status::fail(ExitBadPackage, "package manifest is too large");
    return {};
}

namespace {

// Decodes one UTF-8 code point at pos, or returns false for bytes that are not UTF-8.
bool nextCodePoint(const std::string &s, size_t *pos, uint32_t *cp)
{
    const uint8_t b = uint8_t(s[*pos]);
    const int extra = b < 0x80 ? 0 : (b & 0xe0) == 0xc0 ? 1 : (b & 0xf0) == 0xe0 ? 2 : (b & 0xf8) == 0xf0 ? 3 : -1;
    if (extra < 0 || *pos + size_t(extra) >= s.size())
        return false;
    uint32_t v = extra == 0 ? b : b & (0x3f >> extra);
    for (int i = 1; i <= extra; ++i) {
        const uint8_t c = uint8_t(s[*pos + size_t(i)]);
        if ((c & 0xc0) != 0x80)
            return false;
        v = (v << 6) | (c & 0x3f);
    }
    static const uint32_t kMin[] = { 0, 0x80, 0x800, 0x10000 };
    if (v < kMin[extra] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
        return false;
    *pos += size_t(extra) + 1;
    *cp = v;
    return true;
}

void putUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xc0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xe0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
        out.push_back(char(0x80 | (cp & 0x3f)));
    } else {
        out.push_back(char(0xf0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3f)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
        out.push_back(char(0x80 | (cp & 0x3f)));
    }
}

// Lower case of the letters Windows folds in names of the scripts seen in installations (Latin,
// Greek, Cyrillic, full-width Latin); other code points stay.
uint32_t foldCase(uint32_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xc0 && c <= 0xde && c != 0xd7) || (c >= 0x391 && c <= 0x3a9 && c != 0x3a2)
            || (c >= 0x410 && c <= 0x42f) || (c >= 0xff21 && c <= 0xff3a))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40f)
        return c + 0x50;
    if (c == 0x178)
        return 0xff;
    const bool evenUpper = (c >= 0x100 && c <= 0x137) || (c >= 0x14a && c <= 0x177) || (c >= 0x460 && c <= 0x481)
            || (c >= 0x48a && c <= 0x4bf);
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17e);
    if ((evenUpper && c % 2 == 0) || (oddUpper && c % 2 == 1))
        return c + 1;
    return c;
}

std::string asciiLower(std::string s)
{
    for (char &c : s) {
        if (c >= 'A' && c <= 'Z')
            c = char(c + 32);
    }
    return s;
}

// Names Windows gives to devices, whatever follows a dot.
bool isDeviceName(const std::string &part)
{
    std::string base = asciiLower(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char *const kDevices[] = { "con", "prn", "aux", "nul", "conin$", "conout$" };
    for (const char *d : kDevices) {
        if (base == d)
            return true;
    }
    if (base.size() >= 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0)) {
        const std::string digit = base.substr(3);
        return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xc2\xb9" || digit == "\xc2\xb2"
                || digit == "\xc2\xb3";
    }
    return false;
}

} // namespace

std::string pathProblem(const std::string &path)
{
    if (path.empty() || path.front() == '/')
        return "not a relative path";
    if (path.size() > kMaxPathBytes)
        return "path longer than " + std::to_string(kMaxPathBytes) + " bytes";
    for (size_t pos = 0; pos < path.size();) {
        uint32_t cp = 0;
        if (!nextCodePoint(path, &pos, &cp))
            return "not UTF-8";
        if (cp < 0x20 || cp == 0x7f || (cp < 0x80 && std::strchr("\\:<>\"|?*", int(cp))))
            return "a character Windows forbids in names";
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return "an empty, \".\" or \"..\" part";
        if (part.size() > kMaxNameBytes)
            return "a name longer than " + std::to_string(kMaxNameBytes) + " bytes";
        if (part.back() == '.' || part.back() == ' ')
            return "a name ending in a dot or space";
        if (isDeviceName(part))
            return "a Windows device name";
        start = end + 1;
    }
    return {};
}

std::string caseKey(const std::string &path)
{
    std::string key;
    key.reserve(path.size());
    for (size_t pos = 0; pos < path.size();) {
        uint32_t cp = uint8_t(path[pos]);
        if (!nextCodePoint(path, &pos, &cp))
            ++pos;
        putUtf8(key, foldCase(cp));
    }
    return key;
}

std::string caseClash(const std::vector<std::string> &paths)
{
    // Parents count too: "A/x" and "a/y" need two directories that Windows sees as one.
    std::unordered_map<std::string, std::string> parents;
    for (const std::string &path : paths) {
        for (size_t end = path.find('/');; end = path.find('/', end + 1)) {
            const std::string part = path.substr(0, end);
            auto found = parents.emplace(caseKey(part), part);
            if (found.first->second != part)
                return "\"" + found.first->second + "\" and \"" + part + "\"";
            if (end == std::string::npos)
                break;
        }
    }
    return {};
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
        out.push_back(char(e.kind));
        if (e.kind != Kind::New) {
            putVarint(out, e.refs.size());
            for (uint32_t ref : e.refs)
                putVarint(out, ref);
        }
        const bool copy = e.kind == Kind::Copy && e.refs.size() == 1 && e.refs[0] < m.oldFiles.size();
        putString(out, copy && m.oldFiles[e.refs[0]].path == e.path ? std::string() : e.path);
        putVarint(out, e.mode);
        if (!copy) {
            putVarint(out, e.size);
            putU64(out, e.hash);
        }
    }
    putVarint(out, m.dirs.size());
    for (const DirEntry &d : m.dirs) {
        putString(out, d.path);
        putVarint(out, d.mode);
    }
    putVarint(out, m.links.size());
    for (const LinkEntry &l : m.links) {
        putString(out, l.path);
        putString(out, l.target);
    }
    return out;
}

Status decodeManifest(ByteReader &r, Manifest *m, uint32_t version)
{
    auto corrupt = [](const std::string &why) { return Status::fail(ExitBadPackage, "corrupt manifest: " + why); };
    auto unsafe = [](const std::string &path) {
        return Status::fail(ExitBadPackage, "unsafe path \"" + path + "\" in the package: " + pathProblem(path));
    };
    *m = Manifest();

    // Counts only bound the loops; entries are stored as they are read, so a manifest that claims
    // millions of entries costs nothing until it really holds them.
    const uint64_t oldCount = r.varint();
    if (r.failed() || oldCount > r.remaining() / kMinOldEntryBytes)
        return corrupt("old file count");
    std::set<std::string> oldPaths;
    for (uint64_t i = 0; i < oldCount; ++i) {
        OldEntry e;
        e.path = r.bytes(r.varint());
        e.size = r.varint();
        e.hash = r.u64();
        if (r.failed())
            return corrupt("truncated old file entry");
        if (!isSafeRelativePath(e.path))
            return unsafe(e.path);
        if (!oldPaths.insert(e.path).second)
            return corrupt("two entries for old path \"" + e.path + "\"");
        m->oldFiles.push_back(std::move(e));
    }

    const uint64_t newCount = r.varint();
    if (r.failed() || newCount > r.remaining() / kMinNewEntryBytes)
        return corrupt("new file count");
    std::set<std::string> newPaths;
    std::vector<std::string> allPaths;
    for (uint64_t i = 0; i < newCount; ++i) {
        NewEntry e;
        uint64_t mode = 0;
        uint8_t kind = 0;
        if (version == 1) {
            e.path = r.bytes(r.varint());
            mode = r.varint();
            e.size = r.varint();
            e.hash = r.u64();
        }
        kind = r.u8();
        if (r.failed())
            return corrupt("truncated new file entry");
        if (kind > uint8_t(Kind::New))
            return corrupt("bad kind of new file " + std::to_string(i));
        e.kind = Kind(kind);
        if (e.kind != Kind::New) {
            const uint64_t refCount = r.varint();
            if (r.failed() || refCount == 0 || refCount > r.remaining() || refCount > oldCount
                    || (e.kind == Kind::Copy && refCount != 1))
                return corrupt("bad references of new file " + std::to_string(i));
            for (uint64_t j = 0; j < refCount; ++j) {
                const uint64_t ref = r.varint();
                if (r.failed() || ref >= oldCount)
                    return corrupt("bad reference of new file " + std::to_string(i));
                e.refs.push_back(uint32_t(ref));
            }
        }
        if (version > 1) {
            e.path = r.bytes(r.varint());
            mode = r.varint();
            if (e.kind == Kind::Copy) {
                // A copy is its old file: same bytes, and the same path unless one is given.
                const OldEntry &old = m->oldFiles[e.refs[0]];
                e.size = old.size;
                e.hash = old.hash;
                if (e.path.empty())
                    e.path = old.path;
            } else {
                e.size = r.varint();
                e.hash = r.u64();
            }
        }
        if (r.failed())
            return corrupt("truncated new file entry");
        if (!isSafeRelativePath(e.path))
            return unsafe(e.path);
        if (mode > 07777)
            return corrupt("bad mode for \"" + e.path + "\"");
        e.mode = uint32_t(mode);
        if (e.kind == Kind::Copy && m->oldFiles[e.refs[0]].size != e.size)
            return corrupt("copy of a file of another size for \"" + e.path + "\"");
        if (!newPaths.insert(e.path).second)
            return corrupt("two entries for path \"" + e.path + "\"");
        allPaths.push_back(e.path);
        m->newFiles.push_back(std::move(e));
    }

    const uint64_t dirCount = r.varint();
    if (r.failed() || dirCount > r.remaining() / kMinDirEntryBytes)
        return corrupt("directory count");
    std::set<std::string> dirPaths;
    for (uint64_t i = 0; i < dirCount; ++i) {
        DirEntry d;
        d.path = r.bytes(r.varint());
        const uint64_t mode = r.varint();
        if (r.failed())
            return corrupt("truncated directory entry");
        if (!isSafeRelativePath(d.path))
            return unsafe(d.path);
        if (mode > 07777)
            return corrupt("bad mode for \"" + d.path + "\"");
        d.mode = uint32_t(mode);
        if (newPaths.count(d.path) || !dirPaths.insert(d.path).second)
            return corrupt("two entries for path \"" + d.path + "\"");
        allPaths.push_back(d.path);
        m->dirs.push_back(std::move(d));
    }
    const uint64_t linkCount = version >= kFirstVersionWithLinks ? r.varint() : 0;
    if (r.failed() || linkCount > r.remaining() / kMinLinkEntryBytes)
        return corrupt("link count");
    for (uint64_t i = 0; i < linkCount; ++i) {
        LinkEntry l;
        l.path = r.bytes(r.varint());
        l.target = r.bytes(r.varint());
        if (r.failed())
            return corrupt("truncated link entry");
        if (!isSafeRelativePath(l.path))
            return unsafe(l.path);
        if (l.target.empty() || l.target.size() > kMaxPathBytes || l.target.find('\0') != std::string::npos)
            return corrupt("bad link text for \"" + l.path + "\"");
        // Nothing may lie below a link: writing there would write wherever it points.
        if (dirPaths.count(l.path) || !newPaths.insert(l.path).second)
            return corrupt("two entries for path \"" + l.path + "\"");
        allPaths.push_back(l.path);
        m->links.push_back(std::move(l));
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
    for (const std::string &path : allPaths) {
        if (!checkParents(path))
            return corrupt("path \"" + path + "\" lies below a file");
    }
    const std::string clash = caseClash(allPaths);
    if (!clash.empty())
        return Status::fail(ExitBadPackage, "paths differ only in case, which Windows cannot hold: " + clash);
    return {};
}

} // namespace hpatch
