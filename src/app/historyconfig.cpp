#include "app/historyconfig.h"

#include "app/constants.h"
#include "log/log.h"
#include "utility/fileutils.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace app {
namespace {

QDateTime epoch()
{
    return QDateTime::fromTime_t(0, Qt::UTC);
}

QString secondsText(const QDateTime &time)
{
    return QString::number(time.toTime_t());
}

} // namespace

HistoryConfig::HistoryConfig()
    : m_lastNotifyTime(epoch())
    , m_lastUpgradeTime(epoch())
{
}

void HistoryConfig::parseHistory(const QString &path)
{
    m_path = path;
    applog::info(QStringLiteral("parse history config, path:%1").arg(path));
    if (!QFileInfo::exists(path)) {
        m_exists = false;
        applog::info(QStringLiteral("history confit not exists"));
        return;
    }
    m_exists = true;

    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec(kIniCodec);
    settings.beginGroup(kHistoryGroup);
    m_destVersion = settings.value(kHistoryDestVersion).toString();
    m_preVersion = settings.value(kHistoryPreVersion).toString();
    m_lastNotifyTime = QDateTime::fromTime_t(settings.value(kHistoryLastNotifyTime, 0u).toUInt());
    m_lastUpgradeTime = QDateTime::fromTime_t(settings.value(kHistoryLastUpgradeTime, 0u).toUInt());
    m_notified = settings.value(kHistoryNotified, false).toBool();
    m_cancelled = settings.value(kHistoryCancelled, false).toBool();
    m_lastUpgradeStatus = settings.value(kHistoryLastUpgradeStatus, 0u).toUInt();
    settings.endGroup();

    applog::info(QStringLiteral("history confit: dest_version:%1, pre_version:%2, lastnotfy:%3, lastupgrade:%4, "
                                "notifyed_to_user:%5, user_cancelled:%6, lastupgradestatus:%7")
                         .arg(m_destVersion, m_preVersion, secondsText(m_lastNotifyTime),
                                 secondsText(m_lastUpgradeTime), QString::number(m_notified ? 1 : 0),
                                 QString::number(m_cancelled ? 1 : 0), QString::number(m_lastUpgradeStatus)));
}

void HistoryConfig::save()
{
    // Each save writes a new file that takes over the existing one's permissions, so the file
    // that exists beforehand decides that nobody else ever reads the history.
    utility::makeOwnerOnly(m_path);
    QSettings settings(m_path, QSettings::IniFormat);
    settings.setIniCodec(kIniCodec);
    settings.beginGroup(kHistoryGroup);
    settings.setValue(kHistoryDestVersion, m_destVersion);
    settings.setValue(kHistoryPreVersion, m_preVersion);
    settings.setValue(kHistoryLastNotifyTime, secondsText(m_lastNotifyTime));
    settings.setValue(kHistoryLastUpgradeTime, secondsText(m_lastUpgradeTime));
    settings.setValue(kHistoryNotified, m_notified ? QStringLiteral("1") : QStringLiteral("0"));
    settings.setValue(kHistoryCancelled, m_cancelled ? QStringLiteral("1") : QStringLiteral("0"));
    settings.setValue(kHistoryLastUpgradeStatus, QString::number(m_lastUpgradeStatus));
    settings.endGroup();
    settings.sync();
}

void HistoryConfig::setDestVersion(const QString &version)
{
    m_destVersion = version;
    save();
}

void HistoryConfig::setPreVersion(const QString &version)
{
    m_preVersion = version;
    save();
}

void HistoryConfig::setLastNotifyTime(const QDateTime &time)
{
    m_lastNotifyTime = time;
    save();
}

void HistoryConfig::setLastUpgradeTime(const QDateTime &time)
{
    m_lastUpgradeTime = time;
    save();
}

void HistoryConfig::setNotified(bool notified)
{
    m_notified = notified;
    save();
}

void HistoryConfig::setCancelled(bool cancelled)
{
    m_cancelled = cancelled;
    save();
}

void HistoryConfig::setLastUpgradeStatus(quint32 status)
{
    m_lastUpgradeStatus = status;
    save();
}

} // namespace app
