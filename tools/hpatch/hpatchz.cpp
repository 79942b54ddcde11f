#include "fileio.h"
#include "packageapplier.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

const char *const kUsage
        = "usage: hpatchz [-C-no|-C-diff|-C-all] [-f] <oldDir> <package> <outDir>\n"
          "  writes the new tree of <package>, made against <oldDir>, into <outDir>\n"
          "  -C-no    verify nothing\n"
          "  -C-diff  verify the package and every output file (default)\n"
          "  -C-all   as -C-diff, and every old file before it is used\n"
          "  -f       allow an existing empty <outDir>\n"
          "exit codes: 0 done, 1 bad arguments, 2 bad package, 3 old tree does not match, 4 I/O error\n";

int usage(const std::string &why)
{
    if (!why.empty())
        std::fprintf(stderr, "hpatchz: %s\n", why.c_str());
    std::fputs(kUsage, stderr);
    return hpatch::ExitBadArguments;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args = hpatch::utf8Arguments(argc, argv);
    argc = int(args.size());
    hpatch::ApplyOptions options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string &arg = args[i];
        if (arg == "-C-no")
            options.check = hpatch::CheckLevel::None;
        else if (arg == "-C-diff")
            options.check = hpatch::CheckLevel::Diff;
        else if (arg == "-C-all")
            options.check = hpatch::CheckLevel::All;
        else if (arg == "-f")
            options.allowExistingEmptyOut = true;
        else if (arg.size() > 1 && arg[0] == '-')
            return usage("unknown option " + arg);
        else
            positional.push_back(arg);
    }
    if (positional.size() != 3)
        return usage(positional.empty() && argc == 1 ? std::string() : "expected <oldDir> <package> <outDir>");
    for (const std::string &p : positional) {
        if (p.empty())
            return usage("empty path argument");
    }
    options.oldDir = positional[0];
    options.package = positional[1];
    options.outDir = positional[2];

    hpatch::Status status;
    try {
        hpatch::PackageApplier applier(options);
        status = applier.run();
    } catch (const std::bad_alloc &) { // the applier's buffers, before anything is written
        status = hpatch::Status::fail(hpatch::ExitIoError, hpatch::kOutOfMemory);
    }
    if (!status.ok()) {
        std::fprintf(stderr, "hpatchz: error: %s\n", status.message.c_str());
        return status.code;
    }
    return hpatch::ExitOk;
}
