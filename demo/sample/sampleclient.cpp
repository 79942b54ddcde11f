// Stand-in for the master program: it starts, says so, and runs until it is killed, so that an
// upgrade has a real process to end. Its version is not in the code: the version trees append a
// version-info block to a copy of this binary, where the updater reads it as from a real client.
#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    std::printf("sample client %s running as %ld\n", argc > 0 ? argv[0] : "?", static_cast<long>(::getpid()));
    std::fflush(stdout);
    for (;;)
        ::pause();
}
