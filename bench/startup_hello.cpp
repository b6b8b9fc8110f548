// A Qt Core hello: the start-up floor the one-shot quennet tool is measured against.
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTextStream(stdout) << "hello" << Qt::endl;
  return 0;
}
