#include "app/launchparameters.h"

#include "app/constants.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace app {
namespace {

struct OptionDefinition
{
    const QString &name;
    const char *valueName;
    const char *help;
    bool base64;
    QString LaunchParameters::*member;
};

// Order matters: it is the order of parsing, logging and rebuilding.
const OptionDefinition kOptions[] = {
    { kParamMode, "mode", "value is manual or auto", false, &LaunchParameters::mode },
    { kParamAction, "action", "value is checkupdate or upgrade", false, &LaunchParameters::action },
    { kParamRole, "role", "value is teacher or student", false, &LaunchParameters::role },
    { kParamExePath, "exePath", "product exe path", true, &LaunchParameters::exePath },
    { kParamVersion, "version", "product version", false, &LaunchParameters::version },
    { kParamUpdateUrl, "updateUrl", "update url", true, &LaunchParameters::updateUrl },
    { kParamMasterPid, "pid", "master process's pid", false, &LaunchParameters::masterPid },
    { kParamLang, "lang", "value is current language", false, &LaunchParameters::lang },
    { kParamMasterHwnd, "mainwindow", "value is master process's main window", false, &LaunchParameters::masterHwnd },
    { kParamMasterLocalServer, "masterLocalServer", "value is master process's local server name", true,
            &LaunchParameters::masterLocalServer },
    { kParamLogDirPath, "logDirPath", "value is log dir path", true, &LaunchParameters::logDirPath },
};

void addOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const OptionDefinition &option : kOptions) {
        parser.addOption(QCommandLineOption(
                option.name, QString::fromLatin1(option.help), QString::fromLatin1(option.valueName)));
    }
}

LaunchParameters fromParser(const QCommandLineParser &parser)
{
    LaunchParameters result;
    for (const OptionDefinition &option : kOptions) {
        // The version always comes from the product executable, never from the command line.
        if (option.member == &LaunchParameters::version || !parser.isSet(option.name))
            continue;
        const QString value = parser.value(option.name);
        result.*option.member = option.base64 ? QString::fromUtf8(QByteArray::fromBase64(value.toUtf8())) : value;
    }
    return result;
}

} // namespace

LaunchParameters LaunchParameters::parse(const QCoreApplication &application)
{
    // Not QCommandLineParser::process(): on Windows it reports in a modal message box, and an updater
    // started in the background by the master would then wait for a click nobody makes.
    LaunchParameters result;
    QString errorText;
    if (!parse(application.arguments(), &result, &errorText)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(errorText));
        std::exit(EXIT_FAILURE);
    }
    return result;
}

bool LaunchParameters::parse(const QStringList &arguments, LaunchParameters *out, QString *errorText)
{
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(arguments)) {
        if (errorText)
            *errorText = parser.errorText();
        return false;
    }
    *out = fromParser(parser);
    return true;
}

QStringList LaunchParameters::toArguments() const
{
    QStringList arguments;
    for (const OptionDefinition &option : kOptions) {
        const QString &value = this->*option.member;
        arguments << QStringLiteral("--%1=%2").arg(
                option.name, option.base64 ? QString::fromLatin1(value.toUtf8().toBase64()) : value);
    }
    return arguments;
}

ParameterCheck checkLaunchParameters(const LaunchParameters &p)
{
    if (p.mode != kModeAuto && p.mode != kModeManual)
        return ParameterCheck::Mode;
    if (p.action != kActionCheckUpdate && p.action != kActionUpgrade && p.action != kActionRealUpgrade)
        return ParameterCheck::Action;
    if (p.role != kRoleTeacher && p.role != kRoleStudent)
        return ParameterCheck::Role;
    if (p.exePath.isEmpty() || p.updateUrl.isEmpty() || p.masterPid.isEmpty() || p.masterHwnd.isEmpty()
            || p.masterLocalServer.isEmpty())
        return ParameterCheck::RequiredValue;
    if (p.lang != kLangEn && p.lang != kLangCn)
        return ParameterCheck::Lang;
    return ParameterCheck::Passed;
}

} // namespace app
