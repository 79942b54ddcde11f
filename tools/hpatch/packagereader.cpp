#include "packagereader.h"

#include "outputfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace hpatch {

PackageReader::~PackageReader()
{
    m_stream.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

Status PackageReader::open(const std::string &path)
{
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return Status::fail(ExitBadPackage, "cannot open package \"" + path + "\": " + std::strerror(errno));
    return readOpened();
}

Status PackageReader::openMemory(const uint8_t *data, size_t size)
{
    m_fd = ::memfd_create("package", MFD_CLOEXEC);
    if (m_fd < 0)
        return Status::fail(ExitIoError, std::string("cannot create a memory file: ") + std::strerror(errno));
    if (size > 0 && ::pwrite(m_fd, data, size, 0) != ssize_t(size))
        return Status::fail(ExitIoError, "cannot fill a memory file");
    return readOpened();
}

Status PackageReader::readOpened()
{
    struct stat st;
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Status::fail(ExitBadPackage, "package is not a regular file");
    const uint64_t fileSize = uint64_t(st.st_size);
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

    std::vector<char> compressed(size_t(m_header.manifestSize));
    if (!readAt(m_fd, compressed.data(), compressed.size(), kHeaderSize))
        return Status::fail(ExitBadPackage, "cannot read package manifest");
    if (XXH3_64bits(compressed.data(), compressed.size()) != m_header.manifestHash)
        return Status::fail(ExitBadPackage, "package manifest is corrupt (hash mismatch)");
    std::string manifest(size_t(m_header.manifestRawSize), '\0');
    const size_t got = ZSTD_decompress(manifest.data(), manifest.size(), compressed.data(), compressed.size());
    if (ZSTD_isError(got) || got != manifest.size())
        return Status::fail(ExitBadPackage, "package manifest cannot be decompressed");
    s = decodeManifest(manifest, &m_manifest);
    if (!s.ok())
        return s;
    if ((m_header.flags & kFlagFull) && !m_manifest.oldFiles.empty())
        return Status::fail(ExitBadPackage, "corrupt manifest: a full package refers to old files");
    m_stream = std::make_unique<ZstdDecoder>(m_fd, kHeaderSize + m_header.manifestSize, m_header.streamSize);
    return {};
}

Status PackageReader::verifyStream()
{
    std::vector<char> buffer(1 << 20);
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    uint64_t offset = kHeaderSize + m_header.manifestSize;
    uint64_t left = m_header.streamSize;
    bool ok = true;
    while (left > 0 && ok) {
        const size_t n = size_t(std::min<uint64_t>(left, buffer.size()));
        ok = readAt(m_fd, buffer.data(), n, offset);
        XXH3_64bits_update(state, buffer.data(), n);
        offset += n;
        left -= n;
    }
    const uint64_t hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    if (!ok)
        return Status::fail(ExitBadPackage, "cannot read package stream");
    if (hash != m_header.streamHash)
        return Status::fail(ExitBadPackage, "package stream is corrupt (hash mismatch)");
    return {};
}

} // namespace hpatch
