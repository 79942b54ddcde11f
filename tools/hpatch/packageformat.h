#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The directory package: a fixed header, a zstd-compressed manifest and the stream of zstd frames.
//
//   header (64 bytes, little endian)
//     0  magic "HPDIRPKG"
//     8  u32 format version
//    12  u32 flags (kFlagFull)
//    16  u64 compressed manifest size     24  u64 raw manifest size
//    32  u64 XXH3 of the compressed manifest
//    40  u64 compressed stream size       48  u64 XXH3 of the compressed stream
//    56  u64 XXH3 of bytes 0..55
//   manifest, then stream; the file ends exactly there.
//
// From version 4 the stream region holds three zstd frames one after another, their compressed
// sizes in the manifest (an empty one takes no bytes): controls, byte differences, new bytes. Kept
// apart, each compresses with its own kind. For every new file in manifest order that is not a
// copy, the new bytes frame holds its bytes (kind New), or it is made of delta blocks (kind Delta):
// in the controls frame a varint control count, then the column of adds (varint add * 2 + 1 when
// the add's bytes are the old ones unchanged), the column of copies and the column of zigzag
// seeks; in the differences frame the difference bytes of the block's other adds; in the new bytes
// frame its copy bytes. A block yields at most kMaxBlockBytes; blocks follow until the file's size
// is reached. Versions 1 to 3 have one frame, each block's three parts in turn (controls as rows).
// From version 5 only the bytes a block stores (differences and copies) count toward that bound, so
// an unchanged add may be of any length, and a seek is counted from the end of the control's copy.
// From version 6 a block's control count is written doubled, plus one when the block codes its
// differences in fields: where a byte differs, it and the kFieldBytes - 1 bytes after it are one
// little-endian difference, new minus old (nearer than kFieldBytes to the end of its add, the byte
// alone). An address in machine code that moves by some amount then gives the same bytes wherever
// it lies, carries included.
namespace hpatch {

inline constexpr char kMagic[8] = { 'H', 'P', 'D', 'I', 'R', 'P', 'K', 'G' };
// Version 2 leaves out what a copy repeats from its old file (size, hash, and a path that does
// not change); version 3 adds symbolic links; version 4 has three frames and a compact manifest
// (encodeManifest); version 5 takes the sizes of old files from the disk and checks all new files
// with one hash; version 6 codes the differences of binary files in fields. Versions 1 to 5 are
// still read.
inline constexpr uint32_t kFormatVersion = 6;
inline constexpr uint32_t kFirstVersionWithLinks = 3;
inline constexpr uint32_t kFirstVersionWithFrames = 4;
inline constexpr uint32_t kFirstVersionWithDiskSizes = 5;
inline constexpr uint32_t kFirstVersionWithFields = 6;
inline constexpr uint32_t kFirstFormatVersion = 1;
inline constexpr uint32_t kFlagFull = 1;
inline constexpr size_t kHeaderSize = 64;
inline constexpr uint64_t kMaxBlockBytes = 1u << 20;
// Three bytes, not four: a field of four turns a byte that only grew smaller into a borrow over
// three more, and small address changes never carry into the fourth byte (swc 1.3.100 to 1.3.101:
// differences frame 2.67 MB bytewise, 2.43 MB in fields of four, 2.40 MB in fields of three).
inline constexpr size_t kFieldBytes = 3;
inline constexpr uint64_t kMaxBlockControls = 1u << 16;
inline constexpr uint64_t kMaxManifestBytes = 256u << 20;
// Longest name of one path part: the limit of the usual Linux and Windows file systems.
inline constexpr size_t kMaxNameBytes = 255;
inline constexpr size_t kMaxPathBytes = 4096;
// All paths and link texts of a package together, those of old files and the parent directories
// the reader adds included: what the reader holds and the applier creates stays bounded however
// deep a package's paths go (4,000 paths of 4 KB imply 8 million directories). The paths of /usr
// of a Debian system come to 10 MB.
inline constexpr uint64_t kMaxPathTotalBytes = 16u << 20;
// Entries of both trees, implied parents included, and references of new files together: at most
// about 130 MB of manifest in memory. /usr of a Debian system holds 170,000 entries.
inline constexpr uint64_t kMaxManifestItems = 1u << 20;
inline constexpr int kMaxWindowLog = 27;
// The maker's defaults; the applier's memory is about this window, whatever the package size.
// An incremental package keeps it small (monaco-editor 0.44 to 0.45: 0.8% larger at 2^23 than at
// 2^25, and 26 instead of 45 MiB to apply); a full one needs the long window to stay below
// tar | zstd --long (typescript: 0.98x at 2^25, 1.02x at 2^24).
inline constexpr int kDefaultWindowLog = 23;
inline constexpr int kDefaultFullWindowLog = 25;
inline constexpr int kDefaultLevel = 19;
// A full package is made once per release and may take longer: level 21 keeps it below
// tar | zstd -19 --long=27 on every pair measured, where 20 does not on the synthetic 500 MB tree
// (1.0002x; 21 is 0.025% smaller there, 1.8% on monaco-editor 0.45, 2.6% on typescript 5.3.2),
// for about a quarter more time and 390 instead of 230 MiB.
inline constexpr int kDefaultFullLevel = 21;

// Process exit codes shared by both commands.
enum ExitCode : int {
    ExitOk = 0,
    ExitBadArguments = 1,
    ExitBadPackage = 2,
    ExitOldMismatch = 3,
    ExitIoError = 4,
};
// Why a tool ends with ExitIoError when the system has no memory to give: the package and the
// trees are not at fault, so neither exit code 2 nor 3 would say what happened.
inline constexpr const char *kOutOfMemory = "out of memory";

// Outcome of a step: ok, or an exit code with a one-line reason.
struct Status
{
    ExitCode code = ExitOk;
    std::string message;
    bool ok() const { return code == ExitOk; }
    static Status fail(ExitCode c, std::string m) { return Status{ c, std::move(m) }; }
};

enum class Kind : uint8_t { Copy = 0, Delta = 1, New = 2 };

struct OldEntry
{
    std::string path;
    uint64_t size = 0; // from version 5 unknown until the applier reads it (setOldSizes)
    uint64_t hash = 0; // unknown (0) when read from a package of version 4 or later
    uint8_t check = 0; // the low byte of the hash, which names a file whose combined hash fails
};

struct NewEntry
{
    std::string path;
    uint32_t mode = 0644;
    uint64_t size = 0;
    uint64_t hash = 0; // unknown (0) for a copy of version 4 and for every file from version 5
    Kind kind = Kind::New;
    // Copy: one old index; Delta: the old files whose concatenation is the reference.
    std::vector<uint32_t> refs;
    uint8_t check = 0; // from version 5, the low byte of the hash
};

struct DirEntry
{
    std::string path;
    uint32_t mode = 0755;
};

// A symbolic link of the new tree and its link text, kept as it is (it is never followed).
struct LinkEntry
{
    std::string path;
    std::string target;
};

struct Manifest
{
    uint32_t version = kFormatVersion;
    std::vector<OldEntry> oldFiles;
    std::vector<NewEntry> newFiles;
    std::vector<DirEntry> dirs; // every directory of the new tree, parents before children
    std::vector<LinkEntry> links;
    // Version 4: old files and copies carry no hash of their own but share one each (hashList).
    bool combinedHashes = false;
    uint64_t oldFilesHash = 0;
    uint64_t copiesHash = 0;
    // Version 5: the combined hash of the old files' sizes, and of every new file's hash in order.
    bool oldSizesKnown = true;
    uint64_t oldSizesHash = 0;
    uint64_t newFilesHash = 0;
    // Version 4: the compressed sizes of the controls and differences frames; new bytes take the rest.
    uint64_t controlsFrameSize = 0;
    uint64_t diffsFrameSize = 0;
};

// The bytes of the manifest's paths and link texts together, as kMaxPathTotalBytes counts them.
uint64_t pathBytes(const Manifest &manifest);
// Its entries and references, as kMaxManifestItems counts them.
uint64_t manifestItems(const Manifest &manifest);
// What is wrong with a manifest of so many path bytes and items, or "" when both are in bounds.
std::string boundsProblem(uint64_t pathBytes, uint64_t items);
// The combined hash of files: XXH3 of their hashes, eight little-endian bytes each, in order.
uint64_t hashList(const std::vector<uint64_t> &hashes);
// Gives the old files of a manifest of version 5 their sizes as found on the disk, and the copies
// of them theirs.
void setOldSizes(Manifest *manifest, const std::vector<uint64_t> &sizes);

struct Header
{
    uint32_t version = kFormatVersion;
    uint32_t flags = 0;
    uint64_t manifestSize = 0;
    uint64_t manifestRawSize = 0;
    uint64_t manifestHash = 0;
    uint64_t streamSize = 0;
    uint64_t streamHash = 0;
};

std::string encodeHeader(const Header &header);
Status decodeHeader(const unsigned char *data, size_t size, Header *header);

class ByteReader;

// Writes the manifest of version 5. Paths are coded against the path before them, and a delta
// of the path of its first old file names none; an old file copied to its own path and a directory
// of mode 0755 that holds an entry take no line of their own. Old files carry no size and no hash
// but a check byte each and combined hashes of their sizes and hashes; new files a check byte and
// one combined hash. The reader lists those copies first, in old file order.
std::string encodeManifest(const Manifest &manifest);
// Parses and validates a raw manifest: structure, paths, references and duplicates. Memory grows
// with the entries really read, never with the counts a manifest claims.
Status decodeManifest(ByteReader &raw, Manifest *manifest, uint32_t version = kFormatVersion);

// Why a path cannot be in a package, or empty when it can: it must be relative, "/"-separated
// UTF-8 without empty, "." or ".." parts, and every part a name that can exist on Windows and
// Linux alike (no device names such as "con" or "lpt1.txt", no trailing dot or space, none of
// <>:"\|?* or control characters, at most kMaxNameBytes).
std::string pathProblem(const std::string &path);
inline bool isSafeRelativePath(const std::string &path)
{
    return pathProblem(path).empty();
}
// The path as Windows compares names: two paths with the same key cannot both exist there.
std::string caseKey(std::string_view path);
// Two of the paths (files, directories and links of one tree, every parent directory listed too)
// that Windows sees as one, or empty.
std::string caseClash(const std::vector<std::string_view> &paths);

void putVarint(std::string &out, uint64_t value);
inline uint64_t zigzag(int64_t v)
{
    return (uint64_t(v) << 1) ^ uint64_t(v >> 63);
}
inline int64_t unzigzag(uint64_t v)
{
    return int64_t(v >> 1) ^ -int64_t(v & 1);
}

// Reads varints and fixed fields from a byte range held in memory or pulled piece by piece from a
// source (a manifest is decompressed as it is parsed); any read past the end sets failed().
class ByteReader
{
public:
    // Fills data with up to size next bytes; returns how many, 0 at the end or on an error.
    using Pull = std::function<size_t(unsigned char *data, size_t size)>;
    ByteReader(const unsigned char *data, size_t size)
        : m_data(data)
        , m_size(size)
        , m_total(size)
    {
    }
    // total: the number of bytes the source claims to hold.
    ByteReader(uint64_t total, Pull pull);
    uint64_t varint();
    uint64_t u64();
    uint32_t u32();
    uint8_t u8();
    // At most maxCount bytes; more fails without allocating them.
    std::string bytes(uint64_t count, uint64_t maxCount = kMaxPathBytes);
    // The bytes up to the next NUL, which is read too; more than maxCount before it fails.
    std::string text(uint64_t maxCount);
    uint64_t remaining() const { return m_failed ? 0 : m_total - (m_before + m_pos); }
    bool failed() const { return m_failed; }
    void fail() { m_failed = true; }

private:
    bool fill();

    const unsigned char *m_data;
    size_t m_size;
    size_t m_pos = 0;
    uint64_t m_total;
    uint64_t m_before = 0; // bytes of earlier pieces
    Pull m_pull;
    std::vector<unsigned char> m_piece;
    bool m_failed = false;
};

} // namespace hpatch
