#pragma once

#include <cstdint>
#include <string>

namespace hpatch {

// A whole file mapped read-only; data() is null for an empty file or on failure.
class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    bool open(const std::string &path);
    const uint8_t *data() const { return m_data; }
    uint64_t size() const { return m_size; }

private:
    uint8_t *m_data = nullptr;
    uint64_t m_size = 0;
};

} // namespace hpatch
