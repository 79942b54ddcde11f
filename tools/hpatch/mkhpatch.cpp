#include "fileio.h"
#include "packagemaker.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char *const kUsage
        = "usage: mkhpatch [--level N] [--window-log N] <oldDir> <newDir> <package>\n"
          "       mkhpatch --full [--level N] <newDir> <package>\n"
          "  each changed file is matched against all changed and deleted old files together\n"
          "  (--all-old, which asked for that, is still accepted)\n"
          "  --full     a package that needs no old tree\n"
          "  --level N  zstd level of the stream (default 19, 20 with --full)\n"
          "  --window-log N  zstd window of the stream, 2^N bytes, at most 27 (default 23, 25 with --full);\n"
          "             the apply needs about this much memory\n";

int usage(const std::string &why)
{
    if (!why.empty())
        std::fprintf(stderr, "mkhpatch: %s\n", why.c_str());
    std::fputs(kUsage, stderr);
    return hpatch::ExitBadArguments;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args = hpatch::utf8Arguments(argc, argv);
    argc = int(args.size());
    hpatch::MakeOptions options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string &arg = args[i];
        if (arg == "--full")
            options.full = true;
        else if (arg == "--all-old")
            continue; // what every package does now; older scripts still pass it
        else if (arg == "--level" && i + 1 < argc)
            options.level = std::atoi(args[++i].c_str());
        else if (arg == "--window-log" && i + 1 < argc)
            options.windowLog = std::atoi(args[++i].c_str());
        else if (arg.size() > 1 && arg[0] == '-')
            return usage("unknown option " + arg);
        else
            positional.push_back(arg);
    }
    const size_t expected = options.full ? 2 : 3;
    if (positional.size() != expected)
        return usage(argc == 1 ? std::string() : "wrong number of arguments");
    size_t next = 0;
    if (!options.full)
        options.oldDir = positional[next++];
    options.newDir = positional[next++];
    options.package = positional[next];

    // One rewritten line on a terminal; nothing in logs and pipes.
    const bool terminal = hpatch::stderrIsTerminal();
    hpatch::ProgressFunction progress;
    if (terminal) {
        progress = [](const std::string &line) {
            std::fprintf(stderr, "\r\033[K%.*s", 100, line.c_str());
            std::fflush(stderr);
        };
    }
    hpatch::PackageMaker maker(options, progress);
    const hpatch::Status status = maker.run();
    if (terminal)
        std::fputs("\r\033[K", stderr);
    if (!status.ok()) {
        std::fprintf(stderr, "mkhpatch: error: %s\n", status.message.c_str());
        return status.code;
    }
    std::printf("%s\n", maker.summary().c_str());
    return hpatch::ExitOk;
}
