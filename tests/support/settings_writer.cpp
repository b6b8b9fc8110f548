// The settings kill test's child: writes "tolvar.ini" over and over, the two versions in turn,
// until it is killed. One byte on standard output says the writing has begun.
#include <unistd.h>

#include <cstdio>

#include "support/settings_versions.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: settings_writer PATH\n");
    return 2;
  }
  const QString path = QString::fromLocal8Bit(argv[1]);
  const auto versions = testsupport::settingsVersions();
  if (::write(STDOUT_FILENO, "w", 1) != 1) return 1;
  for (unsigned i = 1;; ++i) {
    QString error;
    if (!tolvar::WriteSettings(path, versions[i % 2], &error)) {
      std::fprintf(stderr, "settings_writer: %s\n", qPrintable(error));
      return 1;
    }
  }
}
