#pragma once

#include "packageformat.h"
#include "sourcetree.h"

#include <string>

namespace hpatch {

struct MakeOptions
{
    bool full = false; // against an empty old tree
    int level = 19;
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
    Status writeRawStream(const std::string &rawPath, Manifest *manifest, uint64_t *rawSize);
    Status writePackage(const std::string &rawPath, uint64_t rawSize, const Manifest &manifest);

    MakeOptions m_options;
    ProgressFunction m_progress;
    SourceTree m_old;
    SourceTree m_new;
    std::string m_summary;
};

} // namespace hpatch
