#include "deltaencoder.h"

#include "packageformat.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <divsufsort.h>

namespace hpatch {

namespace {

// What a control costs, by kind of file. A new alignment must win minGain bytes over the current
// one, or it pays for its control and the seek back with nothing; in text it must also win a byte
// per bit of the seek there, as new text compresses well. An add shorter than minAdd costs more as
// a control than its bytes as new bytes, unless it lies within kNearSeek of where the one before
// ended: a short seek costs little, and nearAdd bytes pay for it. Machine code keeps far matches
// (functions move as a whole) but only long ones (measured on typescript, monaco-editor and swc
// releases: swc 1.3.100 to 1.3.101 4.39 MB with minAdd 8 and no near rule, 4.27 MB so).
struct MatchCosts
{
    int64_t minGain;
    bool seekCosts;
    uint64_t minAdd;
    uint64_t nearAdd;
    // A match stretches over differing bytes while agree of agree + 1 bytes agree: in text a
    // stretched match mostly turns new text into difference bytes that cost as much; in machine
    // code moved code keeps its shape around changed addresses.
    int64_t agree;
};
constexpr MatchCosts kTextCosts{ 20, true, 40, 16, 5 };
constexpr MatchCosts kBinaryCosts{ 8, false, 96, 8, 1 };
constexpr int64_t kNearSeek = 1 << 16;
// Of equally long matches the one nearest to the current alignment wins, looking this far: small
// seeks compress well (typescript 5.2 to 5.3: 7% smaller).
constexpr int kNearestProbes = 32;

// Text, for the matcher: no NUL byte in its first 64 KiB.
bool looksLikeText(const uint8_t *data, uint64_t size)
{
    return std::memchr(data, 0, size_t(std::min<uint64_t>(size, 64 << 10))) == nullptr;
}

int64_t matchLength(const uint8_t *a, int64_t aSize, const uint8_t *b, int64_t bSize)
{
    const int64_t n = std::min(aSize, bSize);
    int64_t i = 0;
    // Eight bytes at a time first: matches in machine code run to thousands of bytes.
    for (uint64_t x = 0, y = 0; i + 8 <= n; i += 8) {
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            break;
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The differences new - old of binary data in fields (see packageformat.h).
void putFieldDifferences(char *out, const uint8_t *oldBytes, const uint8_t *newBytes, uint64_t size)
{
    for (uint64_t i = 0; i < size;) {
        if (newBytes[i] == oldBytes[i]) {
            out[i++] = 0;
            continue;
        }
        // Too near the end for a field, the byte is a field of its own.
        const uint64_t width = size - i < kFieldBytes ? 1 : kFieldBytes;
        unsigned borrow = 0;
        for (uint64_t k = 0; k < width; ++k, ++i) {
            const unsigned v = unsigned(newBytes[i]) - oldBytes[i] - borrow;
            out[i] = char(uint8_t(v));
            borrow = (v >> 8) & 1;
        }
    }
}

// Collects controls and their bytes and cuts them into blocks that store at most kMaxBlockBytes,
// so the applier never holds more than one block whatever the file size.
class BlockWriter
{
public:
    BlockWriter(DeltaStreams &out, bool fields)
        : m_out(out)
        , m_fields(fields)
    {
    }

    void control(const uint8_t *oldBytes, const uint8_t *newBytes, uint64_t add, const uint8_t *extraBytes,
            uint64_t copy, int64_t seek)
    {
        // The copy joins the add's control when both fit in the block: one control, not two.
        bool joinable = false;
        while (add > 0) {
            uint64_t take = std::min(add, kMaxBlockBytes);
            // Unchanged runs store no differences (a run of zeros still costs bytes in the stream)
            // and take no room in the block, so one control covers them however long.
            const bool exact = std::memcmp(oldBytes, newBytes, size_t(take)) == 0;
            if (exact && joinable && !m_ctrls.empty() && m_ctrls.back().exact) {
                m_ctrls.back().add += take;
            } else {
                take = exact ? take : std::min(take, room());
                if (m_ctrls.size() >= kMaxBlockControls)
                    flush();
                m_ctrls.push_back({ take, 0, 0, exact });
            }
            if (!exact) {
                const size_t at = m_diff.size();
                m_diff.resize(at + take);
                if (m_fields) {
                    putFieldDifferences(&m_diff[at], oldBytes, newBytes, take);
                } else {
                    for (uint64_t i = 0; i < take; ++i)
                        m_diff[at + i] = char(uint8_t(newBytes[i] - oldBytes[i]));
                }
                m_stored += take;
            }
            oldBytes += take;
            newBytes += take;
            add -= take;
            joinable = true;
        }
        while (copy > 0) {
            const uint64_t take = std::min(copy, room());
            if (joinable && !m_ctrls.empty())
                m_ctrls.back().copy = take;
            else
                m_ctrls.push_back({ 0, take, 0, false });
            joinable = false;
            m_extra.append(reinterpret_cast<const char *>(extraBytes), take);
            extraBytes += take;
            copy -= take;
            m_stored += take;
        }
        if (m_ctrls.empty())
            m_ctrls.push_back({ 0, 0, 0, false });
        m_ctrls.back().seek += seek;
    }

    void finish()
    {
        if (!m_ctrls.empty())
            flush();
    }

private:
    struct Ctrl
    {
        uint64_t add;
        uint64_t copy;
        int64_t seek;
        bool exact;
    };

    // Blocks are cut lazily, so a trailing seek always joins the block of its bytes.
    uint64_t room()
    {
        if (m_stored == kMaxBlockBytes || m_ctrls.size() >= kMaxBlockControls)
            flush();
        return kMaxBlockBytes - m_stored;
    }

    void flush()
    {
        putVarint(m_out.controls, uint64_t(m_ctrls.size()) << 1 | uint64_t(m_fields));
        for (const Ctrl &c : m_ctrls)
            putVarint(m_out.controls, c.add << 1 | uint64_t(c.exact));
        for (const Ctrl &c : m_ctrls)
            putVarint(m_out.controls, c.copy);
        // Counted from the end of the copy: where new bytes replace as many old ones, no seek.
        for (const Ctrl &c : m_ctrls)
            putVarint(m_out.controls, zigzag(c.seek - int64_t(c.copy)));
        m_out.diffs += m_diff;
        m_out.bytes += m_extra;
        m_ctrls.clear();
        m_diff.clear();
        m_extra.clear();
        m_stored = 0;
    }

    DeltaStreams &m_out;
    const bool m_fields;
    std::vector<Ctrl> m_ctrls;
    std::string m_diff;
    std::string m_extra;
    uint64_t m_stored = 0; // bytes of differences and copies in the block
};

} // namespace

DeltaEncoder::DeltaEncoder(const uint8_t *reference, uint64_t size)
    : m_ref(reference)
    , m_refSize(int64_t(size))
{
    if (size == 0 || size > kMaxDeltaReference)
        return;
    m_sa.resize(size_t(size));
    m_valid = divsufsort(reference, m_sa.data(), saidx_t(size)) == 0;
    if (!m_valid)
        m_sa.clear();
}

// Longest prefix of target that occurs in the reference, by binary search over the suffix array.
int64_t DeltaEncoder::search(const uint8_t *target, int64_t size, int64_t *pos, int64_t *index) const
{
    int64_t st = 0;
    int64_t en = m_refSize - 1;
    // Every suffix between st and en shares with the target at least the bytes both ends share
    // with it, so a comparison starts there: the same halving as a whole memcmp each time, without
    // comparing long common prefixes over and over.
    int64_t stShared = 0, enShared = 0;
    while (en - st >= 2) {
        const int64_t mid = st + (en - st) / 2;
        const int64_t at = m_sa[size_t(mid)];
        const int64_t known = std::min(stShared, enShared);
        const int64_t n = std::min(m_refSize - at, size);
        const int64_t shared = known + matchLength(m_ref + at + known, n - known, target + known, n - known);
        if (shared < n && m_ref[at + shared] < target[shared]) {
            st = mid;
            stShared = shared;
        } else {
            en = mid;
            enShared = shared;
        }
    }
    const int64_t a = m_sa[size_t(st)];
    const int64_t b = m_sa[size_t(en)];
    const int64_t x = matchLength(m_ref + a, m_refSize - a, target, size);
    const int64_t y = matchLength(m_ref + b, m_refSize - b, target, size);
    if (x > y) {
        *pos = a;
        *index = st;
        return x;
    }
    *pos = b;
    *index = en;
    return y;
}

// Suffixes that share len bytes with the target lie next to each other in the suffix array.
int64_t DeltaEncoder::nearest(const uint8_t *target, int64_t len, int64_t index, int64_t pos, int64_t hint) const
{
    int64_t best = pos;
    for (int dir = -1; dir <= 1; dir += 2) {
        for (int64_t i = index + dir, n = 0; i >= 0 && i < m_refSize && n < kNearestProbes; i += dir, ++n) {
            const int64_t at = m_sa[size_t(i)];
            if (m_refSize - at < len || std::memcmp(m_ref + at, target, size_t(len)) != 0)
                break;
            if (std::llabs(at - hint) < std::llabs(best - hint))
                best = at;
        }
    }
    return best;
}

void DeltaEncoder::write(const uint8_t *target, const std::vector<DeltaControl> &controls,
        const std::function<uint64_t(uint64_t)> &map, DeltaStreams &out) const
{
    const DeltaControl *last = controls.empty() ? nullptr : &controls.back();
    const uint64_t size = last ? last->newPos + last->add + last->copy : 0;
    // Text compresses better with bytewise differences (monaco-editor 0.44 to 0.45: 4% larger in fields).
    BlockWriter writer(out, !looksLikeText(target, size));
    // Where the next add starts, so each seek lands there in the applier's reference.
    std::vector<size_t> nextAdd(controls.size() + 1, controls.size());
    for (size_t i = controls.size(); i-- > 0;)
        nextAdd[i] = controls[i].add > 0 ? i : nextAdd[i + 1];
    uint64_t cursor = 0;
    if (!controls.empty() && controls[0].add > 0 && map(controls[0].oldPos) != 0) {
        cursor = map(controls[0].oldPos);
        writer.control(nullptr, nullptr, 0, nullptr, 0, int64_t(cursor));
    }
    for (size_t i = 0; i < controls.size(); ++i) {
        const DeltaControl &c = controls[i];
        if (c.add > 0)
            cursor = map(c.oldPos) + c.add;
        const size_t next = nextAdd[i + 1];
        const int64_t seek = next < controls.size() ? int64_t(map(controls[next].oldPos)) - int64_t(cursor) : 0;
        writer.control(m_ref + c.oldPos, target + c.newPos, c.add, target + c.newPos + c.add, c.copy, seek);
        cursor = uint64_t(int64_t(cursor) + seek);
    }
    writer.finish();
}

void DeltaEncoder::match(const uint8_t *target, uint64_t targetSize, std::vector<DeltaControl> &controls) const
{
    controls.clear();
    const uint8_t *oldData = m_ref;
    const int64_t oldSize = m_refSize;
    const int64_t newSize = int64_t(targetSize);
    if (!m_valid) {
        controls.push_back({ 0, 0, 0, targetSize });
        return;
    }

    const MatchCosts costs = looksLikeText(target, targetSize) ? kTextCosts : kBinaryCosts;
    const int64_t agree = costs.agree;
    int64_t scan = 0, len = 0, pos = 0, index = 0;
    int64_t lastScan = 0, lastPos = 0, lastOffset = 0;
    while (scan < newSize) {
        int64_t oldScore = 0;
        int64_t scsc;
        for (scsc = scan += len; scan < newSize; ++scan) {
            len = search(target + scan, newSize - scan, &pos, &index);
            for (; scsc < scan + len; ++scsc) {
                if (scsc + lastOffset < oldSize && oldData[scsc + lastOffset] == target[scsc])
                    ++oldScore;
            }
            if (len == oldScore && len != 0)
                break;
            if (len > oldScore + costs.minGain) {
                if (!costs.seekCosts)
                    break;
                const int64_t there = nearest(target + scan, len, index, pos, scan + lastOffset);
                int bits = 0;
                for (uint64_t d = uint64_t(std::llabs(there - (scan + lastOffset))); d != 0; d >>= 1)
                    ++bits;
                if (len > oldScore + costs.minGain + bits)
                    break;
            }
            if (scan + lastOffset < oldSize && oldData[scan + lastOffset] == target[scan])
                --oldScore;
        }
        if (len == oldScore && scan != newSize)
            continue;
        if (scan < newSize)
            pos = nearest(target + scan, len, index, pos, scan + lastOffset);

        // Extend the previous match forward and this one backward while they mostly agree.
        int64_t s = 0, sf = 0, lenf = 0;
        for (int64_t i = 0; lastScan + i < scan && lastPos + i < oldSize;) {
            if (oldData[lastPos + i] == target[lastScan + i])
                ++s;
            ++i;
            if (s * (agree + 1) - i * agree > sf * (agree + 1) - lenf * agree) {
                sf = s;
                lenf = i;
            }
        }
        int64_t lenb = 0;
        if (scan < newSize) {
            int64_t sb = 0;
            s = 0;
            for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
                if (oldData[pos - i] == target[scan - i])
                    ++s;
                if (s * (agree + 1) - i * agree > sb * (agree + 1) - lenb * agree) {
                    sb = s;
                    lenb = i;
                }
            }
        }
        if (lastScan + lenf > scan - lenb) {
            const int64_t overlap = (lastScan + lenf) - (scan - lenb);
            int64_t ss = 0, lens = 0;
            s = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                if (target[lastScan + lenf - overlap + i] == oldData[lastPos + lenf - overlap + i])
                    ++s;
                if (target[scan - lenb + i] == oldData[pos - lenb + i])
                    --s;
                if (s > ss) {
                    ss = s;
                    lens = i + 1;
                }
            }
            lenf += lens - overlap;
            lenb -= lens;
        }

        const int64_t extraLen = (scan - lenb) - (lastScan + lenf);
        controls.push_back({ uint64_t(lastPos), uint64_t(lenf), uint64_t(lastScan), uint64_t(extraLen) });
        lastScan = scan - lenb;
        lastPos = pos - lenb;
        lastOffset = pos - scan;
    }

    // Adds too short to pay for their control become new bytes of the control before.
    size_t out = 0;
    for (size_t i = 0; i < controls.size(); ++i) {
        DeltaControl c = controls[i];
        uint64_t minAdd = costs.minAdd;
        if (out > 0) {
            const DeltaControl &before = controls[out - 1];
            if (std::llabs(int64_t(c.oldPos) - int64_t(before.oldPos + before.add + before.copy)) <= kNearSeek)
                minAdd = costs.nearAdd;
        }
        if (c.add < minAdd && out > 0) {
            controls[out - 1].copy += c.add + c.copy;
            continue;
        }
        if (c.add < minAdd) {
            c.copy += c.add;
            c.add = 0;
        }
        controls[out++] = c;
    }
    controls.resize(out);
}

} // namespace hpatch
