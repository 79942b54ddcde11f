// hpatchbench measure <command...>   runs a command; prints "<seconds> <peak RSS in KiB> <exit code>"
// hpatchbench synth <oldDir> <newDir> [MiB]
//                                      writes a synthetic pair: a few large binaries with ~5% of
//                                      their bytes changed, many small files, some added, removed
//                                      and moved
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

int measure(char **argv)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The command's own output would mix with the figures.
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::execvp(argv[0], argv);
        std::perror("exec");
        std::_Exit(127);
    }
    int status = 0;
    struct rusage usage
    { };
    ::wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f %ld %d\n", seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    return 0;
}

void writeFile(const fs::path &path, const std::vector<char> &data)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
}

// Bytes that compress roughly like machine code: random words drawn from a small vocabulary
// with runs of fresh random bytes.
std::vector<char> binaryLike(size_t size, std::mt19937_64 &rng)
{
    std::vector<uint64_t> vocabulary(4096);
    for (uint64_t &w : vocabulary)
        w = rng();
    std::vector<char> data(size);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t w = (rng() % 4 == 0) ? rng() : vocabulary[rng() % vocabulary.size()];
        std::memcpy(&data[i], &w, 8);
    }
    return data;
}

std::vector<char> textLike(size_t size, std::mt19937_64 &rng)
{
    static const char *words[] = { "function", "return", "const", "let", "value", "index", "length", "if", "else",
        "for", "while", "object", "string", "number", "=", "(", ")", "{", "}", ";\n" };
    std::string text;
    while (text.size() < size) {
        text += words[rng() % (sizeof words / sizeof *words)];
        text += ' ';
    }
    text.resize(size);
    return std::vector<char>(text.begin(), text.end());
}

int synth(const fs::path &oldDir, const fs::path &newDir, size_t mib)
{
    std::mt19937_64 rng(20240101);
    const size_t total = mib << 20;
    const size_t largeCount = 8;
    const size_t largeSize = total * 7 / 10 / largeCount;
    for (size_t i = 0; i < largeCount; ++i) {
        std::vector<char> data = binaryLike(largeSize, rng);
        const std::string name = "bin/module" + std::to_string(i) + ".dll";
        writeFile(oldDir / name, data);
        if (i < 3) {
            // About 5% of all bytes of the tree change, spread over the first three binaries as
            // replaced, inserted and deleted runs.
            const size_t budget = total / 20 / 3;
            for (size_t changed = 0; changed < budget;) {
                const size_t len = 16 + rng() % 4096;
                const size_t at = rng() % (data.size() - len);
                std::vector<char> fresh = binaryLike(len, rng);
                switch (rng() % 3) {
                case 0:
                    std::memcpy(&data[at], fresh.data(), len);
                    break;
                case 1:
                    data.insert(data.begin() + long(at), fresh.begin(), fresh.end());
                    break;
                default:
                    data.erase(data.begin() + long(at), data.begin() + long(at + len));
                    break;
                }
                changed += len;
            }
        }
        writeFile(newDir / name, data);
    }
    const size_t smallTotal = total - largeCount * largeSize;
    const size_t smallCount = 3000;
    for (size_t i = 0; i < smallCount; ++i) {
        const size_t size = 1 + rng() % (2 * smallTotal / smallCount);
        std::vector<char> data = (i % 2) ? textLike(size, rng) : binaryLike(size, rng);
        const std::string name
                = "res/dir" + std::to_string(i % 40) + "/file" + std::to_string(i) + ((i % 2) ? ".js" : ".bin");
        writeFile(oldDir / name, data);
        if (i % 30 == 0)
            continue; // removed
        if (i % 30 == 1)
            writeFile(newDir / ("moved/dir" + std::to_string(i % 7) + "/file" + std::to_string(i)), data);
        else
            writeFile(newDir / name, data);
    }
    for (size_t i = 0; i < 100; ++i)
        writeFile(newDir / ("added/file" + std::to_string(i) + ".js"), textLike(1 + rng() % 60000, rng));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "measure") == 0)
        return measure(argv + 2);
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "synth") == 0)
        return synth(argv[2], argv[3], argc == 5 ? size_t(std::atoi(argv[4])) : 500);
    std::fprintf(stderr, "usage: hpatchbench measure <command...> | synth <oldDir> <newDir> [MiB]\n");
    return 1;
}
