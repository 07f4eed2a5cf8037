// The larkpost program: the command line on the process's own terminal.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  larkpost::CliStreams io{std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) == 1,
                          isatty(STDERR_FILENO) == 1};
  return larkpost::RunCli(args, io);
}
