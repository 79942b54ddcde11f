#include "runner/checkrunner.h"

#include "app/constants.h"
#include "app/historyconfig.h"
#include "app/updateinfomanager.h"
#include "localsocket/jsonutil.h"
#include "localsocket/localclientwrapper.h"
#include "log/log.h"
#include "runner/constants.h"

#include <QApplication>
#include <QFile>
#include <QUrl>
#include <QVariantMap>

namespace runner {

NotifyDecision decideNotification(const NotificationFacts &facts, const QDateTime &now)
{
    if (facts.isManual)
        return NotifyDecision::Notify;
    if (!facts.needUpdate)
        return NotifyDecision::Skip;
    if (facts.isForceUpdate || !facts.historyExists)
        return NotifyDecision::Notify;
    if (!facts.userCancelled)
        return now > facts.lastNotifyTime.addSecs(qint64(facts.checkInterval)) ? NotifyDecision::Notify
                                                                               : NotifyDecision::Skip;
    return now > facts.lastNotifyTime.addSecs(qint64(facts.checkIntervalAfterUserCancel))
            ? NotifyDecision::Notify
            : NotifyDecision::SkipUserCancelled;
}

CheckRunner::CheckRunner(const CheckContext &context, QObject *parent)
    : MainRunner(parent)
    , m_context(context)
    , m_lastNotifyTime(QDateTime::fromTime_t(0, Qt::UTC))
{
}

CheckRunner::~CheckRunner() = default;

bool CheckRunner::initialize()
{
    applog::info(QStringLiteral("checkrunner initialize"));
    QGuiApplication::setQuitOnLastWindowClosed(true);

    const app::HistoryConfig *history = m_context.history;
    if (!history || !m_context.updateInfoManager) {
        applog::critical(QStringLiteral("checkrunner has no history or updateinfo manager"));
        return false;
    }
    m_historyExists = history->exists();
    if (m_historyExists) {
        m_userCancelled = history->cancelled();
        m_lastNotifyTime = history->lastNotifyTime();
    }
    m_currentVersion = m_context.productVersion;
    m_isManual = m_context.mode == app::kModeManual;
    m_checkInterval = m_context.checkInterval;
    m_checkIntervalAfterUserCancel = m_context.checkIntervalAfterUserCancel;
    return true;
}

int CheckRunner::run()
{
    applog::info(QStringLiteral("checkrunner run"));
    if (!startDownload()) {
        applog::critical(QStringLiteral("checkrunner startdownload failed"));
        return -1;
    }
    return QApplication::exec();
}

bool CheckRunner::startDownload()
{
    m_downloader = downloader::createDownloader(downloader::kKindUpdateInfo);
    const QUrl url(m_context.updateUrl, QUrl::TolerantMode);
    m_updateInfoPath = updateInfoFilePath(m_context.role);
    applog::info(QStringLiteral("checkrunner start download, url:%1, download_path:%2")
                         .arg(url.toString(), m_updateInfoPath));

    const auto self = std::dynamic_pointer_cast<downloader::Downloader::Delegate>(shared_from_this());
    if (!m_downloader->initialize(self, url, m_updateInfoPath)) {
        applog::critical(QStringLiteral("checkrunner initialize downloader failed"));
        return false;
    }
    if (!m_downloader->run()) {
        applog::critical(QStringLiteral("checkrunner run downloader failed"));
        return false;
    }
    return true;
}

bool CheckRunner::startSignatureDownload()
{
    QUrl url(m_context.updateUrl, QUrl::TolerantMode);
    url.setPath(url.path(QUrl::FullyEncoded) + app::kSignatureSuffix, QUrl::TolerantMode);
    const QString path = m_updateInfoPath + app::kSignatureSuffix;
    applog::info(
            QStringLiteral("checkrunner start signature download, url:%1, download_path:%2").arg(url.toString(), path));
    // The signature of an earlier description must not stand in for a missing one.
    QFile::remove(path);
    m_signatureDownloader = downloader::createDownloader(downloader::kKindUpdateInfo);
    const auto self = std::dynamic_pointer_cast<downloader::Downloader::Delegate>(shared_from_this());
    return m_signatureDownloader->initialize(self, url, path) && m_signatureDownloader->run();
}

void CheckRunner::onDownloadComplete(bool success)
{
    // A signed description is read only together with its signature; this callback comes back
    // once that has arrived too.
    if (success && !m_context.publicKey.isEmpty() && !m_signatureDownloader) {
        if (startSignatureDownload())
            return;
        success = false;
    }
    if (!success) {
        const auto &failed = m_signatureDownloader ? m_signatureDownloader : m_downloader;
        applog::critical(QStringLiteral("checkrunner download failed, error:%1").arg(failed->errorCode()));
    } else if (!parseConfig()) {
        applog::critical(QStringLiteral("checkrunner parse config failed"));
    } else {
        m_needUpdate = app::compareVersion(m_currentVersion, m_targetVersion) < 0;
    }
    applog::info(QStringLiteral("checkrunner updateinfo download complete, success:%1, needupdate:%2")
                         .arg(success ? 1 : 0)
                         .arg(m_needUpdate ? 1 : 0));

    if (shouldNotify()) {
        applog::info(QStringLiteral("checkrunner notify to user"));
        notifyToMaster();
    } else {
        applog::info(QStringLiteral("checkrunner should not notify user"));
    }
    QCoreApplication::quit();
}

bool CheckRunner::parseConfig()
{
    app::UpdateInfoManager *manager = m_context.updateInfoManager;
    if (!manager->parseUpdateInfo(m_updateInfoPath, m_currentVersion, m_context.publicKey)) {
        applog::critical(QStringLiteral("updateinfo manager parse updateinfo failed"));
        return false;
    }
    m_isForceUpdate = manager->isForce();
    m_targetVersion = manager->targetVersion();
    m_displayContent = manager->displayContent(m_context.lang);

    m_context.history->setDestVersion(m_targetVersion);
    m_context.history->setPreVersion(m_currentVersion);

    if (app::isValidVersionShape(m_targetVersion))
        return true;
    applog::critical(QStringLiteral("checkrunner parsed target version invalid"));
    return false;
}

bool CheckRunner::shouldNotify() const
{
    NotificationFacts facts;
    facts.isManual = m_isManual;
    facts.needUpdate = m_needUpdate;
    facts.isForceUpdate = m_isForceUpdate;
    facts.historyExists = m_historyExists;
    facts.userCancelled = m_userCancelled;
    facts.lastNotifyTime = m_lastNotifyTime;
    facts.checkInterval = m_checkInterval;
    facts.checkIntervalAfterUserCancel = m_checkIntervalAfterUserCancel;
    switch (decideNotification(facts, QDateTime::currentDateTime())) {
    case NotifyDecision::Notify:
        return true;
    case NotifyDecision::Skip:
        return false;
    case NotifyDecision::SkipUserCancelled:
        applog::info(QStringLiteral("checkrunner not notify to user cause user cancelled before"));
        return false;
    }
    return false;
}

void CheckRunner::notifyToMaster()
{
    applog::info(QStringLiteral("check runner notifyToMaster"));
    const QVariantMap payload{
        { kPayloadNeedUpdate, m_needUpdate },
        { kPayloadIsForceUpdate, m_isForceUpdate },
        { kPayloadIsManual, m_isManual },
        { kPayloadTargetVersion, m_targetVersion },
        { kPayloadUpdateInfoContent, QString::fromLatin1(m_displayContent.toUtf8().toBase64()) },
    };
    const QString json = jsonFromVariantMap(payload);

    LocalClientWrapper client;
    for (int attempt = 0; attempt < kNotifyAttempts; ++attempt) {
        if (!client.synchSendDataToServerWithAck(m_context.masterLocalServer, json, kNotifyConnectTimeoutSeconds))
            continue;
        applog::info(QStringLiteral("check runner sendUpgradeInfoToMaster success"));
        if (m_needUpdate) {
            app::HistoryConfig *history = m_context.history;
            history->setNotified(true);
            history->setLastNotifyTime(QDateTime::currentDateTime());
            history->setCancelled(true);
        }
        return;
    }
    applog::critical(QStringLiteral("check runner sendUpgradeInfoToMaster failed"));
}

} // namespace runner
