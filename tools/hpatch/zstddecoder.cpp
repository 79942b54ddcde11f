// The custom allocator is part of zstd's stable-in-practice advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include "zstddecoder.h"

#include "fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <zstd_errors.h>

namespace hpatch {

namespace {
constexpr size_t kInputBuffer = 1 << 17;
// zstd takes its window in one allocation of window size and a little more. As a PageBuffer it
// fills on huge pages where the system has them: filling fresh pages costs more than decoding
// into them.
constexpr size_t kLargeAllocation = 2 << 20;
} // namespace

void *ZstdDecoder::allocate(void *self, size_t size)
{
    if (size < kLargeAllocation)
        return std::malloc(size);
    // zstd is C: an exception must not pass through it. It takes a null as running out of memory.
    try {
        auto &large = static_cast<ZstdDecoder *>(self)->m_large;
        large.push_back(std::make_unique<PageBuffer>(size));
        return large.back()->data();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void ZstdDecoder::release(void *self, void *data)
{
    auto &large = static_cast<ZstdDecoder *>(self)->m_large;
    auto it = std::find_if(large.begin(), large.end(), [data](const auto &l) { return l->data() == data; });
    if (it == large.end())
        std::free(data);
    else
        large.erase(it);
}

ZstdDecoder::ZstdDecoder(int fd, uint64_t offset, uint64_t size, int windowLogMax)
    : m_fd(fd)
    , m_pos(offset)
    , m_end(offset + size)
    , m_ctx(ZSTD_createDCtx_advanced({ &ZstdDecoder::allocate, &ZstdDecoder::release, this }))
    , m_in(new char[kInputBuffer])
    , m_out(new char[kInputBuffer])
{
    ZSTD_DCtx_setParameter(m_ctx, ZSTD_d_windowLogMax, windowLogMax);
    // A frame of no bytes is an empty stream, which the maker writes for a part with no data.
    if (size == 0)
        m_lastResult = 0;
    m_input.src = m_in.get();
}

ZstdDecoder::~ZstdDecoder()
{
    ZSTD_freeDCtx(m_ctx);
}

Status ZstdDecoder::streamError(size_t result)
{
    // A window the system cannot give is no fault of the package.
    if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation)
        return Status::fail(ExitIoError, kOutOfMemory);
    return Status::fail(ExitBadPackage, std::string("package stream is corrupt: ") + ZSTD_getErrorName(result));
}

Status ZstdDecoder::refill()
{
    const size_t want = size_t(std::min<uint64_t>(kInputBuffer, m_end - m_pos));
    if (want == 0)
        return Status::fail(ExitBadPackage, "package stream is truncated");
    const int64_t got = readAtMost(m_fd, m_in.get(), want, m_pos);
    if (got <= 0)
        return Status::fail(ExitBadPackage,
                std::string("cannot read package: ") + (got < 0 ? std::strerror(errno) : "unexpected end"));
    m_pos += uint64_t(got);
    m_input.size = size_t(got);
    m_input.pos = 0;
    return {};
}

// Decodes up to size bytes, at least one unless the frame has ended.
Status ZstdDecoder::decode(void *data, size_t size, size_t *produced)
{
    ZSTD_outBuffer output{ data, size, 0 };
    while (output.pos == 0) {
        if (m_lastResult == 0)
            return Status::fail(ExitBadPackage, "package stream ends early");
        if (m_input.pos == m_input.size) {
            Status s = refill();
            if (!s.ok())
                return s;
        }
        const size_t r = ZSTD_decompressStream(m_ctx, &output, &m_input);
        if (ZSTD_isError(r))
            return streamError(r);
        m_lastResult = r;
    }
    *produced = output.pos;
    return {};
}

Status ZstdDecoder::read(void *data, size_t size)
{
    char *out = static_cast<char *>(data);
    while (size > 0) {
        if (m_outPos < m_outSize) {
            const size_t n = std::min(size, m_outSize - m_outPos);
            std::memcpy(out, m_out.get() + m_outPos, n);
            m_outPos += n;
            out += n;
            size -= n;
            continue;
        }
        size_t produced = 0;
        Status s = size >= kInputBuffer ? decode(out, size, &produced) : decode(m_out.get(), kInputBuffer, &produced);
        if (!s.ok())
            return s;
        if (size >= kInputBuffer) {
            out += produced;
            size -= produced;
        } else {
            m_outPos = 0;
            m_outSize = produced;
        }
    }
    return {};
}

size_t ZstdDecoder::pull(void *data, size_t size, Status *status)
{
    if (m_outPos < m_outSize) {
        const size_t n = std::min(size, m_outSize - m_outPos);
        std::memcpy(data, m_out.get() + m_outPos, n);
        m_outPos += n;
        return n;
    }
    size_t produced = 0;
    *status = decode(data, size, &produced);
    return status->ok() ? produced : 0;
}

uint64_t ZstdDecoder::varint(Status *status)
{
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        uint8_t b = 0;
        *status = read(&b, 1);
        if (!status->ok())
            return 0;
        value |= uint64_t(b & 0x7f) << shift;
        if (!(b & 0x80))
            return value;
    }
    *status = Status::fail(ExitBadPackage, "package stream is corrupt: bad number");
    return 0;
}

Status ZstdDecoder::finish()
{
    // Flush what the decoder still holds: a frame with bytes left over is as corrupt as a short one.
    if (m_outPos < m_outSize)
        return Status::fail(ExitBadPackage, "package stream holds more data than its files");
    if (m_lastResult != 0) {
        char probe;
        ZSTD_outBuffer output{ &probe, 1, 0 };
        while (m_lastResult != 0) {
            if (m_input.pos == m_input.size) {
                Status s = refill();
                if (!s.ok())
                    return s;
            }
            const size_t r = ZSTD_decompressStream(m_ctx, &output, &m_input);
            if (ZSTD_isError(r))
                return streamError(r);
            if (output.pos != 0)
                return Status::fail(ExitBadPackage, "package stream holds more data than its files");
            m_lastResult = r;
        }
    }
    if (m_input.pos != m_input.size || m_pos != m_end)
        return Status::fail(ExitBadPackage, "package has bytes after its stream");
    return {};
}

} // namespace hpatch
