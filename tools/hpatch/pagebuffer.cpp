#include "pagebuffer.h"

#include "fileio.h"

#include <new>

// Under AddressSanitizer the buffer comes from the heap, whose guards catch a write past its end.
#if defined(__SANITIZE_ADDRESS__)
#define HPATCH_HEAP_BUFFERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HPATCH_HEAP_BUFFERS 1
#endif
#endif

namespace hpatch {

PageBuffer::PageBuffer(size_t size)
#ifdef HPATCH_HEAP_BUFFERS
    : m_data(new char[size]())
#else
    : m_data(static_cast<char *>(reserveMemory(size)))
#endif
    , m_size(size)
{
    if (!m_data)
        throw std::bad_alloc();
}

PageBuffer::~PageBuffer()
{
#ifdef HPATCH_HEAP_BUFFERS
    delete[] m_data;
#else
    releaseMemory(m_data, m_size);
#endif
}

} // namespace hpatch
