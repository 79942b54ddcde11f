#include "packageapplier.h"

#include "diskspace.h"
#include "fileio.h"
#include "outputfile.h"
#include "packagereader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <set>

namespace fs = std::filesystem;

namespace hpatch {

namespace {

constexpr size_t kChunk = 512 << 10;
// The updater may rename every installed file to "<name>.backup" before the tool runs.
const char *const kBackupSuffix = ".backup";
// Files are written below this directory of outDir and get their names only once complete and
// verified, so a tool that is stopped or fails never leaves a half-written file under a real name.
const char *const kStagingName = "~hpatchz.tmp";

std::string joinPath(const std::string &dir, const std::string &relative)
{
    if (dir.empty() || dir.back() == '/')
        return dir + relative;
    return dir + "/" + relative;
}

fs::path normalized(const std::string &path)
{
    const fs::path p = resolvedPath(path);
    fs::path out;
    for (const fs::path &part : p.lexically_normal()) {
        if (!part.empty())
            out /= part;
    }
    return out;
}

bool isSameOrInside(const fs::path &inner, const fs::path &outer)
{
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (i == inner.end() || *i != *o)
            return false;
    }
    return true;
}

// Bytewise sum modulo 256, eight bytes at a time: the high bits are summed apart so no carry
// crosses into the next byte.
void addBytes(char *data, const char *diff, size_t size)
{
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, data + i, 8);
        std::memcpy(&b, diff + i, 8);
        const uint64_t sum = ((a & ~kHigh) + (b & ~kHigh)) ^ ((a ^ b) & kHigh);
        std::memcpy(data + i, &sum, 8);
    }
    for (; i < size; ++i)
        data[i] = char(uint8_t(data[i]) + uint8_t(diff[i]));
}

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Where an add's differences are coded in fields (see packageformat.h), a field may run over the
// end of the piece of the add at hand: what is left of it carries over to the next piece.
struct FieldState
{
    size_t left = 0;
    unsigned carry = 0;
};

// addLeft: the bytes of the add from data on, to know where a field cannot start.
void addFieldDifferences(char *data, const char *diff, size_t size, uint64_t addLeft, FieldState &state)
{
    size_t i = 0;
    auto carryOn = [&] {
        for (; state.left > 0 && i < size; --state.left, ++i) {
            const unsigned v = unsigned(uint8_t(data[i])) + uint8_t(diff[i]) + state.carry;
            data[i] = char(uint8_t(v));
            state.carry = v >> 8;
        }
    };
    carryOn();
    while (i < size) {
        // Most differences are zero: skip them eight at a time.
        if (i + 8 <= size) {
            uint64_t word;
            std::memcpy(&word, diff + i, 8);
            if (word == 0) {
                i += 8;
                continue;
            }
            i += kLittleEndian ? size_t(__builtin_ctzll(word)) / 8 : 0;
        }
        if (diff[i] == 0) {
            ++i;
            continue;
        }
        // Too near the add's end for a field, the byte is a field of its own.
        state = { addLeft - i < kFieldBytes ? 1 : kFieldBytes, 0 };
        carryOn();
    }
}

class FdGuard
{
public:
    explicit FdGuard(int fd = -1)
        : m_fd(fd)
    {
    }
    ~FdGuard()
    {
        if (m_fd >= 0)
            closeFile(m_fd);
    }
    int *out() { return &m_fd; }
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Why a written file does not match its hash: new bytes come from the package itself, while a
// copy or a delta is made of old files.
Status mismatch(const Manifest &manifest, const NewEntry &entry)
{
    if (entry.kind == Kind::New)
        return Status::fail(ExitBadPackage, "\"" + entry.path + "\" does not match its recorded hash");
    if (entry.kind == Kind::Copy)
        return Status::fail(ExitOldMismatch,
                "old file \"" + manifest.oldFiles[entry.refs[0]].path + "\" differs from the one the package was made from");
    return Status::fail(ExitOldMismatch,
            "\"" + entry.path
                    + "\" does not match its recorded hash: an old file differs from the one the package was made from");
}

} // namespace

// Deltas against all old files reuse the same files for every target; reopening them per file
// costs more than the work itself on trees of many small files.
constexpr size_t kMaxOpenOld = 256;
// Old files that deltas read are held in memory up to this much; beside the decoders' windows it
// bounds the applier's memory whatever the tree size (a 500 MB tree: 23.4 MiB peak with 4 MiB here
// and 512 KiB chunks, 25.9 MiB with 6 MiB and 1 MiB ones, in the same time).
constexpr size_t kReferenceMemory = 4 << 20;

PackageApplier::PackageApplier(ApplyOptions options)
    : m_options(std::move(options))
    , m_buffers(kMaxBlockBytes + kOutputBufferBytes)
    , m_out(m_buffers.data() + kMaxBlockBytes)
    , m_reference(kReferenceMemory, [this](uint32_t index) {
        int fd = -1;
        Status s = sharedOld(index, &fd);
        if (!s.ok())
            m_referenceError = s;
        return s.ok() ? fd : -1;
    })
{
}

PackageApplier::~PackageApplier()
{
    for (const auto &open : m_openOld)
        closeFile(open.second);
}

Status PackageApplier::sharedOld(uint32_t index, int *fd)
{
    for (const auto &open : m_openOld) {
        if (open.first == index) {
            *fd = open.second;
            return {};
        }
    }
    Status s = openOld(m_manifest->oldFiles[index], fd);
    if (!s.ok()) {
        if (*fd >= 0)
            closeFile(*fd);
        *fd = -1;
        return s;
    }
    if (m_openOld.size() == kMaxOpenOld) {
        closeFile(m_openOld.front().second);
        m_openOld.erase(m_openOld.begin());
    }
    m_openOld.emplace_back(index, *fd);
    return {};
}

Status PackageApplier::run()
{
    Status s = checkDirectories();
    if (!s.ok())
        return s;
    try {
        PackageReader reader;
        s = reader.open(m_options.package);
        if (!s.ok())
            return s;
        return apply(reader);
    } catch (const std::bad_alloc &) {
        // What this run wrote goes, as after any other failure.
        m_out.discard();
        removeCreated();
        return Status::fail(ExitIoError, kOutOfMemory);
    }
}

Status PackageApplier::checkDirectories()
{
    const fs::path oldDir = normalized(m_options.oldDir);
    const fs::path outDir = normalized(m_options.outDir);
    if (isSameOrInside(outDir, oldDir))
        return Status::fail(
                ExitBadArguments, "output directory \"" + m_options.outDir + "\" is or lies inside the old directory");
    std::error_code ec;
    const fs::file_status old = fs::status(toFsPath(m_options.oldDir), ec);
    if (fs::exists(old) && !fs::is_directory(old))
        return Status::fail(ExitBadArguments, "old directory \"" + m_options.oldDir + "\" is not a directory");
    const EntryType out = entryType(m_options.outDir);
    if (out != EntryType::Missing) {
        if (!m_options.allowExistingEmptyOut)
            return Status::fail(
                    ExitBadArguments, "output directory \"" + m_options.outDir + "\" exists (use -f for an empty one)");
        std::vector<DirectoryItem> items;
        if (out != EntryType::Directory || !listDirectory(m_options.outDir, &items) || !items.empty())
            return Status::fail(
                    ExitBadArguments, "output directory \"" + m_options.outDir + "\" is not an empty directory");
    }
    return {};
}

Status PackageApplier::apply(PackageReader &reader)
{
    if (m_options.check != CheckLevel::None) {
        Status s = reader.verifyStream();
        if (!s.ok())
            return s;
    }
    const Manifest &manifest = reader.manifest();
    m_manifest = &manifest;
    Status s = checkOldFiles(reader);
    if (!s.ok())
        return s;
    s = checkFreeSpace(manifest);
    if (!s.ok())
        return s;

    s = makeOutDir();
    if (s.ok())
        s = makeStaging(manifest);
    // Every parent of an entry is listed, parents first (decodeManifest).
    for (const DirEntry &d : manifest.dirs) {
        if (!s.ok())
            break;
        s = makeDir(d.path, 0700);
    }
    for (const NewEntry &e : manifest.newFiles) {
        if (!s.ok())
            break;
        s = writeFile(reader, e);
    }
    if (s.ok())
        s = reader.finish();
    if (s.ok())
        s = placePending(manifest);
    // Links after every file, and nothing lies below one (the manifest says so), so no write
    // goes through a link.
    for (const LinkEntry &l : manifest.links) {
        if (!s.ok())
            break;
        const std::string path = joinPath(m_options.outDir, l.path);
        if (!makeLink(l.target, path))
            s = Status::fail(ExitIoError, "cannot create the link \"" + path + "\": " + std::strerror(errno));
        if (s.ok())
            m_created.push_back(path);
    }
    if (s.ok() && !removeEntry(m_staging))
        s = Status::fail(ExitIoError, "cannot remove \"" + m_staging + "\": " + std::strerror(errno));
    // Modes last and children first, so a read-only directory does not stop the writes into it.
    for (auto d = manifest.dirs.rbegin(); s.ok() && d != manifest.dirs.rend(); ++d) {
        const std::string path = joinPath(m_options.outDir, d->path);
        if (!setDirectoryMode(path, d->mode))
            s = Status::fail(ExitIoError, "cannot set the mode of \"" + path + "\": " + std::strerror(errno));
    }
    if (!s.ok()) {
        m_out.discard();
        removeCreated();
    }
    return s;
}

Status PackageApplier::openOld(const OldEntry &entry, int *fd, uint64_t *diskSize) const
{
    std::string path = joinPath(m_options.oldDir, entry.path);
    *fd = openForRead(path);
    if (*fd < 0 && errno == ENOENT) {
        path += kBackupSuffix;
        *fd = openForRead(path);
    }
    if (*fd < 0) {
        const int error = errno;
        // A file that is there but held by another process is not another version: the same
        // package can apply once it is free.
        const bool held = (error == EBUSY || error == EACCES) && entryType(path) == EntryType::File;
        return Status::fail(held ? ExitIoError : ExitOldMismatch,
                "old file \"" + entry.path + "\" cannot be opened: " + std::strerror(error));
    }
    uint64_t size = 0;
    if (!regularFileSize(*fd, &size))
        return Status::fail(ExitOldMismatch, "old file \"" + entry.path + "\" is not a regular file");
    if (diskSize)
        *diskSize = size;
    else if (size != entry.size)
        return Status::fail(ExitOldMismatch,
                "old file \"" + entry.path + "\" has " + std::to_string(size) + " bytes, the package expects "
                        + std::to_string(entry.size));
    return {};
}

Status PackageApplier::checkOldFiles(PackageReader &reader)
{
    const Manifest &manifest = reader.manifest();
    std::set<uint32_t> used;
    for (const NewEntry &e : manifest.newFiles)
        used.insert(e.refs.begin(), e.refs.end());
    // The combined hashes cover every old file listed.
    const bool combined = manifest.combinedHashes && m_options.check == CheckLevel::All && !manifest.oldFiles.empty();
    const bool sizes = !manifest.oldSizesKnown;
    for (uint32_t i = 0; (combined || sizes) && i < manifest.oldFiles.size(); ++i)
        used.insert(i);
    std::vector<uint64_t> hashes, found;
    for (uint32_t index : used) {
        const OldEntry &entry = manifest.oldFiles[index];
        FdGuard fd;
        uint64_t diskSize = 0;
        Status s = openOld(entry, fd.out(), sizes ? &diskSize : nullptr);
        if (!s.ok())
            return s;
        found.push_back(diskSize);
        if (m_options.check == CheckLevel::All) {
            uint64_t hash = 0, size = 0;
            if (!hashFile(fd.get(), &hash, &size))
                return Status::fail(
                        ExitOldMismatch, "old file \"" + entry.path + "\" cannot be read: " + std::strerror(errno));
            if ((combined ? uint8_t(hash) != entry.check : hash != entry.hash) || (!sizes && size != entry.size))
                return Status::fail(ExitOldMismatch,
                        "old file \"" + entry.path + "\" differs from the one the package was made from");
            hashes.push_back(hash);
        }
    }
    if (sizes && !found.empty() && hashList(found) != manifest.oldSizesHash)
        return findChangedOld(manifest, std::vector<uint32_t>(used.begin(), used.end()));
    if (combined && hashList(hashes) != manifest.oldFilesHash)
        return Status::fail(ExitOldMismatch, "an old file differs from the one the package was made from");
    if (sizes)
        reader.setOldSizes(found);
    return {};
}

Status PackageApplier::findChangedOld(const Manifest &manifest, const std::vector<uint32_t> &indexes) const
{
    for (uint32_t index : indexes) {
        const OldEntry &entry = manifest.oldFiles[index];
        FdGuard fd;
        uint64_t hash = 0, size = 0;
        Status s = openOld(entry, fd.out(), &size);
        if (s.ok() && hashFile(fd.get(), &hash, &size) && uint8_t(hash) != entry.check)
            return Status::fail(
                    ExitOldMismatch, "old file \"" + entry.path + "\" differs from the one the package was made from");
    }
    return Status::fail(ExitOldMismatch, "the old files differ in size from those the package was made from");
}

Status PackageApplier::checkFreeSpace(const Manifest &manifest) const
{
    // Summed without overflow: a package may claim sizes no disk holds.
    uint64_t total = 0;
    for (const NewEntry &e : manifest.newFiles)
        total = e.size > ~uint64_t(0) - total ? ~uint64_t(0) : total + e.size;
    uint64_t free = 0;
    if (!freeDiskSpace(m_options.outDir, &free))
        return Status::fail(ExitIoError, "cannot tell the free space for \"" + m_options.outDir + "\"");
    if (total > free)
        return Status::fail(ExitIoError,
                "the new tree needs " + std::to_string(total) + " bytes, the disk of \"" + m_options.outDir + "\" has "
                        + std::to_string(free) + " bytes free");
    return {};
}

Status PackageApplier::makeOutDir()
{
    if (makeDirectory(m_options.outDir, 0755)) {
        m_created.push_back(m_options.outDir);
        return {};
    }
    if (errno == EEXIST && m_options.allowExistingEmptyOut)
        return {};
    return Status::fail(
            ExitIoError, "cannot create output directory \"" + m_options.outDir + "\": " + std::strerror(errno));
}

Status PackageApplier::makeDir(const std::string &relative, uint32_t mode)
{
    const std::string path = joinPath(m_options.outDir, relative);
    if (makeDirectory(path, mode)) {
        m_created.push_back(path);
        return {};
    }
    // Only directories this run made can exist below an empty output directory.
    if (errno == EEXIST && entryType(path) == EntryType::Directory)
        return {};
    return Status::fail(ExitIoError, "cannot create directory \"" + path + "\": " + std::strerror(errno));
}

Status PackageApplier::makeStaging(const Manifest &manifest)
{
    // A name no entry of the package takes at the top of outDir, as Windows compares names.
    std::set<std::string> top;
    for (const NewEntry &e : manifest.newFiles)
        top.insert(caseKey(e.path.substr(0, e.path.find('/'))));
    for (const DirEntry &d : manifest.dirs)
        top.insert(caseKey(d.path.substr(0, d.path.find('/'))));
    std::string name = kStagingName;
    while (top.count(caseKey(name)))
        name.insert(0, "~");
    m_staging = joinPath(m_options.outDir, name);
    if (!makeDirectory(m_staging, 0700))
        return Status::fail(ExitIoError, "cannot create directory \"" + m_staging + "\": " + std::strerror(errno));
    m_created.push_back(m_staging);
    return {};
}

Status PackageApplier::writeFile(PackageReader &reader, const NewEntry &entry)
{
    const std::string path = joinPath(m_options.outDir, entry.path);
    const std::string temporary = joinPath(m_staging, std::to_string(m_created.size()));
    OutputFile &out = m_out;
    Status s = out.create(temporary, entry.mode);
    if (!s.ok())
        return s;
    m_created.push_back(temporary);
    switch (entry.kind) {
    case Kind::Copy:
        s = writeCopy(reader.manifest(), entry, out);
        break;
    case Kind::New:
        s = writeNew(reader, entry, out);
        break;
    case Kind::Delta:
        s = writeDelta(reader, entry, out);
        break;
    }
    if (s.ok())
        s = out.close();
    if (!s.ok())
        return s;
    const Manifest &manifest = reader.manifest();
    if (manifest.version >= kFirstVersionWithDiskSizes || (entry.kind == Kind::Copy && manifest.combinedHashes)) {
        // Verified all together once every file is written (placePending).
        m_pending.push_back({ &entry, temporary, out.hash() });
        return {};
    }
    if (m_options.check != CheckLevel::None && out.hash() != entry.hash)
        return mismatch(manifest, entry);
    // A name taken meanwhile, by a file another process made or holds, stays as it is.
    if (!renameNoReplace(temporary, path))
        return Status::fail(ExitIoError, "cannot create \"" + path + "\": " + std::strerror(errno));
    m_created.push_back(path);
    return {};
}

Status PackageApplier::writeCopy(const Manifest &manifest, const NewEntry &entry, OutputFile &out)
{
    const OldEntry &old = manifest.oldFiles[entry.refs.front()];
    FdGuard fd;
    Status s = openOld(old, fd.out());
    if (!s.ok())
        return s;
    for (uint64_t pos = 0; pos < entry.size;) {
        size_t n = size_t(std::min<uint64_t>(kChunk, entry.size - pos));
        char *to = out.room(&n);
        if (!readAt(fd.get(), to, n, pos))
            return Status::fail(ExitOldMismatch, "old file \"" + old.path + "\" cannot be read");
        s = out.commit(n);
        if (!s.ok())
            return s;
        pos += n;
    }
    return {};
}

Status PackageApplier::writeNew(PackageReader &reader, const NewEntry &entry, OutputFile &out)
{
    for (uint64_t pos = 0; pos < entry.size;) {
        size_t n = size_t(std::min<uint64_t>(kChunk, entry.size - pos));
        char *to = out.room(&n);
        Status s = reader.bytes().read(to, n);
        if (s.ok())
            s = out.commit(n);
        if (!s.ok())
            return s;
        pos += n;
    }
    return {};
}

Status PackageApplier::writeDelta(PackageReader &reader, const NewEntry &entry, OutputFile &out)
{
    const Manifest &manifest = reader.manifest();
    // The reference is the concatenation of the listed old files; checkOldFiles has opened each.
    std::vector<uint64_t> starts;
    uint64_t refSize = 0;
    for (uint32_t ref : entry.refs) {
        starts.push_back(refSize);
        refSize += manifest.oldFiles[ref].size;
    }
    auto readRef = [&](uint64_t pos, char *data, uint64_t size) {
        auto it = std::upper_bound(starts.begin(), starts.end(), pos);
        size_t file = size_t(it - starts.begin()) - 1;
        while (size > 0) {
            const uint64_t at = pos - starts[file];
            const uint32_t ref = entry.refs[file];
            const uint64_t n = std::min(size, manifest.oldFiles[ref].size - at);
            if (n > 0 && !m_reference.read(ref, manifest.oldFiles[ref].size, at, data, size_t(n)))
                return false;
            data += n;
            pos += n;
            size -= n;
            ++file;
        }
        return true;
    };
    struct Ctrl
    {
        uint64_t add, copy;
        int64_t seek;
        bool exact; // the add's bytes are the old bytes as they are: no differences stored
    };
    // Format 1 stores differences for every add; later ones flag exact adds in the add's low bit.
    const bool flagged = reader.header().version > 1;
    const bool columns = reader.header().version >= kFirstVersionWithFrames;
    // From version 5 an unchanged add needs no buffer and may be long, and a seek starts after the copy.
    const bool longAdds = reader.header().version >= kFirstVersionWithDiskSizes;
    const bool flaggedBlocks = reader.header().version >= kFirstVersionWithFields;
    std::vector<Ctrl> ctrls;
    ZstdDecoder &controls = reader.controls();
    auto corrupt = [&](const char *why) {
        return Status::fail(ExitBadPackage, "delta of \"" + entry.path + "\" is corrupt: " + why);
    };
    int64_t oldPos = 0;
    uint64_t left = entry.size;
    Status s;
    while (left > 0) {
        uint64_t count = controls.varint(&s);
        if (!s.ok())
            return s;
        const bool fields = flaggedBlocks && (count & 1);
        count = flaggedBlocks ? count >> 1 : count;
        if (count == 0 || count > kMaxBlockControls)
            return corrupt("bad control count");
        ctrls.resize(size_t(count));
        auto readAdd = [&](Ctrl &c) {
            c.add = controls.varint(&s);
            c.exact = flagged && (c.add & 1);
            c.add = flagged ? c.add >> 1 : c.add;
        };
        auto readCopy = [&](Ctrl &c) { c.copy = controls.varint(&s); };
        auto readSeek = [&](Ctrl &c) { c.seek = unzigzag(controls.varint(&s)); };
        if (columns) {
            for (size_t i = 0; i < ctrls.size() && s.ok(); ++i)
                readAdd(ctrls[i]);
            for (size_t i = 0; i < ctrls.size() && s.ok(); ++i)
                readCopy(ctrls[i]);
            for (size_t i = 0; i < ctrls.size() && s.ok(); ++i)
                readSeek(ctrls[i]);
        } else {
            for (size_t i = 0; i < ctrls.size() && s.ok(); ++i) {
                readAdd(ctrls[i]);
                if (s.ok())
                    readCopy(ctrls[i]);
                if (s.ok())
                    readSeek(ctrls[i]);
            }
        }
        if (!s.ok())
            return s;
        uint64_t yields = 0, diffs = 0, copies = 0;
        for (const Ctrl &c : ctrls) {
            if ((c.add > kMaxBlockBytes && !(longAdds && c.exact)) || c.copy > kMaxBlockBytes)
                return corrupt("control too large");
            if (c.add > left - yields || c.copy > left - yields - c.add)
                return corrupt("block size does not fit the file");
            yields += c.add + c.copy;
            diffs += c.exact ? 0 : c.add;
            copies += c.copy;
            if ((longAdds ? diffs + copies : yields) > kMaxBlockBytes)
                return corrupt("block too large");
        }
        if (yields == 0)
            return corrupt("block size does not fit the file");
        // Both fit in one block buffer: the checks above bound their sum by kMaxBlockBytes.
        char *d = m_buffers.data();
        char *x = d + diffs;
        s = reader.diffs().read(d, size_t(diffs));
        if (s.ok())
            s = reader.bytes().read(x, size_t(copies));
        if (!s.ok())
            return s;
        for (const Ctrl &c : ctrls) {
            if (c.add > 0) {
                if (oldPos < 0 || uint64_t(oldPos) > refSize || c.add > refSize - uint64_t(oldPos))
                    return corrupt("reads outside its reference");
                FieldState field;
                for (uint64_t done = 0; done < c.add;) {
                    size_t n = size_t(std::min<uint64_t>(c.add - done, kChunk));
                    char *bytes = out.room(&n);
                    if (!readRef(uint64_t(oldPos) + done, bytes, n)) {
                        if (!m_referenceError.ok())
                            return m_referenceError;
                        return Status::fail(ExitOldMismatch, "old files of \"" + entry.path + "\" cannot be read");
                    }
                    if (!c.exact) {
                        if (fields)
                            addFieldDifferences(bytes, d, n, c.add - done, field);
                        else
                            addBytes(bytes, d, n);
                        d += n;
                    }
                    s = out.commit(n);
                    if (!s.ok())
                        return s;
                    done += n;
                }
            }
            if (c.copy > 0) {
                s = out.write(x, size_t(c.copy));
                if (!s.ok())
                    return s;
                x += c.copy;
            }
            // Bounded so the position arithmetic cannot overflow; range checks happen at use.
            if (c.seek > (int64_t(1) << 62) || c.seek < -(int64_t(1) << 62) || oldPos > (int64_t(1) << 62)
                    || oldPos < -(int64_t(1) << 62))
                return corrupt("seek out of range");
            oldPos += int64_t(c.add) + (longAdds ? int64_t(c.copy) : 0) + c.seek;
        }
        left -= yields;
    }
    return {};
}

Status PackageApplier::placePending(const Manifest &manifest)
{
    if (m_options.check != CheckLevel::None && !m_pending.empty()) {
        const bool all = manifest.version >= kFirstVersionWithDiskSizes;
        std::vector<uint64_t> hashes;
        for (const Pending &p : m_pending)
            hashes.push_back(p.hash);
        if (hashList(hashes) != (all ? manifest.newFilesHash : manifest.copiesHash)) {
            for (const Pending &p : m_pending) {
                if (uint8_t(p.hash) != (all ? p.entry->check : manifest.oldFiles[p.entry->refs[0]].check))
                    return mismatch(manifest, *p.entry);
            }
            return Status::fail(ExitOldMismatch, "an old file differs from the one the package was made from");
        }
    }
    for (const Pending &p : m_pending) {
        const std::string path = joinPath(m_options.outDir, p.entry->path);
        if (!renameNoReplace(p.temporary, path))
            return Status::fail(ExitIoError, "cannot create \"" + path + "\": " + std::strerror(errno));
        m_created.push_back(path);
    }
    m_pending.clear();
    return {};
}

void PackageApplier::removeCreated()
{
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
        removeEntry(*it);
    m_created.clear();
}

} // namespace hpatch
