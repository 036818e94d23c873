#include <cstdio>
#include <string>
#include <vector>

#include "ostrel/config.hpp"
#include "ostrel/purge.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return purge_command(config::built(), arguments, stdout, stderr);
}
