#include "mappedfile.h"

#include "fileio.h"

#include <io.h>
#include <windows.h>

namespace hpatch {

MappedFile::~MappedFile()
{
    if (m_data)
        UnmapViewOfFile(m_data);
}

bool MappedFile::open(const std::string &path)
{
    const int fd = openForRead(path);
    if (fd < 0)
        return false;
    bool ok = regularFileSize(fd, &m_size);
    if (ok && m_size > 0) {
        // The view keeps the file open; the mapping object is not needed once the view exists.
        HANDLE mapping = CreateFileMappingW(
                reinterpret_cast<HANDLE>(_get_osfhandle(fd)), nullptr, PAGE_READONLY, 0, 0, nullptr);
        void *p = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (mapping)
            CloseHandle(mapping);
        ok = p != nullptr;
        m_data = static_cast<uint8_t *>(p);
    }
    closeFile(fd);
    return ok;
}

} // namespace hpatch
