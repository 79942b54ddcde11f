#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs one configured program as a child process, logs every event of the child and re-emits it.
// Standard output and standard error both arrive as sigReadyRead; because the child's readyRead and
// readyReadStandardOutput are both followed, receivers also get empty texts and must accept them.
class ProcessBase : public QObject
{
    Q_OBJECT

public:
    explicit ProcessBase(QObject *parent = nullptr);
    ~ProcessBase() override;

signals:
    void sigReadyRead(QString data);
    void sigFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void sigStarted();
    void sigStateChanged(QProcess::ProcessState state);
    void sigErrorOccurred(QProcess::ProcessError error);

public slots:
    // Kills a running child and closes its channels; nothing when no child runs.
    virtual void stopProcess();
    // prepareProcess(), then stops a running child, then starts program with arguments. An empty
    // program starts nothing. A failed start surfaces only as sigErrorOccurred.
    virtual void startProcess();
    virtual void setProgram(const QString &program);
    virtual void setArguments(const QStringList &arguments);
    virtual QStringList arguments() const;
    virtual QString program() const;
    // Hook for subclasses to fill in program and arguments right before a start.
    virtual void prepareProcess();

    void onStarted();
    void onReadyRead();
    void onReadyReadStandardOutput();
    void onReadyReadStandardError();
    void onStateChanged(QProcess::ProcessState state);
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);

protected:
    QProcess *m_process = nullptr;
    QString m_program;
    QStringList m_arguments;
};
