#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The file system as both tools use it, one implementation per platform (fileio_unix.cpp,
// fileio_win.cpp). Paths are UTF-8 and "/"-separated; on Windows they may be longer than 260
// characters. An open file is a small int: a descriptor, on Windows a CRT descriptor over the
// handle. A failure returns false or -1 and leaves errno at the nearest POSIX code: ENOENT for a
// missing file, EEXIST for a name already taken, EBUSY for a file another process holds without
// sharing, ENOSPC for a full disk.
namespace hpatch {

enum class EntryType { Missing, File, Directory, Other };

struct DirectoryItem
{
    std::string name;
    EntryType type = EntryType::Other;
    uint64_t size = 0;
    uint32_t mode = 0; // permission bits; on Windows 0644 for files, 0755 for directories
};

// An existing file for reading. Other processes may go on reading, writing, renaming or deleting
// it: an installed file the tool reads must not stop anything else.
int openForRead(const std::string &path);
// A new file for writing; fails when the name exists, and never writes through a link.
int createNewFile(const std::string &path);
// Up to size bytes at offset; the count read, 0 at the end, -1 on an error.
int64_t readAtMost(int fd, void *data, size_t size, uint64_t offset);
// Exactly size bytes at offset.
bool writeAt(int fd, const void *data, size_t size, uint64_t offset);
// The size of an open file; false when it is not a regular file.
bool regularFileSize(int fd, uint64_t *size);
bool resizeFile(int fd, uint64_t size);
// Permission bits; Windows has none to set.
bool setFileMode(int fd, uint32_t mode);
// False when the system reports a write error it had delayed.
bool closeFile(int fd);

// What path names, without following a link at its end.
EntryType entryType(const std::string &path);
bool makeDirectory(const std::string &path, uint32_t mode);
bool setDirectoryMode(const std::string &path, uint32_t mode);
// Removes a file or an empty directory.
bool removeEntry(const std::string &path);
// Moves a file to a name that must be free, within one file system.
bool renameNoReplace(const std::string &from, const std::string &to);
// Moves a file to a name, replacing a file of that name.
bool renameReplacing(const std::string &from, const std::string &to);
// The text of the symbolic link at path; false when path is no link (or, on Windows, not one
// this tool makes).
bool readLink(const std::string &path, std::string *target);
// A symbolic link at path holding target; fails when the name exists.
bool makeLink(const std::string &target, const std::string &path);
// The entries of a directory other than "." and "..", links reported as EntryType::Other.
bool listDirectory(const std::string &path, std::vector<DirectoryItem> *items);

// A C stream on a file ("rb", "wb").
std::FILE *openStream(const std::string &path, const char *mode);
// Flushes a stream through to the disk.
bool syncStream(std::FILE *file);
// A file that vanishes when closed, holding a copy of data.
int memoryFile(const void *data, size_t size);
// Zero-filled memory apart from the heap, taken from the system only as far as it is touched; whole
// 2 MiB units of it on huge pages where the system has them.
void *reserveMemory(size_t size);
void releaseMemory(void *data, size_t size);

// The absolute path with the links of the part that exists resolved (junctions too on Windows).
std::filesystem::path resolvedPath(const std::string &path);
std::filesystem::path toFsPath(const std::string &path);
std::string fromFsPath(const std::filesystem::path &path);

bool stderrIsTerminal();
// The program's arguments in UTF-8, whatever the code page of a Windows process.
std::vector<std::string> utf8Arguments(int argc, char **argv);

} // namespace hpatch
