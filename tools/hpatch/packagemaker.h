#pragma once

#include "packageformat.h"
#include "sourcetree.h"

#include <cstdio>
#include <string>
#include <xxhash.h>

namespace hpatch {

struct MakeOptions
{
    bool full = false; // against an empty old tree
    int level = 0; // 0 for the default of the package kind
    int windowLog = 0; // at most kMaxWindowLog; 0 for the default of the package kind
    std::string oldDir;
    std::string newDir;
    std::string package;
};

// Makes a package that turns the old tree into the new one; the package file appears only
// when it is complete.
class PackageMaker
{
public:
    PackageMaker(MakeOptions options, ProgressFunction progress);
    Status run();
    // One line about what the package holds, for the terminal.
    const std::string &summary() const { return m_summary; }

private:
    // The uncompressed frames of the package stream, in temporary files.
    struct RawFrames
    {
        enum { Controls, Diffs, Bytes };
        std::string path[3];
        uint64_t size[3] = {};
    };
    Status writeRawStream(RawFrames &frames, Manifest *manifest);
    Status writePackage(const RawFrames &frames, Manifest *manifest);
    Status compress(std::FILE *in, uint64_t size, int windowLog, std::FILE *out, const std::string &outPath,
            XXH3_state_t *hash, uint64_t *written);

    MakeOptions m_options;
    ProgressFunction m_progress;
    SourceTree m_old;
    SourceTree m_new;
    std::string m_summary;
};

} // namespace hpatch
