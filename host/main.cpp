#include "host/cli.h"

int main(int argc, char **argv) {
    return host::runCli(argc, argv);
}
