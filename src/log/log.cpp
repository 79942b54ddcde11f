#include "log/log.h"

#include "utility/fileutils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QTextStream>

namespace applog {
namespace {

#ifdef Q_OS_WIN
const QString kLogNameSeparator = QStringLiteral("\\");
#else
const QString kLogNameSeparator = QStringLiteral("/");
#endif

const QString kDefaultLogSubPath = QStringLiteral("/SolvaneClient/logs/solupdate");
const QString kLogFileBaseName = QStringLiteral("solupdate");
const QString kFileTimeFormat = QStringLiteral("yyyyMMddhhmmss");
const QString kRecordTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ddd");

QFile *g_logFile = nullptr;
QMutex g_logMutex;

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug: ";
    case QtInfoMsg:
        return "Info: ";
    case QtWarningMsg:
        return "Warning: ";
    case QtCriticalMsg:
        return "Critical: ";
    case QtFatalMsg:
        return "Fatal: ";
    }
    return nullptr;
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const char *word = levelWord(type);
    if (!word)
        return;
    // Filled in one pass: a message often carries URL escapes such as %2F, which a chain of
    // arg() calls would take for placeholders of the record.
    const QString record = QLatin1String(word)
            + QStringLiteral("%1 (%2:%3, %4) %5\r\n")
                      .arg(message, QString::fromUtf8(context.file ? context.file : ""), QString::number(context.line),
                              QString::fromUtf8(context.function ? context.function : ""),
                              QDateTime::currentDateTime().toString(kRecordTimeFormat));
    QMutexLocker locker(&g_logMutex);
    if (!g_logFile)
        return;
    QTextStream stream(g_logFile);
    // The locale's code page on Windows would turn every character outside it into "?".
    stream.setCodec("UTF-8");
    stream << record << Qt::endl;
}

} // namespace

QString defaultLogDir()
{
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return QFileInfo(appData).absolutePath() + kDefaultLogSubPath;
}

void initLog(const QString &logDirPath)
{
    QString dir = logDirPath;
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        dir = defaultLogDir();
        QDir().mkpath(QDir(dir).absolutePath());
    }
    const QString name = dir + kLogNameSeparator + kLogFileBaseName + QLatin1Char('_')
            + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('_')
            + QDateTime::currentDateTime().toString(kFileTimeFormat) + QStringLiteral(".log");

    auto file = new QFile(name);
    // The log holds the update URL, which may carry a token, and the whole description.
    if (!utility::openOwnerOnly(*file, QIODevice::ReadWrite)) {
        delete file;
        return;
    }
    {
        QMutexLocker locker(&g_logMutex);
        g_logFile = file;
    }
    qInstallMessageHandler(messageHandler);
}

void uninitLog()
{
    qInstallMessageHandler(nullptr);
    QMutexLocker locker(&g_logMutex);
    if (g_logFile) {
        g_logFile->close();
        delete g_logFile;
        g_logFile = nullptr;
    }
}

QString logFilePath()
{
    QMutexLocker locker(&g_logMutex);
    return g_logFile ? g_logFile->fileName() : QString();
}

void write(Level level, const QString &message)
{
    QMessageLogger logger;
    switch (level) {
    case Debug:
        logger.debug() << message;
        break;
    case Info:
        logger.info() << message;
        break;
    case Critical:
        logger.critical() << message;
        break;
    }
}

} // namespace applog
