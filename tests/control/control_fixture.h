#pragma once
// Shared pieces of the control tests: a control on a scripted line, captured message boxes, a
// bag that records the order of its reads and writes, and a line that logs port operations.

#include <memory>
#include <vector>

#include <QStringList>

#include "quennet/control/control_core.h"
#include "quennet/testing/scripted_line.h"

namespace controltest {

struct Box {
  QString text;
  QString title;
  quennet::ControlMessages::Icon icon;
};

class CapturedMessages : public quennet::ControlMessages {
 public:
  void show(const QString& text, const QString& title, Icon icon) override {
    boxes.push_back({text, title, icon});
  }
  std::vector<Box> boxes;
};

// Logs every read and write by name ("r:Enabled", "w:ForeColor") on top of a memory bag.
class RecordingBag : public quennet::MemoryPropertyBag {
 public:
  QVariant read(const QString& name, const QVariant& defaultValue) override {
    log << QStringLiteral("r:") + name;
    return MemoryPropertyBag::read(name, defaultValue);
  }
  void write(const QString& name, const QVariant& value, const QVariant& defaultValue) override {
    log << QStringLiteral("w:") + name;
    MemoryPropertyBag::write(name, value, defaultValue);
  }
  QStringList log;
};

// A scripted line that also logs "open <device>" and "close <device>" as they happen.
class LoggingLine : public quennet::ScriptedLine {
 public:
  bool open() override {
    const bool opened = ScriptedLine::open();
    log << (opened ? QStringLiteral("open ") : QStringLiteral("open failed ")) + deviceName();
    return opened;
  }
  void close() override {
    if (isOpen()) log << QStringLiteral("close ") + deviceName();
    ScriptedLine::close();
  }
  QStringList log;
};

// A control on a LoggingLine with captured boxes and a record of changed properties.
struct ScriptedControl {
  ScriptedControl() {
    auto owned = std::make_unique<LoggingLine>();
    line = owned.get();
    control = std::make_unique<quennet::ControlCore>(std::move(owned));
    control->setMessages(&messages);
    control->setPropertyChangedSink([this](const QString& name) { changed << name; });
    control->InitProperties();
  }

  std::unique_ptr<quennet::ControlCore> control;
  LoggingLine* line = nullptr;
  CapturedMessages messages;
  QStringList changed;
};

}  // namespace controltest
