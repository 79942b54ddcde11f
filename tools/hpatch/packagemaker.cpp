#include "packagemaker.h"

#include "deltaencoder.h"
#include "fileio.h"
#include "mappedfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <xxhash.h>
#include <zstd.h>

namespace hpatch {

namespace {

// The largest reference of all changed old files together: with its suffix array and the trees'
// mappings the maker stays under 1 GiB.
constexpr uint64_t kMaxCombinedReference = 128 << 20;
// Level of the quick trial that decides between a delta and the plain bytes of one file.
constexpr int kTrialLevel = 3;
// Window of the controls and differences frames: both hold little that repeats from far away,
// and each frame's window adds to the applier's memory.
constexpr int kSideWindowLog = 21;

struct FileCloser
{
    void operator()(std::FILE *f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

size_t trialSize(const void *data, size_t size)
{
    std::string out(ZSTD_compressBound(size), '\0');
    const size_t n = ZSTD_compress(out.data(), out.size(), data, size, kTrialLevel);
    return ZSTD_isError(n) ? size : n;
}

int windowLogFor(uint64_t size, int maxLog)
{
    int log = 10;
    while (log < maxLog && (uint64_t(1) << log) < size)
        ++log;
    return log;
}

// The stream order of new files: by extension, then name, then path. Builds of one module under
// several folders (dev/, esm/, min/) then lie side by side, inside the compressor's window.
std::vector<size_t> streamOrder(const std::vector<TreeFile> &files)
{
    struct Key
    {
        std::string extension, name;
    };
    std::vector<Key> keys;
    keys.reserve(files.size());
    for (const TreeFile &f : files) {
        const size_t slash = f.path.rfind('/');
        std::string name = slash == std::string::npos ? f.path : f.path.substr(slash + 1);
        const size_t dot = name.rfind('.');
        keys.push_back({ dot == std::string::npos ? std::string() : name.substr(dot), std::move(name) });
    }
    std::vector<size_t> order(files.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (keys[a].extension != keys[b].extension)
            return keys[a].extension < keys[b].extension;
        return keys[a].name < keys[b].name;
    });
    return order;
}

Status writeError(const std::string &path)
{
    return Status::fail(ExitIoError, "cannot write \"" + path + "\": " + std::strerror(errno));
}

} // namespace

PackageMaker::PackageMaker(MakeOptions options, ProgressFunction progress)
    : m_options(std::move(options))
    , m_progress(std::move(progress))
{
}

Status PackageMaker::run()
{
    if (m_options.level == 0)
        m_options.level = m_options.full ? kDefaultFullLevel : kDefaultLevel;
    if (m_options.level < 1 || m_options.level > ZSTD_maxCLevel())
        return Status::fail(ExitBadArguments, "compression level out of range");
    if (m_options.windowLog == 0)
        m_options.windowLog = m_options.full ? kDefaultFullWindowLog : kDefaultWindowLog;
    if (m_options.windowLog < 10 || m_options.windowLog > kMaxWindowLog)
        return Status::fail(ExitBadArguments, "window log out of range (10 to " + std::to_string(kMaxWindowLog) + ")");
    Status s;
    if (!m_options.full) {
        s = scanTree(m_options.oldDir, false, &m_old, m_progress);
        if (!s.ok())
            return s;
    }
    s = scanTree(m_options.newDir, true, &m_new, m_progress);
    if (!s.ok())
        return s;

    RawFrames raw;
    for (int i = 0; i < 3; ++i)
        raw.path[i] = m_options.package + ".raw" + std::to_string(i) + ".tmp";
    Manifest manifest;
    s = writeRawStream(raw, &manifest);
    if (s.ok())
        s = writePackage(raw, &manifest);
    for (const std::string &path : raw.path)
        removeEntry(path);
    return s;
}

Status PackageMaker::writeRawStream(RawFrames &frames, Manifest *manifest)
{
    FilePtr files[3];
    for (int i = 0; i < 3; ++i) {
        files[i].reset(openStream(frames.path[i], "wb"));
        if (!files[i])
            return writeError(frames.path[i]);
    }
    const std::string &rawPath = frames.path[RawFrames::Bytes];
    std::FILE *raw = files[RawFrames::Bytes].get();

    std::map<std::string, size_t> oldByPath;
    std::map<std::pair<uint64_t, uint64_t>, size_t> oldByContent;
    for (size_t i = 0; i < m_old.files.size(); ++i) {
        oldByPath[m_old.files[i].path] = i;
        oldByContent.emplace(std::make_pair(m_old.files[i].hash, m_old.files[i].size), i);
    }
    std::map<std::string, size_t> newByPath;
    for (size_t i = 0; i < m_new.files.size(); ++i)
        newByPath[m_new.files[i].path] = i;

    // Old files enter the manifest only when a new file refers to them.
    std::map<size_t, uint32_t> manifestIndex;
    auto reference = [&](size_t oldIndex) {
        auto it = manifestIndex.find(oldIndex);
        if (it != manifestIndex.end())
            return it->second;
        const TreeFile &f = m_old.files[oldIndex];
        manifest->oldFiles.push_back({ f.path, f.size, f.hash });
        const uint32_t index = uint32_t(manifest->oldFiles.size() - 1);
        manifestIndex[oldIndex] = index;
        return index;
    };

    // The reference of every changed file: all changed and deleted old files one after another,
    // since code moves between files in real releases. Its suffix array takes four bytes per
    // byte, so past kMaxCombinedReference old files are matched only against their own new file.
    std::vector<size_t> combinedFiles;
    std::vector<uint64_t> combinedStarts;
    std::vector<uint8_t> combined;
    std::vector<bool> inCombined(m_old.files.size());
    std::unique_ptr<DeltaEncoder> combinedEncoder;
    for (size_t i = 0; i < m_old.files.size(); ++i) {
        const TreeFile &f = m_old.files[i];
        auto same = newByPath.find(f.path);
        if (same != newByPath.end() && m_new.files[same->second].hash == f.hash
                && m_new.files[same->second].size == f.size)
            continue;
        if (f.size == 0 || combined.size() + f.size > kMaxCombinedReference)
            continue;
        MappedFile map;
        if (!map.open(m_options.oldDir + "/" + f.path) || map.size() != f.size)
            return Status::fail(ExitIoError, "cannot read \"" + m_options.oldDir + "/" + f.path + "\"");
        combinedStarts.push_back(combined.size());
        combined.insert(combined.end(), map.data(), map.data() + map.size());
        combinedFiles.push_back(i);
        inCombined[i] = true;
    }
    if (m_progress)
        m_progress("indexing " + std::to_string(combined.size()) + " bytes of old files");
    if (!combined.empty())
        combinedEncoder = std::make_unique<DeltaEncoder>(combined.data(), combined.size());
    const std::vector<uint64_t> ownStart{ 0 };
    std::vector<DeltaControl> controls, split;
    std::vector<uint64_t> compact;

    size_t copies = 0, deltas = 0, plain = 0;
    std::vector<char> buffer(1 << 20);
    DeltaStreams delta;
    const size_t total = m_new.files.size();
    const std::vector<size_t> order = streamOrder(m_new.files);
    for (size_t n = 0; n < total; ++n) {
        const TreeFile &f = m_new.files[order[n]];
        if (m_progress)
            m_progress("[" + std::to_string(n + 1) + "/" + std::to_string(total) + "] " + f.path);
        NewEntry entry;
        entry.path = f.path;
        entry.mode = f.mode;
        entry.size = f.size;
        entry.hash = f.hash;
        const std::string newPath = m_options.newDir + "/" + f.path;

        // Unchanged, moved and duplicated files are copies; the same path is the first choice.
        if (f.size > 0) {
            auto byPath = oldByPath.find(f.path);
            size_t source = m_old.files.size();
            if (byPath != oldByPath.end() && m_old.files[byPath->second].hash == f.hash
                    && m_old.files[byPath->second].size == f.size)
                source = byPath->second;
            else if (auto same = oldByContent.find({ f.hash, f.size }); same != oldByContent.end())
                source = same->second;
            if (source < m_old.files.size()) {
                entry.kind = Kind::Copy;
                entry.refs = { reference(source) };
                manifest->newFiles.push_back(entry);
                ++copies;
                continue;
            }
        }

        bool useDelta = false;
        delta.clear();
        if (f.size > 0 && f.size <= kMaxDeltaReference) {
            const std::vector<size_t> *refFiles = &combinedFiles;
            const std::vector<uint64_t> *starts = &combinedStarts;
            const DeltaEncoder *encoder = nullptr;
            std::unique_ptr<DeltaEncoder> own;
            std::vector<size_t> ownFile;
            MappedFile oldMap;
            auto byPath = oldByPath.find(f.path);
            if (combinedEncoder && combinedEncoder->valid()
                    && (byPath == oldByPath.end() || inCombined[byPath->second])) {
                encoder = combinedEncoder.get();
            } else if (byPath != oldByPath.end() && m_old.files[byPath->second].size > 0
                    && m_old.files[byPath->second].size <= kMaxDeltaReference) {
                if (!oldMap.open(m_options.oldDir + "/" + f.path) || oldMap.size() != m_old.files[byPath->second].size)
                    return Status::fail(ExitIoError, "cannot read \"" + m_options.oldDir + "/" + f.path + "\"");
                own = std::make_unique<DeltaEncoder>(oldMap.data(), oldMap.size());
                ownFile = { byPath->second };
                refFiles = &ownFile;
                starts = &ownStart;
                encoder = own->valid() ? own.get() : nullptr;
            }
            if (encoder) {
                MappedFile newMap;
                if (!newMap.open(newPath) || newMap.size() != f.size)
                    return Status::fail(ExitIoError, "cannot read \"" + newPath + "\"");
                encoder->match(newMap.data(), newMap.size(), controls);
                // Only the old files the adds read become the reference the applier gets, one
                // after another; positions move down by the files left out before them.
                auto fileAt = [&](uint64_t pos) {
                    return size_t(std::upper_bound(starts->begin(), starts->end(), pos) - starts->begin()) - 1;
                };
                // An add that runs over the end of an old file is cut there: the applier's reference
                // may hold the files in another order.
                split.clear();
                for (const DeltaControl &c : controls) {
                    DeltaControl rest = c;
                    while (rest.add > 0 && fileAt(rest.oldPos) != fileAt(rest.oldPos + rest.add - 1)) {
                        const uint64_t head = (*starts)[fileAt(rest.oldPos) + 1] - rest.oldPos;
                        split.push_back({ rest.oldPos, head, rest.newPos, 0 });
                        rest.oldPos += head;
                        rest.newPos += head;
                        rest.add -= head;
                    }
                    split.push_back(rest);
                }
                controls.swap(split);
                const uint64_t unused = ~uint64_t(0);
                compact.assign(refFiles->size(), unused);
                for (const DeltaControl &c : controls) {
                    if (c.add > 0)
                        compact[fileAt(c.oldPos)] = 0;
                }
                // The old file of the same path goes first: the manifest then names it for the path.
                std::vector<size_t> visit;
                for (size_t k = 0; k < compact.size(); ++k) {
                    const bool own = byPath != oldByPath.end() && (*refFiles)[k] == byPath->second;
                    if (compact[k] != unused)
                        visit.insert(own ? visit.begin() : visit.end(), k);
                }
                std::vector<size_t> usedFiles;
                uint64_t usedBytes = 0;
                for (size_t k : visit) {
                    compact[k] = usedBytes;
                    usedBytes += m_old.files[(*refFiles)[k]].size;
                    usedFiles.push_back((*refFiles)[k]);
                }
                if (!usedFiles.empty()) {
                    auto map = [&](uint64_t pos) {
                        const size_t k = fileAt(pos);
                        return compact[k] + (pos - (*starts)[k]);
                    };
                    encoder->write(newMap.data(), controls, map, delta);
                    useDelta = trialSize(delta.controls.data(), delta.controls.size())
                                    + trialSize(delta.diffs.data(), delta.diffs.size())
                                    + trialSize(delta.bytes.data(), delta.bytes.size())
                            < trialSize(newMap.data(), size_t(newMap.size()));
                }
                if (useDelta) {
                    entry.kind = Kind::Delta;
                    for (size_t r : usedFiles)
                        entry.refs.push_back(reference(r));
                }
            }
        }

        if (useDelta) {
            const std::string *parts[3] = { &delta.controls, &delta.diffs, &delta.bytes };
            for (int i = 0; i < 3; ++i) {
                if (std::fwrite(parts[i]->data(), 1, parts[i]->size(), files[i].get()) != parts[i]->size())
                    return writeError(frames.path[i]);
                frames.size[i] += parts[i]->size();
            }
            ++deltas;
        } else {
            entry.kind = Kind::New;
            FilePtr in(openStream(newPath, "rb"));
            if (!in && f.size > 0)
                return Status::fail(ExitIoError, "cannot read \"" + newPath + "\": " + std::strerror(errno));
            for (uint64_t left = f.size; left > 0;) {
                const size_t want = size_t(std::min<uint64_t>(left, buffer.size()));
                if (std::fread(buffer.data(), 1, want, in.get()) != want)
                    return Status::fail(ExitIoError, "\"" + newPath + "\" changed while it was read");
                if (std::fwrite(buffer.data(), 1, want, raw) != want)
                    return writeError(rawPath);
                left -= want;
            }
            frames.size[RawFrames::Bytes] += f.size;
            ++plain;
        }
        manifest->newFiles.push_back(entry);
    }
    for (int i = 0; i < 3; ++i) {
        if (std::fflush(files[i].get()) != 0)
            return writeError(frames.path[i]);
    }
    manifest->dirs = m_new.dirs;
    manifest->links = m_new.links;
    const std::string beyond = boundsProblem(pathBytes(*manifest), manifestItems(*manifest));
    if (!beyond.empty())
        return Status::fail(ExitBadPackage, "the package would hold " + beyond);
    m_summary = std::to_string(total) + " files: " + std::to_string(copies) + " copied, " + std::to_string(deltas)
            + " by delta, " + std::to_string(plain) + " new; " + std::to_string(manifest->oldFiles.size())
            + " old files used, " + std::to_string(m_new.dirs.size()) + " directories, "
            + std::to_string(m_new.links.size()) + " links";
    return {};
}

// Compresses size bytes of in as one frame into out, hashing what it writes.
Status PackageMaker::compress(std::FILE *in, uint64_t size, int windowLog, std::FILE *out, const std::string &outPath,
        XXH3_state_t *hash, uint64_t *written)
{
    *written = 0;
    if (size == 0)
        return {}; // an empty part is a frame of no bytes
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> ctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, m_options.level);
    ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_windowLog, windowLogFor(size, windowLog));
    ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setPledgedSrcSize(ctx.get(), size);

    std::vector<char> inBuf(ZSTD_CStreamInSize());
    std::vector<char> outBuf(ZSTD_CStreamOutSize());
    uint64_t done = 0;
    int lastPercent = -1;
    for (bool last = false; !last;) {
        const size_t got = std::fread(inBuf.data(), 1, inBuf.size(), in);
        done += got;
        last = got < inBuf.size();
        ZSTD_inBuffer input{ inBuf.data(), got, 0 };
        for (bool finished = false; !finished;) {
            ZSTD_outBuffer output{ outBuf.data(), outBuf.size(), 0 };
            const size_t r = ZSTD_compressStream2(ctx.get(), &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(r))
                return Status::fail(ExitIoError, std::string("cannot compress: ") + ZSTD_getErrorName(r));
            XXH3_64bits_update(hash, outBuf.data(), output.pos);
            *written += output.pos;
            if (std::fwrite(outBuf.data(), 1, output.pos, out) != output.pos)
                return writeError(outPath);
            finished = last ? r == 0 : input.pos == input.size;
        }
        const int percent = int(done * 100 / size);
        if (m_progress && percent != lastPercent) {
            lastPercent = percent;
            m_progress("compressing " + std::to_string(percent) + "%");
        }
    }
    if (std::ferror(in) || done != size)
        return Status::fail(ExitIoError, "cannot read a temporary file of the package");
    return {};
}

Status PackageMaker::writePackage(const RawFrames &raw, Manifest *manifest)
{
    Header header;
    header.flags = m_options.full ? kFlagFull : 0;
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)> stateOwner(state, XXH3_freeState);

    // The controls and differences frames first, into files of their own: their sizes belong in
    // the manifest, which comes before them.
    const std::string sidePath = m_options.package + ".side.tmp";
    FilePtr side(openStream(sidePath, "w+b"));
    if (!side)
        return writeError(sidePath);
    Status s;
    for (int i = 0; i < 2 && s.ok(); ++i) {
        FilePtr in(openStream(raw.path[i], "rb"));
        uint64_t written = 0;
        s = in ? compress(in.get(), raw.size[i], std::min(kSideWindowLog, m_options.windowLog), side.get(), sidePath,
                    state, &written)
               : writeError(raw.path[i]);
        (i == 0 ? manifest->controlsFrameSize : manifest->diffsFrameSize) = written;
        header.streamSize += written;
    }
    if (s.ok() && (std::fflush(side.get()) != 0 || std::fseek(side.get(), 0, SEEK_SET) != 0))
        s = writeError(sidePath);
    if (!s.ok()) {
        side.reset();
        removeEntry(sidePath);
        return s;
    }

    const std::string manifestRaw = encodeManifest(*manifest);
    std::string manifestPacked(ZSTD_compressBound(manifestRaw.size()), '\0');
    const size_t packed = ZSTD_compress(
            manifestPacked.data(), manifestPacked.size(), manifestRaw.data(), manifestRaw.size(), m_options.level);
    if (ZSTD_isError(packed)) {
        side.reset();
        removeEntry(sidePath);
        return Status::fail(ExitIoError, std::string("cannot compress the manifest: ") + ZSTD_getErrorName(packed));
    }
    manifestPacked.resize(packed);
    header.manifestSize = manifestPacked.size();
    header.manifestRawSize = manifestRaw.size();
    header.manifestHash = XXH3_64bits(manifestPacked.data(), manifestPacked.size());

    const std::string partPath = m_options.package + ".part";
    FilePtr out(openStream(partPath, "wb"));
    FilePtr in(openStream(raw.path[RawFrames::Bytes], "rb"));
    if (!out || !in)
        s = writeError(partPath);
    const std::string placeholder(kHeaderSize, '\0');
    if (s.ok()
            && (std::fwrite(placeholder.data(), 1, placeholder.size(), out.get()) != placeholder.size()
                    || std::fwrite(manifestPacked.data(), 1, manifestPacked.size(), out.get())
                            != manifestPacked.size()))
        s = writeError(partPath);
    std::vector<char> buffer(1 << 20);
    for (uint64_t left = header.streamSize; s.ok() && left > 0;) {
        const size_t n = size_t(std::min<uint64_t>(left, buffer.size()));
        if (std::fread(buffer.data(), 1, n, side.get()) != n)
            s = Status::fail(ExitIoError, "cannot read \"" + sidePath + "\"");
        else if (std::fwrite(buffer.data(), 1, n, out.get()) != n)
            s = writeError(partPath);
        left -= n;
    }
    side.reset();
    removeEntry(sidePath);
    uint64_t written = 0;
    if (s.ok())
        s = compress(in.get(), raw.size[RawFrames::Bytes], m_options.windowLog, out.get(), partPath, state, &written);
    header.streamSize += written;
    header.streamHash = XXH3_64bits_digest(state);
    if (s.ok()) {
        const std::string head = encodeHeader(header);
        if (std::fseek(out.get(), 0, SEEK_SET) != 0
                || std::fwrite(head.data(), 1, head.size(), out.get()) != head.size() || !syncStream(out.get()))
            s = writeError(partPath);
    }
    if (s.ok() && std::fclose(out.release()) != 0)
        s = writeError(partPath);
    if (s.ok() && !renameReplacing(partPath, m_options.package))
        s = writeError(m_options.package);
    if (!s.ok()) {
        out.reset(); // Windows removes no file that is still open
        removeEntry(partPath);
    }
    return s;
}

} // namespace hpatch
