// Stands in for the service program in a package whose service has to fail
// to start: its install and uninstall roles are the program's own, but
// started as the service it ends at once, without ever reaching the service
// control manager. What the package registered must then be rolled back.
#include <cstring>

#include "service/installation.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "install") == 0) installService();
  if (argc > 1 && std::strcmp(argv[1], "uninstall") == 0) uninstallService();
  return 0;
}
