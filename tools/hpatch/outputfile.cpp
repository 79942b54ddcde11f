#include "outputfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hpatch {

namespace {
constexpr size_t kBufferSize = 1 << 20;

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

OutputFile::OutputFile()
    : m_buffer(kBufferSize)
    , m_hash(XXH3_createState())
{
    XXH3_64bits_reset(m_hash);
}

OutputFile::~OutputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    XXH3_freeState(m_hash);
}

Status OutputFile::ioError(const char *what)
{
    return Status::fail(ExitIoError, std::string("cannot ") + what + " \"" + m_path + "\": " + std::strerror(errno));
}

Status OutputFile::create(const std::string &path, uint32_t mode)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_used = 0;
    m_size = 0;
    m_written = 0;
    m_holeAtEnd = false;
    XXH3_64bits_reset(m_hash);
    m_path = path;
    m_mode = mode;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return ioError("create");
    return {};
}

Status OutputFile::write(const void *data, size_t size)
{
    XXH3_64bits_update(m_hash, data, size);
    m_size += size;
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const size_t n = std::min(size, m_buffer.size() - m_used);
        std::memcpy(m_buffer.data() + m_used, p, n);
        m_used += n;
        p += n;
        size -= n;
        if (m_used == m_buffer.size()) {
            Status s = flush();
            if (!s.ok())
                return s;
        }
    }
    return {};
}

Status OutputFile::flush()
{
    if (m_used == 0)
        return {};
    // A whole zero buffer becomes a hole: large sparse or zero-filled files cost no writes.
    if (m_used == m_buffer.size() && allZero(m_buffer.data(), m_used)) {
        m_written += m_used;
        m_used = 0;
        m_holeAtEnd = true;
        return {};
    }
    size_t done = 0;
    while (done < m_used) {
        const ssize_t n = ::pwrite(m_fd, m_buffer.data() + done, m_used - done, off_t(m_written + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ioError("write");
        }
        done += size_t(n);
    }
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
    if (m_holeAtEnd && ::ftruncate(m_fd, off_t(m_written)) != 0)
        return ioError("set the size of");
    if (::fchmod(m_fd, m_mode & 0777) != 0)
        return ioError("set the mode of");
    const int fd = m_fd;
    m_fd = -1;
    // A delayed write error (quota, full disk on some file systems) shows only here.
    if (::close(fd) != 0)
        return ioError("close");
    return {};
}

bool readAt(int fd, void *data, size_t size, uint64_t offset)
{
    char *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
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
    std::vector<char> buffer(kBufferSize);
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), off_t(total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        XXH3_64bits_update(state, buffer.data(), size_t(n));
        total += uint64_t(n);
    }
    *hash = XXH3_64bits_digest(state);
    *size = total;
    XXH3_freeState(state);
    return ok;
}

} // namespace hpatch
