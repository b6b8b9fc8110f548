#include <QApplication>

#include "tolvar/app/launch.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tolvar"));
  QApplication::setOrganizationName(QStringLiteral("Quennet"));
  return tolvar::runTolvar(app);
}
