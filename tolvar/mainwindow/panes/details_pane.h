#pragma once
// "BNV Details": the validator's address, the encryption switch and its key. The key and its
// caption show only while encryption is on.

#include <QGroupBox>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace tolvar {

class DetailsPane : public QGroupBox {
  Q_OBJECT

 public:
  explicit DetailsPane(QWidget* body);

  QLabel* lblAddressCaption;  // lblCaption_0
  QLineEdit* txtAddress;
  QCheckBox* chkEncrpyt;
  QLabel* lblKeyCaption;  // lblCaption_1
  QLineEdit* txtEncKey;

 private:
  void showKey();
};

}  // namespace tolvar
