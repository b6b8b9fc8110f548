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
}

TEST(CliOptions, KeyDigitsPackAsTheHostDoes) {
  EXPECT_EQ(packKeyDigits(QStringLiteral("582604")), 0x406285);
  EXPECT_EQ(packKeyDigits(QStringLiteral("000001")), 0x100000);
  EXPECT_EQ(*parseArguments({"--key", "123456", "SendPoll"}).keyCode, 0x654321);
}

TEST(CliOptions, MalformedCommandLinesAreUsageErrors) {
  const QList<QStringList> bad = {{"--address", "256", "SendPoll"},
                                  {"--address", "x", "SendPoll"},
                                  {"--port"},
                                  {"--key", "12345", "SendPoll"},
                                  {"--key", "12a456", "SendPoll"},
                                  // Digits of other scripts are not the key's digits.
                                  {"--key", "12\u0663456", "SendPoll"},
                                  {"--key", "582604", "--checksum8", "SendPoll"},
                                  {"--checksum8", "--key", "582604", "SendPoll"},
                                  {"--hopper-code", "16777216", "Dispense_Coins", "1"},
                                  {"--hopper-code", "-1", "Dispense_Coins", "1"},
                                  {"events", "--route", "sideways"},
                                  {"--verbose", "SendPoll"},
                                  {"events", "--interval", "0"},
                                  {"events", "extra"},
                                  {"--busy-retries", "101", "SendPoll"},
                                  {"--busy-retries", "-1", "SendPoll"},
                                  {"--busy-pause", "2001", "SendPoll"},
                                  {"--reset-wait", "60001", "SendPoll"},
                                  {"events", "--busy-retries", "3"},
                                  {"scan", "--port", "p"},
                                  {"scan", "extra"}};
  for (const QStringList& args : bad) {
    EXPECT_THROW(parseArguments(args), UsageError) << args.join(u' ').toStdString();
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
