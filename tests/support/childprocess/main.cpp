// Stand-in child for process tests. One sub-mode per run:
//   exit N            exit with code N
//   crash             die from a signal
//   hang              never end on its own
//   pidhang           print the process id on standard output, then hang
//   output OUT ERR    write OUT to standard output, then ERR to standard error (either may be empty), exit 0
//   sleep MS N        wait MS milliseconds, then exit with code N
//   touch PATH TEXT   write TEXT into the file PATH, exit 0
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace {

[[noreturn]] void hangForever()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

int usage()
{
    std::fputs("usage: childprocess exit N | crash | hang | pidhang | output OUT ERR | sleep MS N | "
               "touch PATH TEXT\n",
               stderr);
    return 64;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage();
    const std::string mode = argv[1];
    const auto arg = [&](int i) -> const char * { return i < argc ? argv[i] : nullptr; };

    if (mode == "exit" && arg(2))
        return std::atoi(arg(2));
    if (mode == "crash") {
        std::raise(SIGSEGV);
        std::abort();
    }
    if (mode == "hang")
        hangForever();
    if (mode == "pidhang") {
        std::printf("%ld\n", static_cast<long>(getpid()));
        std::fflush(stdout);
        hangForever();
    }
    if (mode == "output" && arg(3)) {
        std::fputs(arg(2), stdout);
        std::fflush(stdout);
        std::fputs(arg(3), stderr);
        return 0;
    }
    if (mode == "sleep" && arg(3)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(arg(2))));
        return std::atoi(arg(3));
    }
    if (mode == "touch" && arg(3)) {
        std::ofstream out(arg(2), std::ios::binary | std::ios::trunc);
        out << arg(3);
        return out ? 0 : 1;
    }
    return usage();
}
