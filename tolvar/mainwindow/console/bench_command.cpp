#include "tolvar/mainwindow/console/bench_command.h"

#include <algorithm>
#include <array>
#include <vector>

#include "quennet/commands/dispatch.h"
#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "quennet/link/frame_text.h"
#include "quennet/link/quennet_error.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {

const QString kRawWord = QStringLiteral("raw");
const QString kAddressOption = QStringLiteral("--address");
constexpr int kAddressBox = -1;
// A name this many edits away from a method's is taken for a slip of the keys.
constexpr int kNearMiss = 3;

// The edits (a letter added, dropped or changed) from one name to the other, case ignored.
int editDistance(const QString& a, const QString& b) {
  const QString x = a.toLower();
  const QString y = b.toLower();
  std::vector<int> row(static_cast<std::size_t>(y.size()) + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = static_cast<int>(j);
  for (qsizetype i = 1; i <= x.size(); ++i) {
    int diagonal = row[0];
    row[0] = static_cast<int>(i);
    for (qsizetype j = 1; j <= y.size(); ++j) {
      const auto at = static_cast<std::size_t>(j);
      const int above = row[at];
      row[at] = std::min({row[at] + 1, row[at - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row.back();
}

// A method by its name in any case; else the error names the nearest one where it is close.
const quennet::MethodInfo& methodNamed(const QString& name) {
  if (const quennet::MethodInfo* exact = quennet::findMethod(name)) return *exact;
  const quennet::MethodInfo* nearest = nullptr;
  int best = kNearMiss + 1;
  for (const quennet::MethodInfo& method : quennet::methodTable()) {
    if (method.name.compare(name, Qt::CaseInsensitive) == 0) return method;
    if (const int distance = editDistance(method.name, name); distance < best) {
      best = distance;
      nearest = &method;
    }
  }
  if (nearest) {
    throw quennet::MisuseError(
        QStringLiteral("unknown method %1; did you mean %2?").arg(name, nearest->name));
  }
  throw quennet::MisuseError(
      QStringLiteral("unknown method %1; %2").arg(name, BenchCommand::usage()));
}

}  // namespace

const QString& BenchCommand::usage() {
  static const QString text = QStringLiteral(
      "A method and its inputs (GetSerialNo, RequestBillID 3; the address box's address goes "
      "first where no address is given, --address 3 names another), or raw, an address, a "
      "header and data bytes (raw 40 242)");
  return text;
}

BenchOutcome BenchCommand::run(QStringList words) {
  BenchOutcome outcome;
  try {
    // The bench's line keeps the checksum, echo and key set in Options; a line names an address.
    int address = kAddressBox;
    while (!words.isEmpty() && words.front().startsWith(QStringLiteral("--"))) {
      const QString option = words.takeFirst();
      if (option != kAddressOption || words.isEmpty()) {
        throw quennet::MisuseError(
            QStringLiteral("%1: the bench's line takes --address N only; the checksum, echo and "
                           "key are set in Options")
                .arg(option));
      }
      const auto value = strictInteger(words.takeFirst(), 0, 255);
      if (!value) throw quennet::MisuseError(QStringLiteral("--address takes 0 to 255"));
      address = *value;
    }
    if (words.isEmpty()) throw quennet::MisuseError(usage());
    const QString name = words.takeFirst();
    if (name.compare(kRawWord, Qt::CaseInsensitive) == 0) {
      if (address != kAddressBox) {
        throw quennet::MisuseError(QStringLiteral("a raw frame names its own address"));
      }
      return runRaw(words);
    }
    return runMethod(name, words, address);
  } catch (const quennet::MisuseError& error) {
    outcome.text = QStringLiteral("error: ") + error.message();
  }
  return outcome;
}

BenchOutcome BenchCommand::runMethod(const QString& name, QStringList inputs, int address) {
  const quennet::MethodInfo* method = &methodNamed(name);
  BenchOutcome outcome;
  // The address box's address (and the encryption set beside it) where none is given.
  std::uint8_t boxAddress = 0;
  if (!turn_.ApplyDetails(boxAddress)) {
    outcome.text = QStringLiteral("not sent: the address or key");
    return outcome;
  }
  if (method->hasDevice() && inputs.size() == method->inputs().size() - 1) {
    inputs.prepend(QString::number(address == kAddressBox ? boxAddress : address));
  } else if (address != kAddressBox) {
    throw quennet::MisuseError(
        QStringLiteral("--address with %1 and its address given as well").arg(method->name));
  }
  timer_.start();
  const quennet::InvokeResult result = quennet::invoke(turn_.control(), method->name, inputs);
  outcome.ms = static_cast<double>(timer_.nsecsElapsed()) / 1e6;
  QStringList outputs;
  for (const quennet::ParamInfo& p : method->outputs()) {
    outputs << QStringLiteral("%1: %2").arg(p.name,
                                            quennet::outputText(result.outputs.value(p.name)));
  }
  finish(outcome, result.result, outputs);
  return outcome;
}

BenchOutcome BenchCommand::runRaw(const QStringList& words) {
  if (words.size() < 2) throw quennet::MisuseError(usage());
  std::vector<std::uint8_t> bytes;
  for (const QString& word : words) {
    const auto value = strictInteger(word, 0, 255);
    if (!value) throw quennet::MisuseError(QStringLiteral("not a byte: ") + word);
    bytes.push_back(static_cast<std::uint8_t>(*value));
  }
  if (bytes.size() - 2 > static_cast<std::size_t>(quennet::kMaxDataLength)) {
    throw quennet::MisuseError(QStringLiteral("more data than a frame holds"));
  }
  BenchOutcome outcome;
  if (!turn_.applyEncryption(true)) {
    outcome.text = QStringLiteral("not sent: the key");
    return outcome;
  }
  zav_quennet& control = turn_.control();
  control.LoadFrame(bytes[0], bytes[1], std::span(bytes).subspan(2));
  std::array<std::uint8_t, quennet::FrameBuffer::kSize> reply{};
  timer_.start();
  const std::int16_t result = control.TransactRequest(reply);
  outcome.ms = static_cast<double>(timer_.nsecsElapsed()) / 1e6;
  QStringList outputs;
  if (result == quennet::kResultOk) {
    // In the base of the frames printed under it.
    const auto count = static_cast<qsizetype>(control.deliveredDataCount());
    outputs << QStringLiteral("data: ") + quennet::bytesText(QByteArray(
                                              reinterpret_cast<const char*>(reply.data()), count));
  }
  finish(outcome, result, outputs);
  return outcome;
}

void BenchCommand::finish(BenchOutcome& outcome, int result, const QStringList& outputs) {
  const zav_quennet& control = turn_.control();
  const quennet::TransactionOutcome& last = control.lastTransaction();
  const QString status = last.ran ? control.caption() : quennet::resultMeaning(result);
  outcome.ran = true;
  outcome.result = result;
  outcome.sent = last.frameSent;
  outcome.acknowledged = last.frameSent && control.acknowledged();
  outcome.outputs = outputs.join(QStringLiteral("; "));
  outcome.resultText = QStringLiteral("%1 (%2)").arg(result).arg(status);
  QString text = QStringLiteral("result: ") + outcome.resultText;
  if (last.frameSent) {
    text += outcome.acknowledged ? QStringLiteral(", acknowledged")
                                 : QStringLiteral(", not acknowledged");
    text += QStringLiteral(", %1 ms").arg(outcome.ms, 0, 'f', 1);
    text += QStringLiteral("\nsent: ") + control.CommandSent(0).trimmed();
    text += QStringLiteral("\nreply: ") + control.ReplyBack(0).trimmed();
  } else {
    text += QStringLiteral(", nothing sent");
  }
  outcome.text = (outputs.isEmpty() ? QString() : outputs.join(u'\n') + u'\n') + text;
  turn_.ShowDebug();
}

}  // namespace tolvar
