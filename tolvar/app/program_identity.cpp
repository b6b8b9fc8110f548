#include "tolvar/app/program_identity.h"

#include <QGuiApplication>

namespace tolvar {

void setProgramIdentity() {
  // The name picks the per-user configuration folder: it stays lower case like the program file.
  QCoreApplication::setApplicationName(QStringLiteral("tolvar"));
  QCoreApplication::setOrganizationName(QStringLiteral("Quennet"));
  QCoreApplication::setApplicationVersion(QStringLiteral(TOLVAR_VERSION));
  QGuiApplication::setApplicationDisplayName(QStringLiteral("Tolvar"));
}

}  // namespace tolvar
