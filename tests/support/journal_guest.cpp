// A guest session for the journal's kill tests, in a process of its own: loads the plug-in as
// the emulator does, mounts a directory, and writes a list of sectors through the port window,
// one WRITE SECTORS command each, printing "ack INDEX NANOSECONDS" (monotonic clock) once the
// drive has taken each. Then it either unmounts normally (--stop-after N: after N sectors) or
// waits to be killed.
//   journal_guest PLUGIN DIRECTORY SESSION [--stop-after N] [--pace-us U] [-t TOOLTYPE]...
// SESSION: records of a 4-byte little-endian sector number and 512 bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/host.h"

namespace {

long long monotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: journal_guest PLUGIN DIRECTORY SESSION [--stop-after N] "
                             "[--pace-us U] [-t TOOLTYPE]...\n");
        return 2;
    }
    long stopAfter = -1;
    long paceUs = 0;
    std::vector<std::string> toolTypes = {std::string("DIRECTORY=") + argv[2]};
    for (int i = 4; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--stop-after") == 0)
            stopAfter = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--pace-us") == 0)
            paceUs = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "-t") == 0)
            toolTypes.emplace_back(argv[i + 1]);
    }
    std::ifstream in(argv[3], std::ios::binary);
    std::vector<char> session((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    const size_t records = session.size() / 516;

    std::string error;
    auto library = host::PluginLibrary::load(argv[1], error);
    if (!library) {
        std::fprintf(stderr, "journal_guest: %s\n", error.c_str());
        return 1;
    }
    auto instance = host::PluginInstance::create(*library, toolTypes, error);
    if (!instance) {
        std::fprintf(stderr, "journal_guest: %s\n", error.c_str());
        return 1;
    }
    instance->activate(true);
    instance->reset();
    host::AtaGuest guest(*instance);
    std::printf("mounted\n");
    std::fflush(stdout);
    for (size_t i = 0; i < records; ++i) {
        if (stopAfter >= 0 && static_cast<long>(i) >= stopAfter)
            break;
        const auto *r = reinterpret_cast<const unsigned char *>(session.data() + i * 516);
        const uint32_t sector = r[0] | r[1] << 8 | r[2] << 16 | static_cast<uint32_t>(r[3]) << 24;
        if (!guest.writeLba(sector, 1, r + 4)) {
            std::printf("error %zu\n", i);
            std::fflush(stdout);
            return 1;
        }
        std::printf("ack %zu %lld\n", i, monotonicNs());
        std::fflush(stdout);
        if (paceUs > 0)
            usleep(static_cast<useconds_t>(paceUs));
    }
    if (stopAfter >= 0) {
        instance->activate(false); // the normal end: the write-back
        std::printf("done\n");
        return 0;
    }
    std::printf("waiting\n");
    std::fflush(stdout);
    for (;;)
        pause();
}
