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

struct FailureEntry {
  Failure failure;
  const char* text;
};

// The one list of failures and their texts, in the order declared.
constexpr auto kFailures = std::to_array<FailureEntry>({
    {Failure::None, "OK"},
    {Failure::PortClosed, "Port closed"},
    {Failure::Timeout, "Timeout Error"},
    {Failure::Busy, "BUSY"},
    {Failure::Refused, "Refused by the device"},
    {Failure::NothingSent, "Nothing sent: no device was asked"},
    {Failure::Misuse, "Cannot be sent as asked"},
    {Failure::Unknown, "Unknown result"},
    {Failure::Checksum, "Checksum Error"},
    {Failure::TooLong, "Reply Too Long"},
    {Failure::TooShort, "Reply Too Short"},
    {Failure::Overflow, "Reply Overflow"},
    {Failure::Address, "Reply Address Error"},
    {Failure::WrongSource, "Reply Source Error"},
    {Failure::EchoMismatch, "Echo Error"},
    {Failure::Garbled, "Garbled Reply"},
    {Failure::Unexpected, "Unexpected Data"},
    {Failure::WrongLength, "Reply Length Error"},
});

static_assert([] {
  for (std::size_t i = 0; i < kFailures.size(); ++i) {
    if (static_cast<std::size_t>(kFailures[i].failure) != i) return false;
  }
  return kFailures.back().failure == Failure::WrongLength;
}());

constexpr auto kFailureValues = [] {
  std::array<Failure, kFailures.size()> values{};
  for (std::size_t i = 0; i < kFailures.size(); ++i) values[i] = kFailures[i].failure;
  return values;
}();

}  // namespace

QString resultMeaning(int result) {
  switch (result) {
    case kResultOk:
      return failureText(Failure::None);
    case kResultNoteNumber:
      return QStringLiteral("Note number above 16");
    case kResultNotEnabled:
      return failureText(Failure::PortClosed);
    case kResultKeyTooShort:
      return QStringLiteral("Key too short");
    default:
      return QStringLiteral("Result %1").arg(result);
  }
}

std::span<const Failure> failures() {
  return kFailureValues;
}

QString failureText(Failure failure) {
  const auto index = static_cast<std::size_t>(failure);
  return index < kFailures.size() ? QString::fromLatin1(kFailures[index].text) : QString();
}

bool isReplyFault(Failure failure) {
  return failure >= Failure::Checksum && failure <= Failure::WrongLength;
}

Failure failureOf(int result, bool acknowledged, Failure replyFault) {
  switch (result) {
    case kResultOk:
      return acknowledged ? Failure::None : Failure::Refused;
    case kResultBusy:
      return Failure::Busy;
    case kResultTimeout:
      return Failure::Timeout;
    case kResultChecksum:
      return isReplyFault(replyFault) ? replyFault : Failure::Unknown;
    case kResultNotEnabled:
      return Failure::PortClosed;
    case kResultNoteNumber:
    case kResultKeyTooShort:
      return Failure::Misuse;
    default:
      return Failure::Unknown;
  }
}

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

}  // namespace quennet
