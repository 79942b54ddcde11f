#pragma once

#include "downloader/downloader.h"

namespace downloader {

// Fetches the update description for the check. Makes no progress callbacks and never reports a
// cancellation: a cancelled transfer is a failed one. The delegate is told before a failed file is
// deleted. A body past kUpdateInfoSizeLimit is not an update description and fails the transfer.
class UpdateInfoDownloader : public Downloader
{
    Q_OBJECT

public:
    explicit UpdateInfoDownloader(int transferTimeoutMs = kTransferTimeoutMs);

    bool initialize(const std::weak_ptr<Delegate> &delegate, const QUrl &url, const QString &savePath) override;
    bool run() override;
    bool cancel() override;
    qint32 errorCode() override { return m_errorCode; }

private:
    void complete(bool success) override;
};

} // namespace downloader
