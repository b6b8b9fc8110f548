#pragma once
// The main window on the virtual validator, as `tolvar --simulate` runs it, with scripted boxes.

#include <memory>

#include <QAction>
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "tests/tolvar/named_control.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"
#include "tolvar/mainwindow/window/frm_host.h"
#include "tolvar/mainwindow/window/host_toolbar.h"

// A file's bytes; empty when it cannot be read.
inline QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class BenchOnSimulator : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    QString error;
    ASSERT_TRUE(sim.start(&error)) << error.toStdString();
  }

  // Opens the window; `settingsText`, when given, is the settings file it starts from.
  tolvar::frmHost& open(const QByteArray& settingsText = {}) {
    if (!settingsText.isEmpty()) {
      QFile file(settingsPath());
      EXPECT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(settingsText);
    }
    host =
        std::make_unique<tolvar::frmHost>(ui, tolvar::HostOptions{settingsPath(), sim.slavePath()});
    return *host;
  }

  QString settingsPath() const { return dir.filePath(QStringLiteral("tolvar.ini")); }

  // A user's click on a button of the toolbar named `bar`.
  void click(const char* bar, const char* key) {
    QAction* button = named<tolvar::HostToolBar>(*host, QString::fromLatin1(bar))
                          ->button(QString::fromLatin1(key));
    ASSERT_NE(button, nullptr) << key;
    button->trigger();
  }

  QTemporaryDir dir;
  bnvsim::Simulator sim{bnvsim::SimulatorOptions{}};
  tolvar::ScriptedUiServices ui;
  std::unique_ptr<tolvar::frmHost> host;
};
