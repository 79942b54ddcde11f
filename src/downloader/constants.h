#pragma once

#include <QtGlobal>

// Fixed values of the download framework.
namespace downloader {

// Kinds understood by createDownloader.
constexpr int kKindUpdateInfo = 0;
constexpr int kKindPackage = 1;

// Redirects are followed by hand; a chain longer than this is a failure, so a loop cannot hang a run.
constexpr int kMaxRedirects = 20;

// A transfer that receives nothing for this long fails like a network error.
constexpr int kTransferTimeoutMs = 60 * 1000;

// Upper bound of what a reply holds in memory before it is written to the file. Without it Qt
// buffers up to the whole body, and past 2 GiB readAll() silently returns nothing.
constexpr qint64 kReadBufferSize = 512 * 1024;

// The update description is a small JSON document; anything larger is not one.
constexpr qint64 kUpdateInfoSizeLimit = 4 * 1024 * 1024;

} // namespace downloader
