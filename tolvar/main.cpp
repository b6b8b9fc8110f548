#include <cstring>

#include <QApplication>

#include "tolvar/app/launch.h"
#include "tolvar/app/program_identity.h"

namespace {

// Help and the version must work on a machine without a display, where a QApplication cannot
// start.
bool wantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
        std::strcmp(argv[i], "--version") == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (wantsHelp(argc, argv)) {
    QCoreApplication app(argc, argv);
    tolvar::setProgramIdentity();
    int exitCode = 0;
    tolvar::parseLaunchOptions(app.arguments(), exitCode);
    return exitCode;
  }
  QApplication app(argc, argv);
  tolvar::setProgramIdentity();
  return tolvar::runTolvar(app);
}
