// kelvra-host: a command-line program that plays the host for the library.
#include <iostream>
#include <string>
#include <vector>

#include "tools/kelvra-host/commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = kelvra::tool::RunHost(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
