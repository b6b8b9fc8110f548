// Fuzzes reply handling end to end: the device answers any method of the dispatch table with
// arbitrary bytes, which go through echo skipping, decryption, checksum and classification into
// the method's outputs. Input: byte 0 picks the method, byte 1 the line mode, the rest is what
// arrives on the line.
#include <cstdint>
#include <memory>

#include <QCoreApplication>

#include "quennet/commands/dispatch.h"
#include "quennet/link/encryption.h"
#include "quennet/link/quennet_error.h"
#include "quennet/testing/scripted_line.h"

namespace {

// Inputs for a method: the device address and small valid values for everything else.
QVariantList inputsFor(const quennet::MethodInfo& method) {
  QVariantList inputs;
  for (const quennet::ParamInfo& p : method.inputs()) {
    switch (p.type) {
      case quennet::ParamType::Text:
        inputs << QStringLiteral("GB");
        break;
      case quennet::ParamType::ByteArray: {
        QVariantList values;
        for (int v = 1; v <= p.arraySize; ++v) values << v;
        inputs << QVariant::fromValue(values);
        break;
      }
      default:
        inputs << 5;
    }
  }
  return inputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int argc = 1;
  static char name[] = "reply_fuzz";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  if (size < 2) return 0;
  const auto& table = quennet::methodTable();
  const quennet::MethodInfo& method = table[data[0] % table.size()];
  const std::uint8_t mode = data[1];
  const QByteArray arriving(reinterpret_cast<const char*>(data + 2),
                            static_cast<qsizetype>(size - 2));

  quennet::CommandSet host;
  auto line = std::make_unique<quennet::ScriptedLine>();
  quennet::ScriptedLine* script = line.get();
  host.setLine(std::move(line));
  host.setChecksumType((mode & 1) ? quennet::CHKSM_16BIT : quennet::CHKSM_8BIT);
  host.setCommsEcho((mode & 2) != 0);
  host.setEncryption((mode & 4) != 0);
  host.setKeyDigits(quennet::keyDigitsFromCode(0x406285));
  // A fuzzer cannot afford real time-outs: once the input is played out, every wait ends.
  script->setEndsWaitsWhenPlayedOut(true);
  script->open();
  script->setResponder([&](const QByteArray& written) {
    const int length = written.size() >= 2 ? static_cast<std::uint8_t>(written[1]) + 5 : 0;
    if (length == 0 || written.size() < length) return QByteArray();
    return (host.commsEcho() ? written : QByteArray()) + arriving;
  });
  try {
    const quennet::InvokeResult r = quennet::invoke(host, method.name, inputsFor(method));
    if (r.result != -1 && r.result != 0 && r.result != 2 && r.result != 3 && r.result != 5) {
      __builtin_trap();  // a result code outside the convention
    }
  } catch (const quennet::QuennetError&) {
    // Raised only for misuse before sending; the inputs above are valid, so reaching here is
    // not a crash but is not expected either.
  }
  (void)host.CommandSent();
  (void)host.ReplyBack(1);
  return 0;
}
