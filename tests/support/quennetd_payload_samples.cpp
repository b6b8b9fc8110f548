// Prints one message of every kind the service builds, a line each: the topic's leaf, a tab, the
// payload. Cases a live run seldom reaches are here: a note of unknown value, a note in doubt, a
// loss, a port lost, the goodbye and the last will, a route's reply, refusals without an id.
// payload_contract_test.py checks each against the contract's schemas.

#include <cstdio>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QTimeZone>

#include "quennetd/payloads.h"
#include "quennetd/service_device.h"

namespace {

using namespace quennetd;

void print(const char* leaf, const QByteArray& payload) {
  std::printf("%s\t%s\n", leaf, payload.constData());
}

}  // namespace

int main() {
  Device note;
  note.address = 40;
  note.serial = QStringLiteral("1234567");
  note.label = QStringLiteral("00-12-D6-87");
  note.source = Device::Source::BillValidator;
  note.denominations = {noteDenomination(QStringLiteral("GB0005A"), Scale{100, 2}),
                        noteDenomination(QStringLiteral("XX0010A"), std::nullopt),
                        noteDenomination(QString(), std::nullopt)};
  Device coin;
  coin.address = 2;
  coin.serial = QStringLiteral("77");
  coin.label = QStringLiteral("77");
  coin.source = Device::Source::CoinAcceptor;
  coin.denominations = {coinDenomination(QStringLiteral("GB100A"))};

  print("credit", payloads::credit(note, QStringLiteral("a-1-1"), 1, 1, 1));
  print("credit", payloads::credit(note, QStringLiteral("a-2-2"), 2, 2, 2));  // value unknown
  print("credit", payloads::credit(note, QStringLiteral("a-3-9"), 9, 3, 3));  // no such position
  print("credit", payloads::credit(coin, QStringLiteral("c-1-1"), 1, 1, 1));
  print("credit", payloads::inDoubt(note, PendingNote{QStringLiteral("a-4-1"), 4, 1}, 4,
                                    QStringLiteral("the validator reset")));
  print("event", payloads::event(note, 5, QStringLiteral("fault"), QStringLiteral("jam")));
  print("event", payloads::event(coin, 0, QStringLiteral("reset"), QStringLiteral("reset")));
  print("event", payloads::loss(coin, QStringLiteral("c-x-9-lost"), 9, 3));
  print("escrow", payloads::escrow(note, PendingNote{QStringLiteral("a-6-1"), 6, 1}));
  print("escrow", payloads::escrow(note, PendingNote{QStringLiteral("a-7-2"), 7, 2}));
  print("progress", payloads::progress(QStringLiteral("p-1-3"), QStringLiteral("r9"), 3, 10, 4, 6));
  print("progress", payloads::progress(QStringLiteral("p-2-3"), 12, 3, 5, 0, 5));

  payloads::StatusView online{true, QStringLiteral("/dev/ttyUSB0"), {}, {}, true, "ok"};
  online.devices = {{40, "Bill Validator", "QNT", "00-12", "encrypted", true},
                    {2, "Coin Acceptor", "QNT", "77", "checksum8", false},
                    {3, "Payout", "QNT", "88", {}, true}};
  print("status", payloads::stamped(payloads::statusBody(online)));
  const payloads::StatusView lost{false,
                                  QStringLiteral("/dev/ttyUSB0"),
                                  QStringLiteral("no such port"),
                                  {},
                                  false,
                                  QStringLiteral("disk full: 4096 bytes free")};
  print("status", payloads::stamped(payloads::statusBody(lost)));
  print("status", payloads::offline(true));
  print("status", payloads::offline(false));

  CallStatus routed;
  routed.result = 0;
  routed.caption = QStringLiteral("OK");
  routed.acknowledged = true;
  print("reply", payloads::routeReply(QStringLiteral("r1"), QStringLiteral("a-6-1"), true, routed));
  print("reply", payloads::routeReply(7, QStringLiteral("a-6-1"), false, CallStatus{}));
  print("reply", payloads::errorReply(QStringLiteral("p1"), QStringLiteral("busy")));
  print("reply", payloads::errorReply(QJsonValue(), QStringLiteral("no id")));
  print("reply", payloads::errorReply(QJsonValue(true), QStringLiteral("no id")));
  print("reply", payloads::payReply(QStringLiteral("p2"), 500, 300, 0,
                                    QJsonArray{QStringLiteral("p-1-3"), QStringLiteral("p-2-4")}));
  print("reply", payloads::payReply(8, 500, 0, 200, QJsonArray{QStringLiteral("p-3-3")}));
  print("reply", payloads::queryReply(QStringLiteral("q1"),
                                      QDateTime::fromSecsSinceEpoch(0, QTimeZone::utc()),
                                      {payloads::credit(coin, QStringLiteral("c-1-1"), 1, 1, 1)}, 3,
                                      {}, 0, CreditTotals{4, 250}, LedgerTotals{1, 300, 3}));
  print("payout",
        payloads::payout({QStringLiteral("p-1-3"), QStringLiteral("r9"), 3, 3, 3, 100, {}}));
  print("payout", payloads::payout({QStringLiteral("p-2-3"), 12, 3, 5, 2, std::nullopt, {}}));
  print("reply", payloads::queryReply(QStringLiteral("q1"),
                                      QDateTime::fromSecsSinceEpoch(0, QTimeZone::utc()),
                                      {payloads::credit(coin, QStringLiteral("c-1-1"), 1, 1, 1)}, 3,
                                      {}, 0, CreditTotals{4, 250}, LedgerTotals{1, 300, 3}));
  print("payout",
        payloads::payout({QStringLiteral("p-3-3"), QStringLiteral("r10"), 3, 2, 0, 100,
                          QStringLiteral("the hopper's dispense count went from 7 to 3")}));
  return 0;
}
