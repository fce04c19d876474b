// tessel-host's command line.
#ifndef TESSEL_HOST_CLI_H
#define TESSEL_HOST_CLI_H

namespace host {

// Runs `tessel-host [-t TOOLTYPE]... COMMAND [ARGS]`; returns the exit status.
int runCli(int argc, char **argv);

} // namespace host

#endif
