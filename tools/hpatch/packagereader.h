#pragma once

#include "packageformat.h"
#include "zstddecoder.h"

#include <memory>
#include <string>
#include <vector>

namespace hpatch {

// An open package: header and manifest read and validated, the stream ready to decode.
class PackageReader
{
public:
    PackageReader() = default;
    ~PackageReader();
    PackageReader(const PackageReader &) = delete;
    PackageReader &operator=(const PackageReader &) = delete;

    // Opens the package at path and validates its header and manifest.
    Status open(const std::string &path);
    // Opens a package held in memory (the fuzz target); the bytes are copied to an anonymous file.
    Status openMemory(const uint8_t *data, size_t size);
    // Checks the hash of the whole compressed stream before anything is decoded.
    Status verifyStream();

    const Header &header() const { return m_header; }
    const Manifest &manifest() const { return m_manifest; }
    // The sizes of the old files as found on the disk, for a manifest that does not hold them.
    void setOldSizes(const std::vector<uint64_t> &sizes) { hpatch::setOldSizes(&m_manifest, sizes); }
    // The frames of the stream; before version 4 all three are the same single frame.
    ZstdDecoder &controls();
    ZstdDecoder &diffs();
    ZstdDecoder &bytes() { return *m_bytes; }
    // Ok when every frame has been read to its end and nothing is left over.
    Status finish();

private:
    Status readOpened();

    int m_fd = -1;
    Header m_header;
    Manifest m_manifest;
    std::unique_ptr<ZstdDecoder> m_bytes;
    std::unique_ptr<ZstdDecoder> m_controls;
    std::unique_ptr<ZstdDecoder> m_diffs;
    ZstdDecoder *m_frames[3] = {};
};

} // namespace hpatch
