#include "outputfile.h"

#include "fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace hpatch {

namespace {
bool allZero(const char *data, size_t size)
{
    static const char zeros[4096] = {};
    while (size > 0) {
        const size_t n = std::min(size, sizeof zeros);
        if (std::memcmp(data, zeros, n) != 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}
} // namespace

OutputFile::OutputFile(char *buffer)
    : m_buffer(buffer)
    , m_hash(XXH3_createState())
{
    XXH3_64bits_reset(m_hash);
}

OutputFile::~OutputFile()
{
    if (m_fd >= 0)
        closeFile(m_fd);
    XXH3_freeState(m_hash);
}

Status OutputFile::ioError(const char *what)
{
    return Status::fail(ExitIoError, std::string("cannot ") + what + " \"" + m_path + "\": " + std::strerror(errno));
}

Status OutputFile::create(const std::string &path, uint32_t mode)
{
    if (m_fd >= 0)
        closeFile(m_fd);
    m_fd = -1;
    m_used = 0;
    m_size = 0;
    m_written = 0;
    m_holeAtEnd = false;
    XXH3_64bits_reset(m_hash);
    m_path = path;
    m_mode = mode;
    m_fd = createNewFile(path);
    if (m_fd < 0)
        return ioError("create");
    return {};
}

Status OutputFile::write(const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        size_t n = size;
        char *to = room(&n); // lowers n: not in the same expression that passes n on
        std::memcpy(to, p, n);
        Status s = commit(n);
        if (!s.ok())
            return s;
        p += n;
        size -= n;
    }
    return {};
}

char *OutputFile::room(size_t *size)
{
    *size = std::min(*size, kOutputBufferBytes - m_used);
    return m_buffer + m_used;
}

Status OutputFile::commit(size_t size)
{
    XXH3_64bits_update(m_hash, m_buffer + m_used, size);
    m_size += size;
    m_used += size;
    return m_used == kOutputBufferBytes ? flush() : Status();
}

Status OutputFile::flush()
{
    if (m_used == 0)
        return {};
    // A whole zero buffer becomes a hole: large sparse or zero-filled files cost no writes.
    if (m_used == kOutputBufferBytes && allZero(m_buffer, m_used)) {
        m_written += m_used;
        m_used = 0;
        m_holeAtEnd = true;
        return {};
    }
    if (!writeAt(m_fd, m_buffer, m_used, m_written))
        return ioError("write");
    m_written += m_used;
    m_used = 0;
    m_holeAtEnd = false;
    return {};
}

Status OutputFile::close()
{
    Status s = flush();
    if (!s.ok())
        return s;
    if (m_holeAtEnd && !resizeFile(m_fd, m_written))
        return ioError("set the size of");
    if (!setFileMode(m_fd, m_mode))
        return ioError("set the mode of");
    const int fd = m_fd;
    m_fd = -1;
    // A delayed write error (quota, full disk on some file systems) shows only here.
    if (!closeFile(fd))
        return ioError("close");
    return {};
}

void OutputFile::discard()
{
    if (m_fd >= 0)
        closeFile(m_fd);
    m_fd = -1;
    m_used = 0;
}

bool readAt(int fd, void *data, size_t size, uint64_t offset)
{
    char *p = static_cast<char *>(data);
    while (size > 0) {
        const int64_t n = readAtMost(fd, p, size, offset);
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool hashFile(int fd, uint64_t *hash, uint64_t *size)
{
    // Left unfilled: a small file touches a page of it, not a megabyte.
    std::unique_ptr<char[]> buffer(new char[kOutputBufferBytes]);
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        const int64_t n = readAtMost(fd, buffer.get(), kOutputBufferBytes, total);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        XXH3_64bits_update(state, buffer.get(), size_t(n));
        total += uint64_t(n);
    }
    *hash = XXH3_64bits_digest(state);
    *size = total;
    XXH3_freeState(state);
    return ok;
}

} // namespace hpatch
