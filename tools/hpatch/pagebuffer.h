#pragma once

#include <cstddef>

namespace hpatch {

// A buffer apart from the heap: zero-filled, taken from the system only as far as it is touched,
// and on huge pages for its whole 2 MiB units where the system offers them. Filling fresh pages
// costs the applier more than most of its work, a fault per 4 KiB; a huge page is one fault.
class PageBuffer
{
public:
    // Throws std::bad_alloc when the system has no room, as a vector would.
    explicit PageBuffer(size_t size);
    ~PageBuffer();
    PageBuffer(const PageBuffer &) = delete;
    PageBuffer &operator=(const PageBuffer &) = delete;

    char *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    char *m_data;
    size_t m_size;
};

} // namespace hpatch
