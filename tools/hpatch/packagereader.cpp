#include "packagereader.h"

#include "fileio.h"
#include "outputfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>
#include <xxhash.h>

namespace hpatch {

namespace {

constexpr size_t kReadSize = 1 << 17;
// The maker compresses the manifest in one call at most at level 19, which uses at most 8 MiB of
// window; more would only cost the applier memory.
constexpr int kManifestWindowLog = 23;

bool hashRange(int fd, uint64_t offset, uint64_t size, uint64_t *hash)
{
    std::vector<char> buffer(size_t(std::min<uint64_t>(size, kReadSize)));
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    bool ok = true;
    while (size > 0 && ok) {
        const size_t n = size_t(std::min<uint64_t>(size, buffer.size()));
        ok = readAt(fd, buffer.data(), n, offset);
        XXH3_64bits_update(state, buffer.data(), n);
        offset += n;
        size -= n;
    }
    *hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return ok;
}

} // namespace

PackageReader::~PackageReader()
{
    m_controls.reset();
    m_diffs.reset();
    m_bytes.reset();
    if (m_fd >= 0)
        closeFile(m_fd);
}

Status PackageReader::open(const std::string &path)
{
    m_fd = openForRead(path);
    if (m_fd < 0)
        return Status::fail(ExitBadPackage, "cannot open package \"" + path + "\": " + std::strerror(errno));
    return readOpened();
}

Status PackageReader::openMemory(const uint8_t *data, size_t size)
{
    m_fd = memoryFile(data, size);
    if (m_fd < 0)
        return Status::fail(ExitIoError, std::string("cannot create a memory file: ") + std::strerror(errno));
    return readOpened();
}

Status PackageReader::readOpened()
{
    uint64_t fileSize = 0;
    if (!regularFileSize(m_fd, &fileSize))
        return Status::fail(ExitBadPackage, "package is not a regular file");
    if (fileSize == 0)
        return Status::fail(ExitBadPackage, "package is empty");
    unsigned char raw[kHeaderSize];
    if (fileSize < kHeaderSize || !readAt(m_fd, raw, kHeaderSize, 0))
        return Status::fail(ExitBadPackage, "package is too short for its header");
    Status s = decodeHeader(raw, kHeaderSize, &m_header);
    if (!s.ok())
        return s;
    const uint64_t body = fileSize - kHeaderSize;
    if (m_header.manifestSize > body || m_header.streamSize > body - m_header.manifestSize)
        return Status::fail(ExitBadPackage, "package is truncated");
    if (m_header.manifestSize + m_header.streamSize != body)
        return Status::fail(ExitBadPackage, "package has trailing bytes");

    uint64_t hash = 0;
    if (!hashRange(m_fd, kHeaderSize, m_header.manifestSize, &hash))
        return Status::fail(ExitBadPackage, "cannot read package manifest");
    if (hash != m_header.manifestHash)
        return Status::fail(ExitBadPackage, "package manifest is corrupt (hash mismatch)");
    // Decompressed as it is parsed: the manifest's claimed size is never allocated.
    ZstdDecoder source(m_fd, kHeaderSize, m_header.manifestSize, kManifestWindowLog);
    Status sourceStatus;
    ByteReader reader(m_header.manifestRawSize, [&source, &sourceStatus](unsigned char *data, size_t size) {
        return sourceStatus.ok() ? source.pull(data, size, &sourceStatus) : 0;
    });
    s = decodeManifest(reader, &m_manifest, m_header.version);
    // A parse that ran out of bytes fails for the reason the source gives; a parse that is done
    // must have used the whole frame.
    if (sourceStatus.ok() && s.ok())
        sourceStatus = source.finish();
    if (!sourceStatus.ok())
        s = Status::fail(ExitBadPackage, "package manifest is corrupt: " + sourceStatus.message);
    if (!s.ok())
        return s;
    if ((m_header.flags & kFlagFull) && !m_manifest.oldFiles.empty())
        return Status::fail(ExitBadPackage, "corrupt manifest: a full package refers to old files");
    uint64_t at = kHeaderSize + m_header.manifestSize;
    if (m_header.version < kFirstVersionWithFrames) {
        m_bytes = std::make_unique<ZstdDecoder>(m_fd, at, m_header.streamSize);
        m_frames[0] = m_bytes.get();
        return {};
    }
    const uint64_t controls = m_manifest.controlsFrameSize;
    const uint64_t diffs = m_manifest.diffsFrameSize;
    if (controls > m_header.streamSize || diffs > m_header.streamSize - controls)
        return Status::fail(ExitBadPackage, "corrupt manifest: frames larger than the stream");
    m_controls = std::make_unique<ZstdDecoder>(m_fd, at, controls);
    m_diffs = std::make_unique<ZstdDecoder>(m_fd, at + controls, diffs);
    m_bytes = std::make_unique<ZstdDecoder>(m_fd, at + controls + diffs, m_header.streamSize - controls - diffs);
    m_frames[0] = m_controls.get();
    m_frames[1] = m_diffs.get();
    m_frames[2] = m_bytes.get();
    return {};
}

ZstdDecoder &PackageReader::controls()
{
    return m_controls ? *m_controls : *m_bytes;
}

ZstdDecoder &PackageReader::diffs()
{
    return m_diffs ? *m_diffs : *m_bytes;
}

Status PackageReader::finish()
{
    for (ZstdDecoder *frame : m_frames) {
        if (frame) {
            Status s = frame->finish();
            if (!s.ok())
                return s;
        }
    }
    return {};
}

Status PackageReader::verifyStream()
{
    uint64_t hash = 0;
    if (!hashRange(m_fd, kHeaderSize + m_header.manifestSize, m_header.streamSize, &hash))
        return Status::fail(ExitBadPackage, "cannot read package stream");
    if (hash != m_header.streamHash)
        return Status::fail(ExitBadPackage, "package stream is corrupt (hash mismatch)");
    return {};
}

} // namespace hpatch
