#pragma once

#include "pagebuffer.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>

namespace hpatch {

// Old files that deltas read, held in memory up to a budget. A delta reads its reference in many
// small pieces at scattered places (most of them under 32 bytes), and one system call per piece
// costs more than the delta itself. Small files are read whole; larger ones in small blocks, which
// catch the pieces well: on a recompiled 47 MB binary 4 KiB blocks in 16 MiB served 186,000 pieces
// with 18,000 reads, where 256 KiB blocks read the file many times over. Reading large files whole
// made a delta against many old files that jumps between them read 9 MB per jump.
class ReferenceCache
{
public:
    // open gives a readable descriptor of the file with a key, or -1; it stays owned by the caller.
    // Throws std::bad_alloc when the budget cannot be reserved.
    ReferenceCache(size_t budget, std::function<int(uint32_t key)> open);
    ReferenceCache(const ReferenceCache &) = delete;
    ReferenceCache &operator=(const ReferenceCache &) = delete;

    // Copies size bytes at offset of the file with the given key, fileSize bytes long, to data;
    // false when the range lies outside fileSize or the bytes cannot be opened or read.
    bool read(uint32_t key, uint64_t fileSize, uint64_t offset, char *data, size_t size);

private:
    // A whole file is its block kWhole.
    static constexpr uint64_t kWhole = ~uint64_t(0);
    struct Id
    {
        uint32_t key;
        uint64_t block;
        bool operator==(const Id &o) const { return key == o.key && block == o.block; }
    };
    struct IdHash
    {
        size_t operator()(const Id &id) const
        {
            return std::hash<uint64_t>()(id.block * 0x9E3779B97F4A7C15ull ^ id.key);
        }
    };
    struct Entry
    {
        Id id;
        size_t offset;
        size_t size;
    };
    const char *find(const Id &id) const;
    // Reads size bytes at fileOffset into the arena as the whole file id or as blocks from id on;
    // where they start, or null.
    const char *load(const Id &id, uint64_t fileOffset, size_t size, size_t blocks);

    // Blocks lie one after another in one buffer of the budget's size that wraps around, the oldest
    // making room. It is touched only as far as it is used.
    PageBuffer m_arena;
    size_t m_blockSize;
    std::function<int(uint32_t)> m_open;
    size_t m_next = 0;
    std::deque<Entry> m_order; // oldest first
    std::unordered_map<Id, size_t, IdHash> m_where;
    uint32_t m_aheadKey = 0;
    uint64_t m_aheadNext = kWhole;
    size_t m_aheadRun = 1;
};

} // namespace hpatch
