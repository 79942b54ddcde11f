// copyDirectoryFiles against "cp -a src dst && sync" on one generated tree of mixed file sizes.
// Each copy runs in a child process of its own, so its wall time includes getting the tree onto
// the disk and its peak RSS is its own. Prints the medians of several rounds.
//
// bench_copydirectory [--dir <work dir>] [--rounds N] [--files N] [--megabytes N] [--keep]

#include "utility/fileutils.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTextStream>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Run
{
    double seconds = 0;
    long peakKiB = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// Mostly small files, some medium and a few large ones, scaled to the wanted total, spread over
// nested directories of about 30 entries.
bool generateTree(const QString &root, int files, qint64 totalBytes)
{
    QRandomGenerator random(42);
    std::vector<qint64> sizes(files);
    qint64 sum = 0;
    for (int i = 0; i < files; ++i) {
        const quint32 kind = random.bounded(100);
        if (kind < 80)
            sizes[i] = 512 + random.bounded(64 * 1024);
        else if (kind < 97)
            sizes[i] = 100 * 1024 + random.bounded(2 * 1024 * 1024);
        else
            sizes[i] = 8 * 1024 * 1024 + random.bounded(24 * 1024 * 1024);
        sum += sizes[i];
    }
    QByteArray pattern(4 * 1024 * 1024, '\0');
    for (char &c : pattern)
        c = char(random.bounded(256));
    for (int i = 0; i < files; ++i) {
        const qint64 size = std::max<qint64>(1, sizes[i] * totalBytes / sum);
        const QString dir = QStringLiteral("%1/d%2/e%3").arg(root).arg(i / 300).arg((i / 30) % 10);
        QDir().mkpath(dir);
        QFile file(QStringLiteral("%1/file%2.bin").arg(dir).arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        qint64 left = size;
        qint64 offset = (i * 7919) % (pattern.size() / 2);
        while (left > 0) {
            const qint64 n = std::min<qint64>(left, pattern.size() - offset);
            if (file.write(pattern.constData() + offset, n) != n)
                return false;
            left -= n;
            offset = 0;
        }
    }
    return true;
}

void dropTarget(const QString &dst)
{
    QDir(dst).removeRecursively();
    // Let the removal's writeback finish so it is not billed to the next copy.
    QProcess::execute(QStringLiteral("sync"), {});
}

Run timeCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(-1);
    Run run;
    run.seconds = timer.nsecsElapsed() / 1e9;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        run.seconds = -1;
    }
    run.peakKiB = QString::fromLatin1(process.readAllStandardOutput()).trimmed().toLong();
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({
            { "dir", "work directory", "path", QDir::current().filePath("bench-copydirectory") },
            { "rounds", "rounds", "n", "5" },
            { "files", "number of files", "n", "3000" },
            { "megabytes", "total size", "n", "500" },
            { "keep", "keep the work directory" },
            { "copy", "child mode: copy with copyDirectoryFiles in mode n", "n" },
            { "from", "child mode source", "path" },
            { "to", "child mode target", "path" },
    });
    parser.process(app);

    if (parser.isSet("copy")) {
        const bool ok = utility::copyDirectoryFiles(
                parser.value("from"), parser.value("to"), true, utility::CopyMode(parser.value("copy").toInt()));
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%ld\n", usage.ru_maxrss);
        return ok ? 0 : 1;
    }

    const QString work = parser.value("dir");
    const QString src = work + "/src";
    const QString dst = work + "/dst";
    const int rounds = std::max(1, parser.value("rounds").toInt());
    const int files = parser.value("files").toInt();
    const qint64 bytes = parser.value("megabytes").toLongLong() * 1024 * 1024;

    QDir(work).removeRecursively();
    std::printf("generating %d files, %lld MiB in %s\n", files, bytes >> 20, qPrintable(src));
    if (!generateTree(src, files, bytes)) {
        std::fprintf(stderr, "cannot write the source tree\n");
        return 1;
    }
    QProcess::execute(QStringLiteral("sync"), {});

    const QString self = QCoreApplication::applicationFilePath();
    const QStringList names = { "cp -a && sync", "mode 1", "mode 2" };
    std::vector<std::vector<double>> seconds(3), ratios(3);
    std::vector<long> peak(3, 0);
    for (int round = 0; round < rounds; ++round) {
        // Rotate the order so neither side always runs right after the tree was written.
        for (int k = 0; k < 3; ++k) {
            const int which = (round + k) % 3;
            dropTarget(dst);
            Run run;
            if (which == 0) {
                run = timeCommand("sh", { "-c", QStringLiteral("cp -a '%1' '%2' && sync").arg(src, dst) });
            } else {
                run = timeCommand(self, { "--copy", QString::number(which), "--from", src, "--to", dst });
            }
            if (run.seconds < 0)
                return 1;
            seconds[which].push_back(run.seconds);
            peak[which] = std::max(peak[which], run.peakKiB);
        }
        for (int which = 1; which < 3; ++which)
            ratios[which].push_back(seconds[which].back() / seconds[0].back());
        std::printf("round %d: cp %.2fs, mode 1 %.2fs, mode 2 %.2fs\n", round + 1, seconds[0].back(), seconds[1].back(),
                seconds[2].back());
    }

    std::printf("\n%-16s %10s %12s %14s\n", "", "median s", "median ratio", "peak RSS MiB");
    std::printf("%-16s %10.2f %12s %14s\n", qPrintable(names[0]), median(seconds[0]), "1.00", "-");
    for (int which = 1; which < 3; ++which) {
        std::printf("%-16s %10.2f %12.2f %14.1f\n", qPrintable(names[which]), median(seconds[which]),
                median(ratios[which]), peak[which] / 1024.0);
    }
    std::printf("goal: ratio <= 1.15, peak RSS < 32 MiB\n");
    if (!parser.isSet("keep"))
        QDir(work).removeRecursively();
    return 0;
}
