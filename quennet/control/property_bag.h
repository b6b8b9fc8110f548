#pragma once
// Where a container keeps the control's properties between sessions.

#include <QSettings>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include "quennet/quennet_export.h"

namespace quennet {

/// Where a container keeps the control's properties between sessions.
class QUENNET_EXPORT PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  /// The stored value, or `defaultValue` when nothing is stored under `name`.
  virtual QVariant read(const QString& name, const QVariant& defaultValue) = 0;
  /// A value equal to its default need not be stored; both bags below drop it.
  virtual void write(const QString& name, const QVariant& value, const QVariant& defaultValue) = 0;
};

/// Keeps the properties in memory.
class QUENNET_EXPORT MemoryPropertyBag : public PropertyBag {
 public:
  QVariant read(const QString& name, const QVariant& defaultValue) override;
  void write(const QString& name, const QVariant& value, const QVariant& defaultValue) override;

  /// Every value stored, by name.
  const QVariantMap& values() const { return values_; }
  /// Stores a value as if it had been written.
  void setValue(const QString& name, const QVariant& value) { values_.insert(name, value); }

 private:
  QVariantMap values_;
};

/// Keeps the properties in a QSettings group (an INI file or the platform store).
class QUENNET_EXPORT SettingsPropertyBag : public PropertyBag {
 public:
  /// Reads and writes under `group` of `settings` (not owned).
  SettingsPropertyBag(QSettings& settings, const QString& group);

  QVariant read(const QString& name, const QVariant& defaultValue) override;
  void write(const QString& name, const QVariant& value, const QVariant& defaultValue) override;

 private:
  QString key(const QString& name) const;

  QSettings& settings_;
  QString group_;
};

}  // namespace quennet
