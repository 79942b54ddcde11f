#pragma once

#include <QDateTime>
#include <QString>

namespace app {

// What the updater remembers between runs of one edition. Each setter rewrites the whole file at
// once, so a run that is killed leaves a consistent record.
class HistoryConfig
{
public:
    HistoryConfig();

    // Remembers path and reads the file; a missing file leaves the defaults and exists() false.
    void parseHistory(const QString &path);
    // Writes all seven keys; failures are not detected.
    void save();

    QString destVersion() const { return m_destVersion; }
    QString preVersion() const { return m_preVersion; }
    QDateTime lastNotifyTime() const { return m_lastNotifyTime; }
    QDateTime lastUpgradeTime() const { return m_lastUpgradeTime; }
    bool notified() const { return m_notified; }
    bool cancelled() const { return m_cancelled; }
    quint32 lastUpgradeStatus() const { return m_lastUpgradeStatus; }
    bool exists() const { return m_exists; }
    QString path() const { return m_path; }

    void setDestVersion(const QString &version);
    void setPreVersion(const QString &version);
    void setLastNotifyTime(const QDateTime &time);
    void setLastUpgradeTime(const QDateTime &time);
    void setNotified(bool notified);
    void setCancelled(bool cancelled);
    void setLastUpgradeStatus(quint32 status);

private:
    QString m_destVersion;
    QString m_preVersion;
    QDateTime m_lastNotifyTime;
    QDateTime m_lastUpgradeTime;
    bool m_notified = false;
    bool m_cancelled = false;
    quint32 m_lastUpgradeStatus = 0;
    bool m_exists = false;
    QString m_path;
};

} // namespace app
