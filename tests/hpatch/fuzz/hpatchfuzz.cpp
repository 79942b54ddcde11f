// Fuzz target over the package reader and the applier. Half of the inputs get their hashes
// repaired first, so mutations reach the manifest parser, the stream and the delta blocks
// instead of stopping at the hash checks.
#include "packageapplier.h"
#include "packageformat.h"
#include "packagereader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <xxhash.h>

namespace fs = std::filesystem;

namespace {

std::string g_work;

// The old tree the seed packages are made against (scripts/fuzz-hpatch.sh makes them).
void makeOldTree(const std::string &old)
{
    fs::create_directories(old + "/dir");
    std::string text, bin(20000, '\0');
    for (int i = 0; i < 400; ++i)
        text += "line " + std::to_string(i) + " of some text\n";
    uint32_t x = 12345;
    for (char &c : bin)
        c = char((x = x * 1103515245 + 12345) >> 24);
    for (const auto &[name, content] :
            { std::pair{ "/a.txt", text }, { "/dir/b.bin", bin }, { "/c.txt", std::string("short") } }) {
        FILE *f = std::fopen((old + name).c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
}

void repairHashes(std::string &data)
{
    if (data.size() < hpatch::kHeaderSize || std::memcmp(data.data(), hpatch::kMagic, 8) != 0)
        return;
    uint64_t manifestSize = 0, streamSize = 0; // little endian, as on every machine this runs on
    std::memcpy(&manifestSize, data.data() + 16, 8);
    std::memcpy(&streamSize, data.data() + 40, 8);
    const uint64_t body = data.size() - hpatch::kHeaderSize;
    auto put = [&](size_t at, uint64_t v) {
        for (int i = 0; i < 8; ++i)
            data[at + i] = char(v >> (8 * i));
    };
    if (manifestSize <= body) {
        put(32, XXH3_64bits(data.data() + hpatch::kHeaderSize, manifestSize));
        if (streamSize <= body - manifestSize)
            put(48, XXH3_64bits(data.data() + hpatch::kHeaderSize + manifestSize, streamSize));
    }
    put(56, XXH3_64bits(data.data(), hpatch::kHeaderSize - 8));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = std::getenv("HPATCH_FUZZ_DIR");
    g_work = dir ? dir : "/tmp/hpatchfuzz-" + std::to_string(::getpid());
    fs::remove_all(g_work + "/out");
    makeOldTree(g_work + "/old");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::string input(reinterpret_cast<const char *>(data), size - 1);
    const uint8_t control = data[size - 1];
    if (control & 1)
        repairHashes(input);

    hpatch::ApplyOptions options;
    options.check = (control & 2) ? hpatch::CheckLevel::None
            : (control & 4)       ? hpatch::CheckLevel::All
                                  : hpatch::CheckLevel::Diff;
    options.oldDir = g_work + "/old";
    options.outDir = g_work + "/out";
    hpatch::PackageReader reader;
    hpatch::Status s = reader.openMemory(reinterpret_cast<const uint8_t *>(input.data()), input.size());
    if (s.ok()) {
        hpatch::PackageApplier applier(options);
        s = applier.apply(reader);
        // A refused package leaves nothing behind.
        if (!s.ok() && fs::exists(options.outDir))
            std::abort();
    }
    // Nothing may appear beside old/ and out/.
    if (std::distance(fs::directory_iterator(g_work), fs::directory_iterator()) > 2)
        std::abort();
    fs::remove_all(options.outDir);
    return 0;
}
