// tarvo-get: requests to an agent's command port from the command line.
#include "tools/TarvoGet.h"

int main(int argc, char** argv) {
  return tools::TarvoGetMain(argc, argv);
}
