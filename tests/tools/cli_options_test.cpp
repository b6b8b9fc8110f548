#include <gtest/gtest.h>

#include "quennet/commands/batch_input.h"
#include "tools/cli_options.h"
#include "tools/event_watch.h"

namespace quennet::cli {
namespace {

TEST(CliOptions, DefaultsAreTheHostProgramsLine) {
  const CliOptions o = parseArguments({"--port", "/dev/ttyUSB0", "SendPoll"});
  EXPECT_EQ(o.port, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(o.address, 40);
  EXPECT_TRUE(o.crc);
  EXPECT_FALSE(o.echo.has_value()) << "learnt at open";
  EXPECT_FALSE(o.keyCode.has_value());
  EXPECT_FALSE(o.json);
  EXPECT_EQ(o.method, QStringLiteral("SendPoll"));
  EXPECT_TRUE(o.args.isEmpty());
  // The help names the defaults a command line without the option runs with.
  const QString help = helpText();
  EXPECT_TRUE(help.contains(QStringLiteral("0 to 255 (default %1)").arg(o.address)));
  const CliOptions events = parseArguments({"--port", "p", "events"});
  EXPECT_TRUE(
      help.contains(QStringLiteral("every MS milliseconds (default %1)").arg(events.intervalMs)));
}

TEST(CliOptions, OptionsBeforeTheMethodAndArgumentsAfterIt) {
  const CliOptions o = parseArguments({"--checksum8", "--no-echo", "--address", "3", "--json",
                                       "--port", "p", "RequestScaleFactor", "--GB"});
  EXPECT_FALSE(o.crc);
  EXPECT_EQ(o.echo, false);
  EXPECT_EQ(o.address, 3);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.method, QStringLiteral("RequestScaleFactor"));
  EXPECT_EQ(o.args, QStringList{"--GB"}) << "words after the method belong to it";

  const CliOptions events = parseArguments(
      {"--hopper-code", "7", "--port", "p", "events", "--interval", "50", "--route", "hold"});
  EXPECT_EQ(events.method, kEventsCommand);
  EXPECT_EQ(events.intervalMs, 50);
  EXPECT_EQ(events.route, 255);
  EXPECT_EQ(events.hopperCode, 7);

  // The line options may follow monitor too; scan takes --json after it.
  const CliOptions monitor =
      parseArguments({"monitor", "--input", "f", "--checksum8", "--json", "--port", "q"});
  EXPECT_EQ(monitor.method, kMonitorCommand);
  EXPECT_EQ(monitor.input, QStringLiteral("f"));
  EXPECT_EQ(monitor.port, QStringLiteral("q"));
  EXPECT_FALSE(monitor.crc);
  EXPECT_TRUE(monitor.json);
  EXPECT_TRUE(monitor.args.isEmpty());
  EXPECT_TRUE(parseArguments({"--port", "p", "scan", "--json"}).json);
  EXPECT_TRUE(parseArguments({"-h"}).help);
}

TEST(CliOptions, KeyDigitsPackAsTheHostDoes) {
  EXPECT_EQ(packKeyDigits(QStringLiteral("582604")), 0x406285);
  EXPECT_EQ(packKeyDigits(QStringLiteral("000001")), 0x100000);
  EXPECT_EQ(*parseArguments({"--key", "123456", "SendPoll"}).keyCode, 0x654321);
}

// Each refusal names the option or word it cannot take, and where it stands decides which
// options it may be: before the method, or after events, monitor or scan.
TEST(CliOptions, MalformedCommandLinesAreUsageErrors) {
  const QString eventsTake = QStringLiteral(
      "events takes --interval MS, --route stack|return|hold, --inhibits LOW,HIGH, --from-start "
      "and --json, not ");
  const QString monitorTakes =
      QStringLiteral("monitor takes --port, --input, --json, --crc or --checksum8, not ");
  const QString crcOnly =
      QStringLiteral("--key needs CRC frames: encryption does not work with --checksum8");
  const struct {
    QStringList args;
    QString message;  // the whole message, or how it starts when it ends in a bound
  } bad[] = {
      {{"--address", "256", "SendPoll"}, "--address needs a number from 0 to 255, not '256'"},
      {{"--address", "x", "SendPoll"}, "--address needs a number from 0 to 255, not 'x'"},
      {{"--port"}, "--port needs a value"},
      {{"--key", "12345", "SendPoll"}, "--key needs exactly six digits"},
      {{"--key", "12a456", "SendPoll"}, "--key needs exactly six digits 0 to 9"},
      // Digits of other scripts are not the key's digits.
      {{"--key", "12\u0663456", "SendPoll"}, "--key needs exactly six digits 0 to 9"},
      {{"--key", "582604", "--checksum8", "SendPoll"}, crcOnly},
      {{"--checksum8", "--key", "582604", "SendPoll"}, crcOnly},
      {{"--hopper-code", "16777216", "Dispense_Coins", "1"},
       "--hopper-code needs a number from 0 to 16777215, not '16777216'"},
      {{"--hopper-code", "-1", "Dispense_Coins", "1"},
       "--hopper-code needs a number from 0 to 16777215, not '-1'"},
      {{"events", "--route", "sideways"}, "--route needs stack, return or hold, not 'sideways'"},
      {{"--verbose", "SendPoll"}, "unknown option --verbose"},
      // An option of events before the method is no option there.
      {{"--interval", "50", "events"}, "unknown option --interval"},
      {{"events", "--interval", "0"}, "--interval needs a number from 10 to 3600000, not '0'"},
      {{"events", "--interval"}, "--interval needs a value"},
      {{"events", "--inhibits", "255"}, "--inhibits needs LOW,HIGH"},
      {{"events", "--inhibits", "255,256"}, "--inhibits needs a number from 0 to 255, not '256'"},
      {{"events", "extra"}, eventsTake + "'extra'"},
      {{"--busy-retries", "101", "SendPoll"}, "--busy-retries needs a number from 0 to "},
      {{"--busy-retries", "-1", "SendPoll"}, "--busy-retries needs a number from 0 to "},
      {{"--busy-pause", "2001", "SendPoll"}, "--busy-pause needs a number from 0 to "},
      {{"--reset-wait", "60001", "SendPoll"}, "--reset-wait needs a number from 0 to "},
      {{"events", "--busy-retries", "3"}, eventsTake + "'--busy-retries'"},
      {{"monitor", "--address", "3"}, monitorTakes + "'--address'"},
      {{"monitor", "-h"}, monitorTakes + "'-h'"},
      {{"scan", "--port", "p"}, "scan takes --json, not '--port'"},
      {{"scan", "extra"}, "scan takes --json, not 'extra'"}};
  for (const auto& [args, message] : bad) {
    SCOPED_TRACE(args.join(u' ').toStdString());
    try {
      parseArguments(args);
      ADD_FAILURE() << "taken";
    } catch (const UsageError& error) {
      if (message.endsWith(u' ')) {
        EXPECT_TRUE(error.message().startsWith(message)) << error.message().toStdString();
      } else {
        EXPECT_EQ(error.message(), message);
      }
    }
  }
}

// Batch input as it streams in, cut into chunks: what each line becomes ("error" for a line not
// run), and the most bytes held for an unfinished line on the way.
struct InputRow {
  QByteArray input;
  int chunk;
  QStringList lines;
};

TEST(BatchInput, OnlyWholeLinesOfAtMost64KiBRunAndTheRestAreErrors) {
  const QByteArray longest(kMaxBatchLine, 'x');
  const QByteArray huge(3 * kMaxBatchLine + 5, 'y');
  const QList<InputRow> rows = {
      {"SendPoll\nDispense_Coins 2", 4096, {"SendPoll", "error"}},
      {"SendPoll\n\nGetSerialNo\n  \t", 3, {"SendPoll", "", "GetSerialNo"}},
      {longest + "\nSendPoll\n", 4096, {QString::fromLatin1(longest), "SendPoll"}},
      {longest + "x\nSendPoll\n", 4096, {"error", "SendPoll"}},
      {huge + "\nSendPoll\n", 4096, {"error", "SendPoll"}},
      {huge + "\nSendPoll\n", 1 << 20, {"error", "SendPoll"}},
      {"SendPoll\n" + huge, 4096, {"SendPoll", "error"}},
  };
  for (const InputRow& row : rows) {
    BatchLines reader;
    QStringList seen;
    qsizetype held = 0;
    const auto take = [&](std::optional<BatchLine> line) {
      if (!line) return false;
      seen.append(line->error.isEmpty() ? line->text : QStringLiteral("error"));
      return true;
    };
    for (qsizetype at = 0; at < row.input.size(); at += row.chunk) {
      const QByteArray part = row.input.mid(at, row.chunk);
      reader.append(part.constData(), part.size());
      while (take(reader.next())) {
      }
      held = std::max(held, reader.pending());
    }
    take(reader.finish());
    const std::string name = row.input.left(24).toStdString();
    EXPECT_EQ(seen, row.lines) << name;
    EXPECT_LE(held, kMaxBatchLine + row.chunk) << name;
  }
}

TEST(EventText, StatusAndCreditEvents) {
  EXPECT_EQ(describeEvent(0, 0), QStringLiteral("Note Refused: Master Inhibit"));
  EXPECT_EQ(describeEvent(0, 11), QStringLiteral("Cash Box Removed"));
  EXPECT_EQ(describeEvent(0, 18), QStringLiteral("Anti String Gate Activated"));
  EXPECT_EQ(describeEvent(0, 99), QStringLiteral("Status 99"));
  EXPECT_EQ(describeEvent(3, 1), QStringLiteral("Note 3 in escrow."));
  EXPECT_EQ(describeEvent(12, 0), QStringLiteral("Note 12 stacked."));
  EXPECT_EQ(describeEvent(2, 9), QStringLiteral("Note 2 route 9"));
}

}  // namespace
}  // namespace quennet::cli
