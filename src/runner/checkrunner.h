#pragma once

#include "downloader/downloader.h"
#include "runner/mainrunner.h"

#include <QDateTime>
#include <QString>

#include <memory>

namespace app {
class HistoryConfig;
class UpdateInfoManager;
} // namespace app

namespace runner {

// What a check needs from the process that runs it, taken once when the runner is made
// (checkContextOf in the runner factory).
struct CheckContext
{
    QString mode;
    QString role;
    QString lang;
    QString updateUrl;
    QString masterLocalServer;
    QString productVersion;
    quint32 checkInterval = 0;
    quint32 checkIntervalAfterUserCancel = 0;
    // Empty: the update description is not signed.
    QByteArray publicKey;
    // Owned by the application; they outlive the runner.
    app::HistoryConfig *history = nullptr;
    app::UpdateInfoManager *updateInfoManager = nullptr;
};

// Everything the notification policy looks at.
struct NotificationFacts
{
    bool isManual = false;
    bool needUpdate = false;
    bool isForceUpdate = false;
    bool historyExists = false;
    bool userCancelled = false;
    QDateTime lastNotifyTime;
    quint32 checkInterval = 0;
    quint32 checkIntervalAfterUserCancel = 0;
};

enum class NotifyDecision { Notify, Skip, SkipUserCancelled };

// The notification policy: whether the user is told now. A manual check is always answered;
// otherwise only a needed update is told: forced, first check ever, or once its interval since
// the last notification has passed (strictly), the longer one when the user turned it down.
NotifyDecision decideNotification(const NotificationFacts &facts, const QDateTime &now);

// The "checkUpdate" job: downloads the update description, compares versions, decides by the
// notification policy whether the user is told now, and if so tells the master.
class CheckRunner : public MainRunner, public downloader::Downloader::Delegate
{
    Q_OBJECT

public:
    explicit CheckRunner(const CheckContext &context, QObject *parent = nullptr);
    ~CheckRunner() override;

    bool initialize() override;
    // -1 without an event loop when the download cannot be started.
    int run() override;

    void onDownloadComplete(bool success) override;

private:
    bool startDownload();
    // Fetches the description's signature from beside it; false when that cannot start.
    bool startSignatureDownload();
    bool parseConfig();
    bool shouldNotify() const;
    void notifyToMaster();

    CheckContext m_context;
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
    std::unique_ptr<downloader::Downloader> m_signatureDownloader;
};

} // namespace runner
