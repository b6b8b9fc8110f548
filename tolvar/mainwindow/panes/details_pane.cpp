#include "tolvar/mainwindow/panes/details_pane.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include "tolvar/mainwindow/window/form_parts.h"
#include "tolvar/mainwindow/window/twips.h"

namespace tolvar {

DetailsPane::DetailsPane(QWidget* body) : QGroupBox(QStringLiteral("BNV Details"), body) {
  setObjectName(QStringLiteral("fraDetails"));
  setGeometry(bodyRect(3600, 1320, 3015, 1095));
  lblAddressCaption = captionLabel(this, 0, "BNV Address:", twipsRect(120, 240, 1140, 255));
  txtAddress = new QLineEdit(this);
  txtAddress->setObjectName(QStringLiteral("txtAddress"));
  txtAddress->setGeometry(twipsRect(1260, 240, 615, 285));
  chkEncrpyt = new QCheckBox(QStringLiteral("Encryption On"), this);
  chkEncrpyt->setObjectName(QStringLiteral("chkEncrpyt"));
  chkEncrpyt->setGeometry(twipsRect(120, 720, 1455, 255));
  lblKeyCaption = captionLabel(this, 1, "Key:", twipsRect(1680, 720, 375, 255));
  lblKeyCaption->hide();
  txtEncKey = new QLineEdit(QStringLiteral("582604"), this);
  txtEncKey->setObjectName(QStringLiteral("txtEncKey"));
  txtEncKey->setGeometry(twipsRect(2040, 720, 735, 285));
  txtEncKey->setMaxLength(6);
  txtEncKey->hide();
  connect(chkEncrpyt, &QCheckBox::stateChanged, this, [this] { showKey(); });
}

void DetailsPane::showKey() {
  const bool on = chkEncrpyt->isChecked();
  lblKeyCaption->setVisible(on);
  txtEncKey->setVisible(on);
}

}  // namespace tolvar
