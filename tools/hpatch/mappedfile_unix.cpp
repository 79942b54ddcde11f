#include "mappedfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hpatch {

MappedFile::~MappedFile()
{
    if (m_data)
        ::munmap(m_data, m_size);
}

bool MappedFile::open(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    m_size = ok ? uint64_t(st.st_size) : 0;
    if (ok && m_size > 0) {
        void *p = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
        ok = p != MAP_FAILED;
        m_data = ok ? static_cast<uint8_t *>(p) : nullptr;
    }
    ::close(fd);
    return ok;
}

} // namespace hpatch
