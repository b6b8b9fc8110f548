#include "tolvar/mainwindow/traffic/capture_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "tolvar/mainwindow/services/ui_services.h"

namespace tolvar {

CaptureDialog::CaptureDialog(UiServices& ui, const CaptureFiles::Setup& setup, QWidget* parent)
    : QDialog(parent),
      path(new QLineEdit(setup.path, this)),
      browse(new QPushButton(QStringLiteral("Browse…"), this)),
      megabytes(new QSpinBox(this)),
      files(new QSpinBox(this)) {
  setObjectName(QStringLiteral("captureDialog"));
  setWindowTitle(QStringLiteral("Continuous Capture"));
  path->setMinimumWidth(path->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
  path->setToolTip(QStringLiteral("name.log is written; a full one becomes name.log.1, and so on"));
  megabytes->setRange(1, CaptureFiles::kMostMegabytes);
  megabytes->setSuffix(QStringLiteral(" MB"));
  megabytes->setValue(static_cast<int>(std::clamp<qint64>(
      setup.bytesPerFile / CaptureFiles::kMegabyte, 1, CaptureFiles::kMostMegabytes)));
  files->setRange(1, CaptureFiles::kMostFiles);
  files->setValue(std::clamp(setup.files, 1, CaptureFiles::kMostFiles));
  auto* where = new QHBoxLayout;
  where->addWidget(path, 1);
  where->addWidget(browse);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Start"));
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("File:"), where);
  form->addRow(QStringLiteral("Size per file:"), megabytes);
  form->addRow(QStringLiteral("Files kept:"), files);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (!path->text().trimmed().isEmpty()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(browse, &QPushButton::clicked, this, [this, &ui] {
    const QString chosen = ui.saveFileName(
        QStringLiteral("Capture To"), QStringLiteral("Log (*.log);;Text (*.txt)"),
        path->text().isEmpty() ? QStringLiteral("tolvar-capture.log") : path->text());
    if (!chosen.isEmpty()) path->setText(chosen);
  });
}

CaptureFiles::Setup CaptureDialog::setup() const {
  return {path->text().trimmed(), megabytes->value() * CaptureFiles::kMegabyte, files->value()};
}

}  // namespace tolvar
