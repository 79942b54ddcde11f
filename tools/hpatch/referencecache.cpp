#include "referencecache.h"

#include "outputfile.h"

#include <cstring>
#include <sys/mman.h>

namespace hpatch {

ReferenceCache::ReferenceCache(size_t budget, std::function<int(uint32_t)> open)
    : m_budget(budget), m_open(std::move(open))
{
}

ReferenceCache::~ReferenceCache()
{
    if (m_arena)
        ::munmap(m_arena, m_budget);
}

const ReferenceCache::Entry *ReferenceCache::load(uint32_t key, uint64_t fileSize)
{
    if (m_last < m_entries.size() && m_entries[m_last].key == key)
        return &m_entries[m_last];
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].key == key) {
            m_last = i;
            return &m_entries[i];
        }
    }
    if (!m_arena) {
        // Mapped apart from the heap and touched only as far as it is used.
        void *p = ::mmap(nullptr, m_budget, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        m_arena = static_cast<char *>(p);
    }
    const size_t size = size_t(fileSize);
    if (m_next + size > m_budget)
        m_next = 0;
    const size_t start = m_next;
    const size_t end = start + size;
    for (size_t i = 0; i < m_entries.size();) {
        const Entry &e = m_entries[i];
        if (e.offset < end && start < e.offset + e.size) {
            m_entries[i] = m_entries.back();
            m_entries.pop_back();
        } else {
            ++i;
        }
    }
    const int fd = m_open(key);
    if (fd < 0 || !readAt(fd, m_arena + start, size, 0))
        return nullptr;
    m_next = end;
    m_entries.push_back({key, start, size});
    m_last = m_entries.size() - 1;
    return &m_entries.back();
}

bool ReferenceCache::read(uint32_t key, uint64_t fileSize, uint64_t offset, char *data, size_t size)
{
    if (offset > fileSize || size > fileSize - offset)
        return false;
    if (size == 0)
        return true;
    if (fileSize > m_budget) {
        const int fd = m_open(key);
        return fd >= 0 && readAt(fd, data, size, offset);
    }
    const Entry *e = load(key, fileSize);
    if (!e)
        return false;
    std::memcpy(data, m_arena + e->offset + offset, size);
    return true;
}

} // namespace hpatch
