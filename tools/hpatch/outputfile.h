#pragma once

#include "packageformat.h"

#include <cstdint>
#include <string>
#include <xxhash.h>

namespace hpatch {

inline constexpr size_t kOutputBufferBytes = 1 << 20;

// One file being written: buffered, hashed as it grows, runs of zero blocks left as holes.
// Every write error (a full disk included) becomes ExitIoError naming the file. One object can
// write many files one after another, keeping its buffer.
class OutputFile
{
public:
    // The buffer, kOutputBufferBytes long, stays the caller's and must outlive the object.
    explicit OutputFile(char *buffer);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates a file that must not exist yet; never follows a link. Drops a file left unclosed.
    Status create(const std::string &path, uint32_t mode);
    Status write(const void *data, size_t size);
    // Where the next bytes go, for a caller that makes them in place and saves a copy: at most
    // *size bytes (lowered to what is free, never to 0). commit then takes as many as were made.
    char *room(size_t *size);
    Status commit(size_t size);
    // Writes out the rest, sets the size and the mode, closes.
    Status close();
    // Closes a file left open by a failure, unwritten rest and all, so that it can be removed.
    void discard();
    uint64_t size() const { return m_size; }
    uint64_t hash() const { return XXH3_64bits_digest(m_hash); }

private:
    Status flush();
    Status ioError(const char *what);

    int m_fd = -1;
    std::string m_path;
    uint32_t m_mode = 0;
    char *m_buffer;
    size_t m_used = 0;
    uint64_t m_size = 0;
    uint64_t m_written = 0;
    bool m_holeAtEnd = false;
    XXH3_state_t *m_hash;
};

// Reads exactly size bytes at offset; false on an error or a short file.
bool readAt(int fd, void *data, size_t size, uint64_t offset);
// XXH3 of a whole open file, read from its start; false on an error.
bool hashFile(int fd, uint64_t *hash, uint64_t *size);

} // namespace hpatch
