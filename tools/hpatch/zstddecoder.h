#pragma once

#include "packageformat.h"
#include "pagebuffer.h"

#include <cstdint>
#include <memory>
#include <vector>
#include <zstd.h>

namespace hpatch {

// Decodes one zstd frame that lies in [offset, offset + size) of an open file, with positional
// reads and a window of at most 2^windowLogMax, so a package cannot make it allocate more.
class ZstdDecoder
{
public:
    ZstdDecoder(int fd, uint64_t offset, uint64_t size, int windowLogMax = kMaxWindowLog);
    ~ZstdDecoder();
    ZstdDecoder(const ZstdDecoder &) = delete;
    ZstdDecoder &operator=(const ZstdDecoder &) = delete;

    // Fills exactly size bytes; a short or broken stream gives ExitBadPackage.
    Status read(void *data, size_t size);
    // Up to size bytes, at least one unless the frame has ended; 0 with status set on a failure.
    size_t pull(void *data, size_t size, Status *status);
    uint64_t varint(Status *status);
    // Ok when the frame has ended and no input is left over.
    Status finish();

private:
    Status refill();
    static Status streamError(size_t result);
    Status decode(void *data, size_t size, size_t *produced);
    static void *allocate(void *self, size_t size);
    static void release(void *self, void *data);

    int m_fd;
    uint64_t m_pos;
    uint64_t m_end;
    std::vector<std::unique_ptr<PageBuffer>> m_large; // zstd's large allocations
    ZSTD_DCtx *m_ctx;
    // Both left unfilled: a small stream touches a page of each.
    std::unique_ptr<char[]> m_in;
    ZSTD_inBuffer m_input{ nullptr, 0, 0 };
    size_t m_lastResult = 1;
    // Decoded bytes not yet taken: small reads (the numbers of the delta blocks) come from here.
    std::unique_ptr<char[]> m_out;
    size_t m_outPos = 0;
    size_t m_outSize = 0;
};

} // namespace hpatch
