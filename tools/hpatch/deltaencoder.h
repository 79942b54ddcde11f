#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hpatch {

// The largest reference a delta is made against (the suffix array uses 32-bit positions).
inline constexpr uint64_t kMaxDeltaReference = (uint64_t(1) << 31) - 1;

// One step of a delta: add bytes of the target at newPos are the reference's bytes at oldPos plus
// differences, then copy bytes of the target follow as they are.
struct DeltaControl
{
    uint64_t oldPos;
    uint64_t add;
    uint64_t newPos;
    uint64_t copy;
};

// The three parts of the package stream a delta goes to (see packageformat.h).
struct DeltaStreams
{
    std::string controls;
    std::string diffs;
    std::string bytes;
    void clear() { controls.clear(), diffs.clear(), bytes.clear(); }
};

// bsdiff-style delta of one target against a reference, written as the blocks of the package
// stream. The suffix array of the reference is built once and reused for many targets.
class DeltaEncoder
{
public:
    // The reference must stay alive and unchanged while the encoder is used.
    DeltaEncoder(const uint8_t *reference, uint64_t size);
    bool valid() const { return m_valid; }
    // The controls that rebuild target from the reference, in target order.
    void match(const uint8_t *target, uint64_t size, std::vector<DeltaControl> &controls) const;
    // Appends the delta blocks of the controls to out, controls in columns. map gives, for a reference position that
    // an add starts at, the position in the reference the applier gets (the used files only).
    void write(const uint8_t *target, const std::vector<DeltaControl> &controls,
            const std::function<uint64_t(uint64_t)> &map, DeltaStreams &out) const;

private:
    int64_t search(const uint8_t *target, int64_t size, int64_t *pos, int64_t *index) const;
    int64_t nearest(const uint8_t *target, int64_t len, int64_t index, int64_t pos, int64_t hint) const;

    const uint8_t *m_ref;
    int64_t m_refSize;
    std::vector<int32_t> m_sa;
    bool m_valid = false;
};

} // namespace hpatch
