#include "pagebuffer.h"

#include "fileio.h"

#include <new>

namespace hpatch {

PageBuffer::PageBuffer(size_t size)
    : m_data(static_cast<char *>(reserveMemory(size)))
    , m_size(size)
{
    if (!m_data)
        throw std::bad_alloc();
}

PageBuffer::~PageBuffer()
{
    releaseMemory(m_data, m_size);
}

} // namespace hpatch
