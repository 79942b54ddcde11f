// versiontree <dir> <version>
// Writes the sample installation of version 1.0.0.0 or 1.1.0.0 into dir, as the upgrade tests
// build it; the demo makes its installation and packages from these trees.
#include "sample/versiontrees.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: versiontree <dir> <version>\n");
        return 2;
    }
    QString error;
    if (!sample::writeVersionTree(args.at(1), args.at(2), &error)) {
        std::fprintf(stderr, "versiontree: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
