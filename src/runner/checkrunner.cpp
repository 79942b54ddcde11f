#include "runner/checkrunner.h"

#include "app/constants.h"
#include "app/historyconfig.h"
#include "app/log.h"
#include "app/mainapplication.h"
#include "app/updateinfomanager.h"
#include "localsocket/jsonutil.h"
#include "localsocket/localclientwrapper.h"
#include "runner/constants.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QVariantMap>
#include <QVersionNumber>

namespace runner {

CheckRunner::CheckRunner(QObject *parent)
    : MainRunner(parent)
    , m_lastNotifyTime(QDateTime::fromTime_t(0, Qt::UTC))
{
}

CheckRunner::~CheckRunner() = default;

bool CheckRunner::initialize()
{
    applog::info(QStringLiteral("checkrunner initialize"));
    QGuiApplication::setQuitOnLastWindowClosed(true);

    app::MainApplication *application = app::MainApplication::instance();
    app::HistoryConfig *history = application->historyConfig();
    m_historyExists = history->exists();
    if (m_historyExists) {
        m_userCancelled = history->cancelled();
        m_lastNotifyTime = history->lastNotifyTime();
    }
    m_currentVersion = application->productVersion();
    m_isManual = application->mode() == app::kModeManual;
    m_checkInterval = application->checkInterval();
    m_checkIntervalAfterUserCancel = application->checkIntervalAfterUserCancel();
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
    app::MainApplication *application = app::MainApplication::instance();
    m_downloader = downloader::createDownloader(downloader::kKindUpdateInfo);
    const QUrl url(application->updateUrl(), QUrl::TolerantMode);
    m_updateInfoPath = updateInfoFilePath(application->role());
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

void CheckRunner::onDownloadComplete(bool success)
{
    if (!success) {
        applog::critical(QStringLiteral("checkrunner download failed, error:%1").arg(m_downloader->errorCode()));
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
    app::MainApplication *application = app::MainApplication::instance();
    app::UpdateInfoManager *manager = application->updateInfoManager();
    if (!manager->parseUpdateInfo(m_updateInfoPath)) {
        applog::critical(QStringLiteral("updateinfo manager parse updateinfo failed"));
        return false;
    }
    m_isForceUpdate = manager->isForce();
    m_targetVersion = manager->targetVersion();
    m_displayContent = manager->displayContent(application->lang());

    app::HistoryConfig *history = application->historyConfig();
    history->setDestVersion(m_targetVersion);
    history->setPreVersion(m_currentVersion);

    const int segments = QVersionNumber::fromString(m_targetVersion).segmentCount();
    if (segments == 3 || segments == 4)
        return true;
    applog::critical(QStringLiteral("checkrunner parsed target version invalid"));
    return false;
}

bool CheckRunner::shouldNotify() const
{
    if (m_isManual)
        return true;
    if (!m_needUpdate)
        return false;
    if (m_isForceUpdate)
        return true;
    if (!m_historyExists)
        return true;
    const QDateTime now = QDateTime::currentDateTime();
    if (!m_userCancelled)
        return now > m_lastNotifyTime.addSecs(qint64(m_checkInterval));
    if (now > m_lastNotifyTime.addSecs(qint64(m_checkIntervalAfterUserCancel)))
        return true;
    applog::info(QStringLiteral("checkrunner not notify to user cause user cancelled before"));
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

    app::MainApplication *application = app::MainApplication::instance();
    LocalClientWrapper client;
    for (int attempt = 0; attempt < kNotifyAttempts; ++attempt) {
        if (!client.synchSendDataToServerWithAck(application->masterLocalServer(), json, kNotifyConnectTimeoutSeconds))
            continue;
        applog::info(QStringLiteral("check runner sendUpgradeInfoToMaster success"));
        if (m_needUpdate) {
            app::HistoryConfig *history = application->historyConfig();
            history->setNotified(true);
            history->setLastNotifyTime(QDateTime::currentDateTime());
            history->setCancelled(true);
        }
        return;
    }
    applog::critical(QStringLiteral("check runner sendUpgradeInfoToMaster failed"));
}

} // namespace runner
