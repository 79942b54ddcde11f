#pragma once

#include <QString>
#include <QStringList>

class QCoreApplication;

namespace app {

// The eleven launch parameters as the updater receives and passes them on. Four path-like values
// travel as Base64 of their UTF-8 bytes so that blanks and non-ASCII characters survive every start.
struct LaunchParameters
{
    QString mode;
    QString action;
    QString role;
    QString exePath;
    QString version;
    QString updateUrl;
    QString masterPid;
    QString lang;
    QString masterHwnd;
    QString masterLocalServer;
    QString logDirPath;

    // Parses the application's arguments. An unknown option or one without a value is reported on
    // stderr and ends the process with status 1, on every platform. The version value is not read.
    static LaunchParameters parse(const QCoreApplication &application);
    // Same, from an explicit argument list (first item: the program); false with errorText set
    // where parse() would end the process.
    static bool parse(const QStringList &arguments, LaunchParameters *out, QString *errorText);

    // The "--name=value" list, one item per parameter in table order.
    QStringList toArguments() const;
};

// The launch-parameter checks in the order they run; the first that fails decides.
enum class ParameterCheck { Passed, Mode, Action, Role, RequiredValue, Lang };

// Mode, action, role and lang must be one of their words (exact, case-sensitive); exePath,
// updateUrl, masterPid, masterHwnd and masterLocalServer must not be empty. Whether the product
// executable exists is looked at only after all of these passed.
ParameterCheck checkLaunchParameters(const LaunchParameters &parameters);

} // namespace app
