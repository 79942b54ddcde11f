#pragma once

#include "packageformat.h"

#include <functional>
#include <string>
#include <vector>

namespace hpatch {

struct TreeFile
{
    std::string path; // relative, "/" separated
    uint64_t size = 0;
    uint32_t mode = 0;
    uint64_t hash = 0;
};

// The regular files, directories and symbolic links of one tree, sorted by path, with their
// hashes.
struct SourceTree
{
    std::vector<TreeFile> files;
    std::vector<DirEntry> dirs;
    std::vector<LinkEntry> links;
};

using ProgressFunction = std::function<void(const std::string &)>;

// Scans root; links are taken as links, never followed. strict refuses what a package cannot hold
// (devices, sockets, unsafe names) instead of skipping it, and keeps the links; the new tree is
// scanned strictly, the old one is not, since only the files a package refers to matter there.
Status scanTree(const std::string &root, bool strict, SourceTree *tree, const ProgressFunction &progress);

} // namespace hpatch
