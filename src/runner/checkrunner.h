#pragma once

#include "downloader/downloader.h"
#include "runner/mainrunner.h"

#include <QDateTime>
#include <QString>

#include <memory>

namespace runner {

// The "checkUpdate" job: downloads the update description, compares versions, decides by the
// notification policy whether the user is told now, and if so tells the master.
class CheckRunner : public MainRunner, public downloader::Downloader::Delegate
{
    Q_OBJECT

public:
    explicit CheckRunner(QObject *parent = nullptr);
    ~CheckRunner() override;

    bool initialize() override;
    // -1 without an event loop when the download cannot be started.
    int run() override;

    void onDownloadComplete(bool success) override;

private:
    bool startDownload();
    bool parseConfig();
    bool shouldNotify() const;
    void notifyToMaster();

    bool m_isManual = false;
    bool m_historyExists = false;
    bool m_userCancelled = false;
    bool m_isForceUpdate = false;
    bool m_needUpdate = false;
    quint32 m_checkIntervalAfterUserCancel = 0;
    quint32 m_checkInterval = 0;
    QDateTime m_lastNotifyTime;
    QString m_updateInfoPath;
    QString m_currentVersion;
    QString m_targetVersion;
    QString m_displayContent;
    std::unique_ptr<downloader::Downloader> m_downloader;
};

} // namespace runner
