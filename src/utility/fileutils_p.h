#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Platform parts behind the file functions, one implementation per platform.
namespace utility {

// Makes everything written to the file system holding dir durable. false only when the system
// reports that written data could not be stored; where no flush is permitted it is skipped.
bool syncFileSystem(const QString &dir);

// Flushes the open file's data, and the directory entry of dir, to the disk.
bool flushFile(QFileDevice &file);
bool flushDirectory(const QString &dir);

// Copies the rest of in into out, both open and unbuffered; false on a read or write error.
// Platforms may copy inside the kernel; buffer serves the plain loop.
bool copyFileData(QFile &in, QFile &out, QByteArray &buffer);

inline bool copyFileDataInChunks(QFile &in, QFile &out, QByteArray &buffer)
{
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got < 0 || out.write(buffer.constData(), got) != got)
            return false;
    }
}

} // namespace utility
