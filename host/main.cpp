#include <cstdio>
#include <new>

#include "cli.h"

int main(int argc, char **argv) {
    // Caught, so that the stack unwinds: a plug-in instance still alive is deleted on the way
    // and a directory medium is written back.
    try {
        return host::runCli(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("tessel-host: out of memory\n", stderr);
        return 1;
    }
}
