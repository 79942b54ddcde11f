// Stand-in child for process tests. One mode per run:
//   crash             die from a signal
//   pidhang           print the process id on standard output, then never end
//   output OUT ERR    write OUT to standard output, then ERR to standard error, exit 0
//   sleep MS N        wait MS milliseconds, then exit with code N
//   touch PATH TEXT   write TEXT into the file PATH, exit 0
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

int main(int argc, char *argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "crash")
        std::abort();
    if (mode == "pidhang") {
        std::printf("%ld\n", static_cast<long>(getpid()));
        std::fflush(stdout);
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (mode == "output" && argc > 3) {
        std::fputs(argv[2], stdout);
        std::fflush(stdout);
        std::fputs(argv[3], stderr);
        return 0;
    }
    if (mode == "sleep" && argc > 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
        return std::atoi(argv[3]);
    }
    if (mode == "touch" && argc > 3) {
        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        out << argv[3];
        return out ? 0 : 1;
    }
    std::fputs("usage: childprocess crash | pidhang | output OUT ERR | sleep MS N | touch PATH TEXT\n", stderr);
    return 64;
}
