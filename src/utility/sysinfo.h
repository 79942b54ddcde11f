#pragma once

#include <QObject>
#include <QString>

#include <mutex>

// Facts about the machine, collected once for the process on first use. Only the system name is
// read by the updater (it decides how DPI-based sizes are scaled); the rest is kept for diagnosis.
class solvaneGetSysInfo : public QObject
{
    Q_OBJECT

public:
    struct Record
    {
        QString cpuName;
        QString memory;
        QString systemName;
        QString architecture;
        QString systemVersion;
        QString servicePack;
        QString hostName;
        QString ipAddress;
        QString resolution;
        QString macAddress;
        QString networkType;
    };

    // The one instance; built on first call, safe against concurrent first use, gone at exit.
    static solvaneGetSysInfo *getInstance();

    // QSysInfo::productVersion(), for example "7" or "10" on Windows.
    QString systemName() const { return m_record.systemName; }
    // Everything; the host name and address are looked up on the first call, because a name lookup
    // can block for seconds and nothing on the start path needs them.
    const Record &record() const;

private:
    solvaneGetSysInfo();

    mutable std::once_flag m_hostLookedUp;
    mutable Record m_record;
};
