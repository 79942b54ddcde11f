#pragma once

#include "outputfile.h"
#include "pagebuffer.h"
#include "packageformat.h"
#include "referencecache.h"

#include <string>
#include <vector>

namespace hpatch {

class PackageReader;

// How much the applier verifies: nothing, the package and every output, or also every old file
// before it is used.
enum class CheckLevel { None, Diff, All };

struct ApplyOptions
{
    CheckLevel check = CheckLevel::Diff;
    bool allowExistingEmptyOut = false;
    std::string oldDir;
    std::string package;
    std::string outDir;
};

// Writes the new tree of a package into outDir. Nothing is written before the package, the
// paths and the old files it needs have been checked; on failure everything it created is removed
// again. Returns ok only when the complete tree is written (and verified unless CheckLevel::None).
class PackageApplier
{
public:
    explicit PackageApplier(ApplyOptions options);
    ~PackageApplier();
    PackageApplier(const PackageApplier &) = delete;
    PackageApplier &operator=(const PackageApplier &) = delete;
    Status run();
    // Applies an already opened package (the fuzz target uses this).
    Status apply(PackageReader &reader);

private:
    Status checkDirectories();
    // Opens every old file the package needs and checks its size (and hash, at CheckLevel::All);
    // a manifest without sizes gets them from the disk, checked by their combined hash.
    Status checkOldFiles(PackageReader &reader);
    // Which old file differs when their combined sizes do: the one whose hash misses its check byte.
    Status findChangedOld(const Manifest &manifest, const std::vector<uint32_t> &indexes) const;
    // Refuses a tree larger than the free space of outDir's disk before anything is written.
    Status checkFreeSpace(const Manifest &manifest) const;
    // size: where to put the size of a file the manifest gives none; else the size is checked.
    Status openOld(const OldEntry &entry, int *fd, uint64_t *size = nullptr) const;
    // An open old file for reading, kept open for later files that use it again.
    Status sharedOld(uint32_t index, int *fd);
    Status makeOutDir();
    // The directory in outDir where files are written before they get their names.
    Status makeStaging(const Manifest &manifest);
    Status makeDir(const std::string &relative, uint32_t mode);
    Status writeFile(PackageReader &reader, const NewEntry &entry);
    Status writeCopy(const Manifest &manifest, const NewEntry &entry, OutputFile &out);
    Status writeNew(PackageReader &reader, const NewEntry &entry, OutputFile &out);
    Status writeDelta(PackageReader &reader, const NewEntry &entry, OutputFile &out);
    // Checks the files of a package with combined hashes (its copies, or from version 5 every file)
    // and gives them their names.
    Status placePending(const Manifest &manifest);
    void removeCreated();

    ApplyOptions m_options;
    std::vector<std::string> m_created; // absolute paths of what this run created, in order
    std::string m_staging;
    const Manifest *m_manifest = nullptr;
    // A delta block's differences and copy bytes, then the output buffer: one 2 MiB region, a huge
    // page where the system has them (15 % of a typescript apply against two buffers). The output
    // buffer comes last, so that a write past its end still meets AddressSanitizer's guard.
    PageBuffer m_buffers;
    // One output buffer for all files: a fresh megabyte per file cost more than small files' writes.
    OutputFile m_out;
    ReferenceCache m_reference;
    Status m_referenceError;
    std::vector<std::pair<uint32_t, int>> m_openOld;
    struct Pending
    {
        const NewEntry *entry;
        std::string temporary;
        uint64_t hash;
    };
    std::vector<Pending> m_pending;
};

} // namespace hpatch
