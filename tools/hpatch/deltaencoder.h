#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hpatch {

// The largest reference a delta is made against (the suffix array uses 32-bit positions).
inline constexpr uint64_t kMaxDeltaReference = (uint64_t(1) << 31) - 1;

// bsdiff-style delta of one target against a reference, written as the blocks of the package
// stream. The suffix array of the reference is built once and reused for many targets.
class DeltaEncoder {
public:
    // The reference must stay alive and unchanged while the encoder is used.
    DeltaEncoder(const uint8_t *reference, uint64_t size);
    bool valid() const { return m_valid; }
    // Appends the delta blocks that rebuild target from the reference to out.
    void encode(const uint8_t *target, uint64_t size, std::string &out) const;

private:
    int64_t search(const uint8_t *target, int64_t size, int64_t *pos) const;

    const uint8_t *m_ref;
    int64_t m_refSize;
    std::vector<int32_t> m_sa;
    bool m_valid = false;
};

} // namespace hpatch
