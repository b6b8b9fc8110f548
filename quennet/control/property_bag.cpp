#include "quennet/control/property_bag.h"

namespace quennet {

QVariant MemoryPropertyBag::read(const QString& name, const QVariant& defaultValue) {
  return values_.value(name, defaultValue);
}

void MemoryPropertyBag::write(const QString& name, const QVariant& value,
                              const QVariant& defaultValue) {
  if (value == defaultValue) {
    values_.remove(name);
  } else {
    values_.insert(name, value);
  }
}

SettingsPropertyBag::SettingsPropertyBag(QSettings& settings, const QString& group)
    : settings_(settings), group_(group) {}

QString SettingsPropertyBag::key(const QString& name) const {
  return group_.isEmpty() ? name : group_ + QLatin1Char('/') + name;
}

QVariant SettingsPropertyBag::read(const QString& name, const QVariant& defaultValue) {
  return settings_.value(key(name), defaultValue);
}

void SettingsPropertyBag::write(const QString& name, const QVariant& value,
                                const QVariant& defaultValue) {
  if (value == defaultValue) {
    settings_.remove(key(name));
  } else {
    settings_.setValue(key(name), value);
  }
}

}  // namespace quennet
