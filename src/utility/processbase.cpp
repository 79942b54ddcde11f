#include "utility/processbase.h"

#include "log/log.h"

#include <QDebug>
#include <QMetaEnum>

namespace {

template<typename Enum>
QString enumName(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

QString withData(const char *event, const QByteArray &data)
{
    return QLatin1String(event) + QStringLiteral(" : ") + QString::fromUtf8(data);
}

} // namespace

ProcessBase::ProcessBase(QObject *parent)
    : QObject(parent)
    , m_process(new QProcess(this))
{
    connect(m_process, &QProcess::started, this, &ProcessBase::onStarted);
    connect(m_process, &QProcess::readyRead, this, &ProcessBase::onReadyRead);
    connect(m_process, &QProcess::readyReadStandardError, this, &ProcessBase::onReadyReadStandardError);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &ProcessBase::onReadyReadStandardOutput);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &ProcessBase::onFinished);
    connect(m_process, &QProcess::stateChanged, this, &ProcessBase::onStateChanged);
    connect(m_process, &QProcess::errorOccurred, this, &ProcessBase::onErrorOccurred);
}

ProcessBase::~ProcessBase()
{
    // A child must not outlive its owner; the signals of its end go nowhere by now.
    m_process->disconnect(this);
    stopProcess();
}

void ProcessBase::stopProcess()
{
    if (m_process->state() != QProcess::NotRunning)
        m_process->close();
}

void ProcessBase::startProcess()
{
    prepareProcess();
    stopProcess();
    if (m_program.isEmpty())
        return;

    QString arguments;
    QDebug(&arguments) << m_arguments;
    applog::debug(QStringLiteral("startProcess %1 %2").arg(m_program, arguments.trimmed()));
    m_process->start(m_program, m_arguments, QIODevice::ReadWrite);
}

void ProcessBase::setProgram(const QString &program)
{
    m_program = program;
}

void ProcessBase::setArguments(const QStringList &arguments)
{
    m_arguments = arguments;
}

QStringList ProcessBase::arguments() const
{
    return m_arguments;
}

QString ProcessBase::program() const
{
    return m_program;
}

void ProcessBase::prepareProcess() { }

void ProcessBase::onStarted()
{
    applog::debug(QStringLiteral("onStarted"));
    emit sigStarted();
}

void ProcessBase::onReadyRead()
{
    const QByteArray data = m_process->readAll();
    applog::debug(withData("onReadyRead", data));
    emit sigReadyRead(QString::fromUtf8(data));
}

void ProcessBase::onReadyReadStandardOutput()
{
    const QByteArray data = m_process->readAllStandardOutput();
    applog::debug(withData("onReadyReadStandardOutput", data));
    emit sigReadyRead(QString::fromUtf8(data));
}

void ProcessBase::onReadyReadStandardError()
{
    const QByteArray data = m_process->readAllStandardError();
    applog::debug(withData("onReadyReadStandardError", data));
    emit sigReadyRead(QString::fromUtf8(data));
}

void ProcessBase::onStateChanged(QProcess::ProcessState state)
{
    applog::debug(QStringLiteral("onStateChanged %1").arg(enumName(state)));
    emit sigStateChanged(state);
}

void ProcessBase::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    applog::debug(QStringLiteral("onFinished : %1 %2").arg(exitCode).arg(enumName(exitStatus)));
    emit sigFinished(exitCode, exitStatus);
}

void ProcessBase::onErrorOccurred(QProcess::ProcessError error)
{
    applog::debug(QStringLiteral("onErrorOccurred : %1").arg(enumName(error)));
    emit sigErrorOccurred(error);
}
