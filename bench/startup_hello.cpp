// A Qt Core hello: the start-up floor the one-shot quennet tool is measured against.
#include <QCoreApplication>
#include <QTextStream>

#include "bench_help.h"

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv,
                   "Usage: startup_hello\nA Qt Core hello: prints hello. The start-up floor "
                   "bench_startup measures the tool against.\n"))
    return 0;
  QCoreApplication app(argc, argv);
  QTextStream(stdout) << "hello" << Qt::endl;
  return 0;
}
