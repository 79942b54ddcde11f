#include "utility/sysinfo.h"

#include "log/log.h"
#include "utility/sysinfo_p.h"

#include <QGuiApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QScreen>
#include <QSysInfo>

#include <cstdio>

namespace {

constexpr unsigned long long kMegabyte = 1048576;

// The kind of connection, named like the bearer types of the Qt 5 network configuration API.
// That API is deprecated, and merely asking it costs every run of the updater about 50 ms (it
// starts a thread that scans the network and is slow to wind down); the interface list tells the
// same for the interfaces that matter here.
QString networkTypeName(QNetworkInterface::InterfaceType type)
{
    switch (type) {
    case QNetworkInterface::Ethernet:
        return QStringLiteral("Ethernet");
    case QNetworkInterface::Wifi:
        return QStringLiteral("WLAN");
    case QNetworkInterface::Ieee80216:
        return QStringLiteral("WiMAX");
    default:
        return QStringLiteral("Unknown");
    }
}

} // namespace

solvaneGetSysInfo *solvaneGetSysInfo::getInstance()
{
    static solvaneGetSysInfo instance;
    return &instance;
}

solvaneGetSysInfo::solvaneGetSysInfo()
{
    namespace platform = utility::sysinfoplatform;

    m_record.cpuName = QString::fromStdWString(platform::cpuName());

    unsigned long long available = 0;
    unsigned long long total = 0;
    if (platform::physicalMemory(available, total)) {
        m_record.memory = QStringLiteral("%1MB/%2MB").arg(available / kMegabyte).arg(total / kMegabyte);
    }

    m_record.systemName = QSysInfo::productVersion();
    std::printf("System Name: %s\n", m_record.systemName.toLocal8Bit().constData());

    m_record.architecture = platform::isWow64Process() ? QStringLiteral("x64") : QStringLiteral("x86");

    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    if (platform::ntVersionNumbers(major, minor, build)) {
        m_record.systemVersion = QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(build & 0xFFFF);
    } else {
        m_record.systemVersion = QStringLiteral("Get Error");
        std::printf("System Version: Get Error Error\n");
    }
    std::fflush(stdout);

    m_record.servicePack = QString::fromStdWString(platform::servicePack());
    if (m_record.servicePack.isEmpty())
        applog::debug(QStringLiteral("Services Pack: Not Install "));
    else
        applog::debug(QStringLiteral("Services Pack: %1 ").arg(m_record.servicePack));

    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        m_record.resolution = QStringLiteral("%1*%2").arg(area.width()).arg(area.height());
    }

    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning)
                && !flags.testFlag(QNetworkInterface::IsLoopBack)) {
            m_record.macAddress = iface.hardwareAddress().remove(QLatin1Char(':'));
            m_record.networkType = networkTypeName(iface.type());
            break;
        }
    }
}

const solvaneGetSysInfo::Record &solvaneGetSysInfo::record() const
{
    std::call_once(m_hostLookedUp, [this] {
        m_record.hostName = QHostInfo::localHostName();
        applog::debug(QStringLiteral("Host Name: %1").arg(m_record.hostName));
        const QList<QHostAddress> addresses = QHostInfo::fromName(m_record.hostName).addresses();
        for (const QHostAddress &address : addresses) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                m_record.ipAddress = address.toString();
                break;
            }
        }
        applog::debug(QStringLiteral("IP Address: %1").arg(m_record.ipAddress));
    });
    return m_record;
}
