#include "packageformat.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
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

// Entries and references of a manifest together. Each costs memory however few bytes it takes in
// a manifest that compresses well: 16 million deltas of one old file come to a few KB of package
// and took 2.4 GB. Counts are checked before their entries are read.
class ItemBudget
{
public:
    // count is at most the bytes left in the manifest, so the sum cannot overflow.
    bool take(uint64_t count)
    {
        m_items += count;
        return m_items <= kMaxManifestItems;
    }

private:
    uint64_t m_items = 0;
};

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

std::string ByteReader::text(uint64_t maxCount)
{
    std::string s;
    for (uint8_t c = u8(); !m_failed && c != 0; c = u8()) {
        if (s.size() == maxCount) {
            m_failed = true;
            return {};
        }
        s.push_back(char(c));
    }
    return m_failed ? std::string() : s;
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
bool nextCodePoint(std::string_view s, size_t *pos, uint32_t *cp)
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

std::string caseKey(std::string_view path)
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

std::string caseClash(const std::vector<std::string_view> &paths)
{
    // "A/x" and "a/y" clash by their parents, which are listed too, so whole paths suffice. A hash
    // of each key keeps memory at a few words a path; equal hashes are compared whole.
    std::vector<std::pair<uint64_t, size_t>> keys;
    keys.reserve(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string key = caseKey(paths[i]);
        keys.push_back({ XXH3_64bits(key.data(), key.size()), i });
    }
    std::sort(keys.begin(), keys.end());
    for (size_t i = 0; i < keys.size(); ++i) {
        for (size_t j = i + 1; j < keys.size() && keys[j].first == keys[i].first; ++j) {
            const std::string_view a = paths[keys[i].second], b = paths[keys[j].second];
            if (a != b && caseKey(a) == caseKey(b))
                return "\"" + std::string(a) + "\" and \"" + std::string(b) + "\"";
        }
    }
    return {};
}

uint64_t pathBytes(const Manifest &m)
{
    uint64_t total = 0;
    for (const OldEntry &e : m.oldFiles)
        total += e.path.size();
    for (const NewEntry &e : m.newFiles)
        total += e.path.size();
    for (const DirEntry &d : m.dirs)
        total += d.path.size();
    for (const LinkEntry &l : m.links)
        total += l.path.size() + l.target.size();
    return total;
}

uint64_t manifestItems(const Manifest &m)
{
    uint64_t items = m.oldFiles.size() + m.newFiles.size() + m.dirs.size() + m.links.size();
    for (const NewEntry &e : m.newFiles)
        items += e.refs.size();
    return items;
}

std::string boundsProblem(uint64_t pathBytes, uint64_t items)
{
    if (pathBytes <= kMaxPathTotalBytes && items <= kMaxManifestItems)
        return {};
    return std::to_string(pathBytes) + " bytes of paths and " + std::to_string(items)
            + " entries and references, more than " + std::to_string(kMaxPathTotalBytes) + " and "
            + std::to_string(kMaxManifestItems);
}

uint64_t hashList(const std::vector<uint64_t> &hashes)
{
    std::string bytes;
    bytes.reserve(hashes.size() * 8);
    for (uint64_t h : hashes)
        putU64(bytes, h);
    return XXH3_64bits(bytes.data(), bytes.size());
}

void setOldSizes(Manifest *m, const std::vector<uint64_t> &sizes)
{
    for (size_t i = 0; i < m->oldFiles.size() && i < sizes.size(); ++i)
        m->oldFiles[i].size = sizes[i];
    for (NewEntry &e : m->newFiles) {
        if (e.kind == Kind::Copy)
            e.size = m->oldFiles[e.refs[0]].size;
    }
    m->oldSizesKnown = true;
}

namespace {

// Modes as two bits of a kind byte: nearly every file is 0644 or 0755.
enum ModeCode : uint8_t { ModeRw = 0, ModeRwx = 1, ModeOther = 2 };

uint8_t modeCode(uint32_t mode)
{
    return mode == 0644 ? ModeRw : mode == 0755 ? ModeRwx : ModeOther;
}

void putMode(std::string &out, uint32_t mode)
{
    if (modeCode(mode) == ModeOther)
        putVarint(out, mode);
}

uint64_t readMode(ByteReader &r, uint8_t code)
{
    if (code == ModeRw)
        return 0644;
    if (code == ModeRwx)
        return 0755;
    if (code == ModeOther)
        return r.varint();
    r.fail();
    return 0;
}

// A path of versions 4 and earlier: the length it shares with the path before it and the bytes that
// follow.
std::string readPath(ByteReader &r, const std::string &before)
{
    const uint64_t shared = r.varint();
    if (r.failed() || shared > before.size()) {
        r.fail();
        return {};
    }
    std::string rest = r.bytes(r.varint(), kMaxPathBytes - shared);
    return r.failed() ? std::string() : before.substr(0, size_t(shared)) + rest;
}

// From version 5 a path is the length it shares with the one before, then the rest ended by a NUL
// (which no path holds); an empty rest with nothing shared stands for the path of a delta's first
// old file, and leaves the path before as it was.
void putEndedPath(std::string &out, const std::string &before, const std::string *path)
{
    size_t shared = 0;
    while (path && shared < before.size() && shared < path->size() && before[shared] == (*path)[shared])
        ++shared;
    putVarint(out, shared);
    if (path)
        out += path->substr(shared);
    out.push_back('\0');
}

// Reads the paths and link texts of a manifest, keeping the sum of their lengths within
// kMaxPathTotalBytes: a path shares bytes with the one before at no cost.
class PathReader
{
public:
    PathReader(ByteReader &r, bool ended)
        : m_r(r)
        , m_ended(ended)
    {
    }
    std::string next(const std::string &before)
    {
        if (!m_ended)
            return counted(readPath(m_r, before));
        const uint64_t shared = m_r.varint();
        if (m_r.failed() || shared > before.size()) {
            m_r.fail();
            return {};
        }
        std::string rest = m_r.text(kMaxPathBytes - shared);
        return m_r.failed() ? std::string() : counted(before.substr(0, size_t(shared)) + rest);
    }
    // A path or link text of any version written whole: its length, then its bytes.
    std::string whole()
    {
        return counted(m_r.bytes(m_r.varint()));
    }
    bool add(uint64_t bytes)
    {
        m_bytes += bytes;
        return m_bytes <= kMaxPathTotalBytes;
    }

private:
    std::string counted(std::string path)
    {
        if (!add(path.size()))
            m_r.fail();
        return path;
    }
    ByteReader &m_r;
    bool m_ended;
    uint64_t m_bytes = 0;
};

// Entries take at least this many bytes (see kMinOldEntryBytes): version 4, then version 5.
constexpr size_t kMinCompactOldBytes = 1 + 1 + 1 + 1 + 1;
constexpr size_t kMinCompactNewBytes = 1 + 1 + 1 + 1;
constexpr size_t kMinV5OldBytes = 1 + 1 + 1 + 1;
constexpr size_t kMinV5NewBytes = 2 + 1 + 1;
constexpr size_t kOldKept = 1;

} // namespace

std::string encodeManifest(const Manifest &m)
{
    std::string out;
    putVarint(out, m.controlsFrameSize);
    putVarint(out, m.diffsFrameSize);
    // Old files in path order; the entries' references follow them to their new places.
    std::vector<uint32_t> order(m.oldFiles.size()), place(m.oldFiles.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return m.oldFiles[a].path < m.oldFiles[b].path; });
    for (uint32_t i = 0; i < order.size(); ++i)
        place[order[i]] = i;
    auto pathOf = [&](uint32_t ref) { return ref < m.oldFiles.size() ? &m.oldFiles[ref].path : nullptr; };
    std::vector<const NewEntry *> kept(m.oldFiles.size(), nullptr);
    std::vector<const NewEntry *> listed;
    for (const NewEntry &e : m.newFiles) {
        const bool own
                = e.kind == Kind::Copy && e.refs.size() == 1 && pathOf(e.refs[0]) && *pathOf(e.refs[0]) == e.path;
        if (own)
            kept[e.refs[0]] = &e;
        else
            listed.push_back(&e);
    }

    // Entries go in columns (all paths, then all checks...): alike fields compress better together.
    std::vector<uint64_t> oldHashes, oldSizes, newHashes;
    putVarint(out, m.oldFiles.size());
    std::string before;
    for (uint32_t index : order) {
        putEndedPath(out, before, &m.oldFiles[index].path);
        before = m.oldFiles[index].path;
    }
    for (uint32_t index : order) {
        out.push_back(char(m.oldFiles[index].hash & 0xff));
        oldHashes.push_back(m.oldFiles[index].hash);
        oldSizes.push_back(m.oldFiles[index].size);
    }
    for (uint32_t index : order) {
        if (kept[index]) {
            out.push_back(char(kOldKept | modeCode(kept[index]->mode) << 1));
            putMode(out, kept[index]->mode);
            newHashes.push_back(kept[index]->hash);
        } else {
            out.push_back(0);
        }
    }
    if (!m.oldFiles.empty()) {
        putU64(out, hashList(oldHashes));
        putU64(out, hashList(oldSizes));
    }

    putVarint(out, listed.size());
    before.clear();
    for (const NewEntry *e : listed) {
        const std::string *first = e->refs.empty() ? nullptr : pathOf(e->refs[0]);
        const bool own = e->kind == Kind::Delta && first && *first == e->path;
        putEndedPath(out, before, own ? nullptr : &e->path);
        before = own ? before : e->path;
        newHashes.push_back(e->hash);
    }
    for (const NewEntry *e : listed) {
        out.push_back(char(uint8_t(e->kind) | modeCode(e->mode) << 2));
        putMode(out, e->mode);
    }
    for (const NewEntry *e : listed) {
        if (e->kind == Kind::Delta)
            putVarint(out, e->refs.size());
        for (uint32_t ref : e->refs)
            putVarint(out, ref < place.size() ? place[ref] : ref);
    }
    for (const NewEntry *e : listed) {
        if (e->kind != Kind::Copy)
            putVarint(out, e->size);
    }
    for (const NewEntry *e : listed) {
        if (e->kind != Kind::Copy)
            out.push_back(char(e->hash & 0xff));
    }
    if (!m.newFiles.empty())
        putU64(out, hashList(newHashes));

    // A directory that holds an entry and has the usual mode needs no line: the reader adds it.
    // The maker lists every directory, so each one's parent is a holder.
    std::unordered_set<std::string_view> holders;
    auto addParent = [&](const std::string &path) {
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos)
            holders.insert(std::string_view(path).substr(0, slash));
    };
    for (const NewEntry &e : m.newFiles)
        addParent(e.path);
    for (const LinkEntry &l : m.links)
        addParent(l.path);
    for (const DirEntry &d : m.dirs)
        addParent(d.path);
    std::vector<const DirEntry *> dirs;
    for (const DirEntry &d : m.dirs) {
        if (d.mode != 0755 || !holders.count(d.path))
            dirs.push_back(&d);
    }
    putVarint(out, dirs.size());
    before.clear();
    for (const DirEntry *dir : dirs) {
        const DirEntry &d = *dir;
        putEndedPath(out, before, &d.path);
        before = d.path;
        out.push_back(char(modeCode(d.mode)));
        putMode(out, d.mode);
    }
    putVarint(out, m.links.size());
    before.clear();
    for (const LinkEntry &l : m.links) {
        putEndedPath(out, before, &l.path);
        before = l.path;
        putString(out, l.target);
    }
    return out;
}

namespace {

Status corrupt(const std::string &why)
{
    return Status::fail(ExitBadPackage, "corrupt manifest: " + why);
}

// The manifests of versions 1 to 3.
Status decodeRows(ByteReader &r, Manifest *m, uint32_t version)
{
    // Counts only bound the loops; entries are stored as they are read, so a manifest that claims
    // millions of entries costs nothing until it really holds them.
    ItemBudget items;
    PathReader paths(r, false);
    const uint64_t oldCount = r.varint();
    if (r.failed() || oldCount > r.remaining() / kMinOldEntryBytes || !items.take(oldCount))
        return corrupt("old file count");
    for (uint64_t i = 0; i < oldCount; ++i) {
        OldEntry e;
        e.path = paths.whole();
        e.size = r.varint();
        e.hash = r.u64();
        e.check = uint8_t(e.hash);
        if (r.failed())
            return corrupt("truncated old file entry");
        m->oldFiles.push_back(std::move(e));
    }

    const uint64_t newCount = r.varint();
    if (r.failed() || newCount > r.remaining() / kMinNewEntryBytes || !items.take(newCount))
        return corrupt("new file count");
    for (uint64_t i = 0; i < newCount; ++i) {
        NewEntry e;
        uint64_t mode = 0;
        uint8_t kind = 0;
        if (version == 1) {
            e.path = paths.whole();
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
                    || (e.kind == Kind::Copy && refCount != 1) || !items.take(refCount))
                return corrupt("bad references of new file " + std::to_string(i));
            for (uint64_t j = 0; j < refCount; ++j) {
                const uint64_t ref = r.varint();
                if (r.failed() || ref >= oldCount)
                    return corrupt("bad reference of new file " + std::to_string(i));
                e.refs.push_back(uint32_t(ref));
            }
        }
        if (version > 1) {
            e.path = paths.whole();
            mode = r.varint();
            if (e.kind == Kind::Copy) {
                // A copy is its old file: same bytes, and the same path unless one is given.
                const OldEntry &old = m->oldFiles[e.refs[0]];
                e.size = old.size;
                e.hash = old.hash;
                if (e.path.empty()) {
                    e.path = old.path;
                    if (!paths.add(e.path.size()))
                        return corrupt("paths too long");
                }
            } else {
                e.size = r.varint();
                e.hash = r.u64();
            }
        }
        if (r.failed())
            return corrupt("truncated new file entry");
        if (mode > 07777)
            return corrupt("bad mode for \"" + e.path + "\"");
        e.mode = uint32_t(mode);
        if (e.kind == Kind::Copy && m->oldFiles[e.refs[0]].size != e.size)
            return corrupt("copy of a file of another size for \"" + e.path + "\"");
        m->newFiles.push_back(std::move(e));
    }

    const uint64_t dirCount = r.varint();
    if (r.failed() || dirCount > r.remaining() / kMinDirEntryBytes || !items.take(dirCount))
        return corrupt("directory count");
    for (uint64_t i = 0; i < dirCount; ++i) {
        DirEntry d;
        d.path = paths.whole();
        const uint64_t mode = r.varint();
        if (r.failed())
            return corrupt("truncated directory entry");
        if (mode > 07777)
            return corrupt("bad mode for \"" + d.path + "\"");
        d.mode = uint32_t(mode);
        m->dirs.push_back(std::move(d));
    }
    const uint64_t linkCount = version >= kFirstVersionWithLinks ? r.varint() : 0;
    if (r.failed() || linkCount > r.remaining() / kMinLinkEntryBytes || !items.take(linkCount))
        return corrupt("link count");
    for (uint64_t i = 0; i < linkCount; ++i) {
        LinkEntry l;
        l.path = paths.whole();
        l.target = paths.whole();
        if (r.failed())
            return corrupt("truncated link entry");
        m->links.push_back(std::move(l));
    }
    return {};
}

// What versions 4 and 5 end with: directories and links.
Status decodeDirsAndLinks(ByteReader &r, Manifest *m, PathReader &paths, ItemBudget &items)
{
    const uint64_t dirCount = r.varint();
    if (r.failed() || dirCount > r.remaining() / kMinDirEntryBytes || !items.take(dirCount))
        return corrupt("directory count");
    std::string before;
    for (uint64_t i = 0; i < dirCount; ++i) {
        DirEntry d;
        d.path = paths.next(before);
        before = d.path;
        const uint64_t mode = readMode(r, r.u8());
        if (r.failed())
            return corrupt("truncated directory entry");
        if (mode > 07777)
            return corrupt("bad mode for \"" + d.path + "\"");
        d.mode = uint32_t(mode);
        m->dirs.push_back(std::move(d));
    }
    const uint64_t linkCount = r.varint();
    if (r.failed() || linkCount > r.remaining() / kMinLinkEntryBytes || !items.take(linkCount))
        return corrupt("link count");
    before.clear();
    for (uint64_t i = 0; i < linkCount; ++i) {
        LinkEntry l;
        l.path = paths.next(before);
        before = l.path;
        l.target = paths.whole();
        if (r.failed())
            return corrupt("truncated link entry");
        m->links.push_back(std::move(l));
    }

    return {};
}

// The flags column of old files: which are copied to their own path, and with which mode.
Status decodeKept(ByteReader &r, Manifest *m)
{
    for (uint32_t i = 0; i < m->oldFiles.size(); ++i) {
        const OldEntry &e = m->oldFiles[i];
        const uint8_t flags = r.u8();
        if (r.failed())
            return corrupt("truncated old file entry");
        if (flags & kOldKept) {
            const uint64_t mode = readMode(r, uint8_t(flags >> 1));
            if (r.failed() || flags >> 3 || mode > 07777)
                return corrupt("bad mode for \"" + e.path + "\"");
            m->newFiles.push_back({ e.path, uint32_t(mode), e.size, 0, Kind::Copy, { i }, e.check });
        } else if (flags != 0) {
            return corrupt("bad flags of old file \"" + e.path + "\"");
        }
    }
    return {};
}

// The references of the listed new files from first: a delta has a count, a copy one.
Status decodeRefs(ByteReader &r, Manifest *m, size_t first, ItemBudget &items)
{
    const uint64_t oldCount = m->oldFiles.size();
    for (auto e = m->newFiles.begin() + std::ptrdiff_t(first); e != m->newFiles.end(); ++e) {
        const uint64_t refCount = e->kind == Kind::Delta ? r.varint() : e->kind == Kind::Copy ? 1 : 0;
        if (r.failed() || (e->kind == Kind::Delta && refCount == 0) || refCount > r.remaining() || refCount > oldCount
                || !items.take(refCount))
            return corrupt("bad references of new file \"" + e->path + "\"");
        for (uint64_t j = 0; j < refCount; ++j) {
            const uint64_t ref = r.varint();
            if (r.failed() || ref >= oldCount)
                return corrupt("bad reference of new file \"" + e->path + "\"");
            e->refs.push_back(uint32_t(ref));
        }
    }
    return {};
}

// The manifests of versions 4 and 5 (encodeManifest writes version 5). Version 4 lists the sizes
// of old files and an 8-byte hash per delta or new file, with one combined hash of the copies;
// version 5 takes old sizes from the disk (checked by a combined hash of them), has a check byte per
// new file and one combined hash of all, ends paths with a NUL, and may leave out a delta's path.
Status decodeCompact(ByteReader &r, Manifest *m, bool v5)
{
    m->combinedHashes = true;
    m->oldSizesKnown = !v5;
    m->controlsFrameSize = r.varint();
    m->diffsFrameSize = r.varint();
    ItemBudget items;
    const uint64_t oldCount = r.varint();
    if (r.failed() || oldCount > r.remaining() / (v5 ? kMinV5OldBytes : kMinCompactOldBytes) || !items.take(oldCount))
        return corrupt("old file count");
    PathReader paths(r, v5);
    std::string before;
    for (uint64_t i = 0; i < oldCount; ++i) {
        OldEntry e;
        e.path = paths.next(before);
        if (r.failed())
            return corrupt("truncated old file entry");
        // In path order, so a repeated path shows here and needs no set.
        if (i > 0 && e.path <= before)
            return corrupt("old files out of order at \"" + e.path + "\"");
        before = e.path;
        m->oldFiles.push_back(std::move(e));
    }
    for (OldEntry &e : m->oldFiles)
        e.size = v5 ? 0 : r.varint();
    for (OldEntry &e : m->oldFiles)
        e.check = r.u8();
    Status s = decodeKept(r, m);
    if (!s.ok())
        return s;
    if (!items.take(m->newFiles.size()))
        return corrupt("too many entries");
    if (oldCount > 0) {
        m->oldFilesHash = r.u64();
        if (v5)
            m->oldSizesHash = r.u64();
    }
    const size_t keptCount = m->newFiles.size();
    bool copies = keptCount > 0;

    const uint64_t newCount = r.varint();
    if (r.failed() || newCount > r.remaining() / (v5 ? kMinV5NewBytes : kMinCompactNewBytes) || !items.take(newCount))
        return corrupt("new file count");
    before.clear();
    for (uint64_t i = 0; i < newCount; ++i) {
        NewEntry e;
        e.path = paths.next(before); // empty from version 5: the path of its first old file
        if (r.failed())
            return corrupt("truncated new file entry");
        before = v5 && e.path.empty() ? before : e.path;
        m->newFiles.push_back(std::move(e));
    }
    const auto listed = m->newFiles.begin() + std::ptrdiff_t(keptCount);
    for (auto e = listed; e != m->newFiles.end(); ++e) {
        const uint8_t kind = r.u8();
        const uint64_t mode = readMode(r, uint8_t(kind >> 2 & 3));
        if (r.failed())
            return corrupt("truncated new file entry");
        if ((kind & 3) > uint8_t(Kind::New) || kind >> 4
                || (v5 && e->path.empty() && (kind & 3) != uint8_t(Kind::Delta)))
            return corrupt("bad kind of new file \"" + e->path + "\"");
        if (mode > 07777)
            return corrupt("bad mode for \"" + e->path + "\"");
        e->kind = Kind(kind & 3);
        e->mode = uint32_t(mode);
    }
    s = decodeRefs(r, m, keptCount, items);
    if (!s.ok())
        return s;
    for (auto e = listed; e != m->newFiles.end(); ++e) {
        if (v5 && e->path.empty()) {
            e->path = m->oldFiles[e->refs[0]].path;
            if (!paths.add(e->path.size()))
                return corrupt("paths too long");
        }
        if (e->kind == Kind::Copy) {
            e->size = m->oldFiles[e->refs[0]].size;
            e->check = m->oldFiles[e->refs[0]].check;
            copies = true;
        } else {
            e->size = r.varint();
        }
    }
    for (auto e = listed; e != m->newFiles.end(); ++e) {
        if (e->kind != Kind::Copy && v5)
            e->check = r.u8();
        else if (e->kind != Kind::Copy)
            e->hash = r.u64();
    }
    if (v5 ? !m->newFiles.empty() : copies)
        (v5 ? m->newFilesHash : m->copiesHash) = r.u64();
    if (r.failed())
        return corrupt("truncated new file entry");
    return decodeDirsAndLinks(r, m, paths, items);
}

// Adds the parent directories no entry lists, so that every entry's parents are in m->dirs, sorted
// parents first as the applier makes and finishes them. Implied parents count against the paths'
// budget: a few deep paths could otherwise imply gigabytes of them.
Status completeDirs(Manifest *m)
{
    uint64_t total = pathBytes(*m);
    const uint64_t items = manifestItems(*m);
    // Views into the listed paths, which stay where they are until the walk is done.
    std::unordered_set<std::string_view> known;
    known.reserve(m->dirs.size());
    for (const DirEntry &d : m->dirs)
        known.insert(d.path);
    std::vector<std::string_view> implied;
    auto addParents = [&](std::string_view path) {
        // Deepest first: a parent met before has its own parents added already, or is listed and
        // walked itself.
        for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
                slash = path.rfind('/', slash - 1)) {
            if (!known.insert(path.substr(0, slash)).second)
                break;
            implied.push_back(path.substr(0, slash));
            total += slash;
        }
        return total <= kMaxPathTotalBytes && items + implied.size() <= kMaxManifestItems;
    };
    bool fits = total <= kMaxPathTotalBytes && items <= kMaxManifestItems;
    for (size_t i = 0; fits && i < m->newFiles.size(); ++i)
        fits = addParents(m->newFiles[i].path);
    for (size_t i = 0; fits && i < m->links.size(); ++i)
        fits = addParents(m->links[i].path);
    for (size_t i = 0; fits && i < m->dirs.size(); ++i)
        fits = addParents(m->dirs[i].path);
    if (!fits)
        return corrupt("more than " + std::to_string(kMaxPathTotalBytes) + " bytes of paths or "
                + std::to_string(kMaxManifestItems) + " entries and references");
    known = {};
    std::vector<DirEntry> added;
    added.reserve(implied.size());
    for (std::string_view path : implied)
        added.push_back({ std::string(path), 0755 });
    m->dirs.insert(m->dirs.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    std::sort(m->dirs.begin(), m->dirs.end(), [](const DirEntry &a, const DirEntry &b) { return a.path < b.path; });
    return {};
}

} // namespace

Status decodeManifest(ByteReader &r, Manifest *m, uint32_t version)
{
    auto unsafe = [](const std::string &path) {
        return Status::fail(ExitBadPackage, "unsafe path \"" + path + "\" in the package: " + pathProblem(path));
    };
    *m = Manifest();
    m->version = version;
    Status s = version >= kFirstVersionWithFrames ? decodeCompact(r, m, version >= kFirstVersionWithDiskSizes)
                                                  : decodeRows(r, m, version);
    if (!s.ok())
        return s;
    if (r.remaining() != 0)
        return corrupt("trailing bytes");

    // Implied parents come from safe paths, and then are safe themselves.
    for (const OldEntry &e : m->oldFiles) {
        if (!isSafeRelativePath(e.path))
            return unsafe(e.path);
    }
    for (const NewEntry &e : m->newFiles) {
        if (!isSafeRelativePath(e.path))
            return unsafe(e.path);
    }
    for (const DirEntry &d : m->dirs) {
        if (!isSafeRelativePath(d.path))
            return unsafe(d.path);
    }
    for (const LinkEntry &l : m->links) {
        if (!isSafeRelativePath(l.path))
            return unsafe(l.path);
        if (l.target.empty() || l.target.size() > kMaxPathBytes || l.target.find('\0') != std::string::npos)
            return corrupt("bad link text for \"" + l.path + "\"");
    }
    s = completeDirs(m);
    if (!s.ok())
        return s;

    std::unordered_set<std::string_view> oldPaths;
    oldPaths.reserve(m->oldFiles.size());
    for (const OldEntry &e : m->oldFiles) {
        if (!oldPaths.insert(e.path).second)
            return corrupt("two entries for old path \"" + e.path + "\"");
    }
    oldPaths = {};
    // Every parent is a directory now, so a file or link where an entry needs a directory, "a" beside
    // "a/b", shows as one path taken twice. Nothing may lie below a link: writing there would write
    // wherever it points.
    std::vector<std::string_view> allPaths;
    allPaths.reserve(m->newFiles.size() + m->dirs.size() + m->links.size());
    for (const NewEntry &e : m->newFiles)
        allPaths.push_back(e.path);
    for (const LinkEntry &l : m->links)
        allPaths.push_back(l.path);
    for (const DirEntry &d : m->dirs)
        allPaths.push_back(d.path);
    std::unordered_set<std::string_view> taken;
    taken.reserve(allPaths.size());
    for (std::string_view path : allPaths) {
        if (!taken.insert(path).second)
            return corrupt("two entries for path \"" + std::string(path) + "\"");
    }
    taken = {};
    const std::string clash = caseClash(allPaths);
    if (!clash.empty())
        return Status::fail(ExitBadPackage, "paths differ only in case, which Windows cannot hold: " + clash);
    return {};
}

} // namespace hpatch
