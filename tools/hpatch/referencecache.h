#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace hpatch {

// Old files that deltas read, held whole in memory up to a budget. A delta reads its reference
// in many small pieces at scattered places (most of them under 32 bytes); one system call per
// piece costs more than the delta itself, and no small block cache catches the jumps. Files
// larger than the budget are read piece by piece.
class ReferenceCache {
public:
    // open gives a readable descriptor of the file with a key, or -1; it stays owned by the caller.
    ReferenceCache(size_t budget, std::function<int(uint32_t key)> open);
    ~ReferenceCache();
    ReferenceCache(const ReferenceCache &) = delete;
    ReferenceCache &operator=(const ReferenceCache &) = delete;

    // Copies size bytes at offset of the file with the given key, fileSize bytes long, to data;
    // false when the range lies outside fileSize or the bytes cannot be opened or read.
    bool read(uint32_t key, uint64_t fileSize, uint64_t offset, char *data, size_t size);

private:
    struct Entry {
        uint32_t key;
        size_t offset;
        size_t size;
    };
    const Entry *load(uint32_t key, uint64_t fileSize);

    size_t m_budget;
    std::function<int(uint32_t)> m_open;
    // Files lie one after another in one mapping that wraps around, the oldest making room.
    char *m_arena = nullptr;
    size_t m_next = 0;
    std::vector<Entry> m_entries;
    size_t m_last = 0;
};

} // namespace hpatch
