#include "quennet/link/quennet_error.h"

#include <algorithm>
#include <array>

namespace quennet {

namespace {

struct ErrorEntry {
  ErrorNumber number;
  const char* name;
  const char* caption;
};

// The one list of numbers, names and captions; sorted by number.
constexpr auto kErrors = std::to_array<ErrorEntry>({
    {kErrInvalidProcedureCall, "InvalidProcedureCall", "Invalid procedure call or argument"},
    {kErrOverflow, "Overflow", "Overflow"},
    {kErrSubscriptOutOfRange, "SubscriptOutOfRange", "Subscript out of range"},
    {kErrCantPerformOperation, "CantPerformOperation", "Can't perform requested operation"},
    {kErrInvalidPropertyValue, "InvalidPropertyValue", "Invalid property value"},
    {kErrSetNotSupportedAtRuntime, "SetNotSupportedAtRuntime", "Set not supported at run time"},
    {kErrSetNotPermitted, "SetNotPermitted", "Set not permitted"},
    {kErrInvalidPortNumber, "InvalidPortNumber", "Invalid Port Number"},
    {kErrPortInUse, "PortInUse", "Port already open"},
    {kErrHardwareUnavailable, "HardwareUnavailable", "Hardware is not available"},
    {kErrPortNotOpen, "PortNotOpen", "Port is not open"},
    {kErrCommState, "CommState", "Could not set comm state"},
});

static_assert(std::is_sorted(kErrors.begin(), kErrors.end(),
                             [](const ErrorEntry& a, const ErrorEntry& b) {
                               return a.number < b.number;
                             }));

constexpr auto kNumbers = [] {
  std::array<ErrorNumber, kErrors.size()> numbers{};
  for (std::size_t i = 0; i < kErrors.size(); ++i) numbers[i] = kErrors[i].number;
  return numbers;
}();

const ErrorEntry* find(int number) {
  const auto it = std::lower_bound(
      kErrors.begin(), kErrors.end(), number,
      [](const ErrorEntry& entry, int value) { return static_cast<int>(entry.number) < value; });
  return it != kErrors.end() && it->number == number ? &*it : nullptr;
}

}  // namespace

std::span<const ErrorNumber> errorNumbers() {
  return kNumbers;
}

QString errorName(int number) {
  const ErrorEntry* entry = find(number);
  return entry ? QString::fromLatin1(entry->name) : QString();
}

QString errorCaption(int number) {
  const ErrorEntry* entry = find(number);
  return entry ? QString::fromLatin1(entry->caption) : QStringLiteral("Error %1").arg(number);
}

QString commsErrorText(const QString& description) {
  return QStringLiteral("Comms Error: ") + description;
}

}  // namespace quennet
