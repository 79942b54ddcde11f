#include "referencecache.h"

#include "fileio.h"
#include "outputfile.h"

#include <algorithm>
#include <cstring>

namespace hpatch {

namespace {
constexpr size_t kBlock = 4096;
constexpr size_t kMaxReadAhead = 16;
// Files up to this size are read whole: a miss can then cost no more than a few blocks.
constexpr uint64_t kWholeFileLimit = 64 << 10;
} // namespace

ReferenceCache::ReferenceCache(size_t budget, std::function<int(uint32_t)> open)
    : m_arena(std::max<size_t>(budget, 1))
    , m_blockSize(std::min(kBlock, m_arena.size()))
    , m_open(std::move(open))
{
}

const char *ReferenceCache::find(const Id &id) const
{
    auto found = m_where.find(id);
    return found == m_where.end() ? nullptr : m_arena.data() + found->second;
}

const char *ReferenceCache::load(const Id &id, uint64_t fileOffset, size_t size, size_t blocks)
{
    if (m_next + size > m_arena.size()) {
        // Blocks past the wrap point are the oldest of all.
        while (!m_order.empty() && m_order.front().offset >= m_next) {
            m_where.erase(m_order.front().id);
            m_order.pop_front();
        }
        m_next = 0;
    }
    const size_t start = m_next;
    const size_t end = start + size;
    while (!m_order.empty() && m_order.front().offset < end && start < m_order.front().offset + m_order.front().size) {
        m_where.erase(m_order.front().id);
        m_order.pop_front();
    }
    const int fd = m_open(id.key);
    if (fd < 0 || !readAt(fd, m_arena.data() + start, size, fileOffset))
        return nullptr;
    m_next = end;
    if (id.block == kWhole) {
        m_order.push_back({ id, start, size });
        m_where.emplace(id, start);
        return m_arena.data() + start;
    }
    for (size_t i = 0; i < blocks; ++i) {
        const Id block{ id.key, id.block + i };
        const size_t at = start + i * m_blockSize;
        m_order.push_back({ block, at, std::min(m_blockSize, end - at) });
        m_where.emplace(block, at);
    }
    return m_arena.data() + start;
}

bool ReferenceCache::read(uint32_t key, uint64_t fileSize, uint64_t offset, char *data, size_t size)
{
    if (offset > fileSize || size > fileSize - offset)
        return false;
    if (fileSize <= std::min<uint64_t>(kWholeFileLimit, m_arena.size() / 4)) {
        const char *file = nullptr;
        if (size > 0 && !(file = find({ key, kWhole })))
            file = load({ key, kWhole }, 0, size_t(fileSize), 1);
        if (file)
            std::memcpy(data, file + offset, size);
        return size == 0 || file;
    }
    while (size > 0) {
        const uint64_t block = offset / m_blockSize;
        const uint64_t start = block * m_blockSize;
        const size_t length = size_t(std::min<uint64_t>(m_blockSize, fileSize - start));
        const char *bytes = find({ key, block });
        if (!bytes) {
            // A file read in order gets a growing run of blocks per read, as the kernel reads ahead.
            size_t run = 1;
            if (key == m_aheadKey && block == m_aheadNext)
                run = std::min(m_aheadRun * 2, kMaxReadAhead);
            size_t count = 1;
            while (count < run && (block + count) * m_blockSize < fileSize && (count + 1) * m_blockSize <= m_arena.size()
                    && !find({ key, block + count }))
                ++count;
            m_aheadKey = key;
            m_aheadNext = block + count;
            m_aheadRun = run;
            bytes = load(
                    { key, block }, start, size_t(std::min<uint64_t>(count * m_blockSize, fileSize - start)), count);
            if (!bytes)
                return false;
        }
        const size_t at = size_t(offset - start);
        const size_t n = std::min(size, length - at);
        std::memcpy(data, bytes + at, n);
        data += n;
        offset += n;
        size -= n;
    }
    return true;
}

} // namespace hpatch
