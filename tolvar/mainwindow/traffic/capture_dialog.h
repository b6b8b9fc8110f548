#pragma once
// "Continuous Capture": where the rolling capture files go, how large each grows and how many
// are kept.

#include <QDialog>

#include "tolvar/mainwindow/traffic/capture_files.h"

class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tolvar {

class UiServices;

class CaptureDialog : public QDialog {
  Q_OBJECT

 public:
  CaptureDialog(UiServices& ui, const CaptureFiles::Setup& setup, QWidget* parent = nullptr);
  CaptureFiles::Setup setup() const;

  QLineEdit* path;
  QPushButton* browse;
  QSpinBox* megabytes;
  QSpinBox* files;
};

}  // namespace tolvar
