// writeversionfile <path> <product version>
// Writes a stand-in client executable that carries the version in an embedded version block, for
// scripts (benchmarks, the demo) that need a product to update.
#include "sample/versioninfowriter.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: writeversionfile <path> <product version>\n");
        return 2;
    }
    if (!sample::writeFileWithVersionInfo(arguments.at(1), arguments.at(2))) {
        std::fprintf(stderr, "writeversionfile: cannot write %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    return 0;
}
