#include "bench/soak_boxes.h"

#include <QCheckBox>
#include <QLineEdit>

#include "bench/soak_plan.h"
#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"
#include "tolvar/mainwindow/window/frm_host.h"

namespace soak {

namespace {

constexpr double kProbeShare = 0.25;

// A box of the window's details pane, by its name.
template <class T>
T* box(tolvar::frmHost& host, const char* name) {
  return host.findChild<T*>(QString::fromLatin1(name));
}

bool isDevice(std::uint8_t address) {
  return address == kValidatorAddress || address == kHopperAddress ||
         address == kCoinAcceptorAddress;
}

// The control's key code as the key box reads: digit k is nibble k-1 from the bottom.
std::int32_t keyCodeOf(const QString& digits) {
  std::int32_t code = 0;
  for (int k = 0; k < digits.size(); ++k) code |= (digits[k].unicode() - '0') << (4 * k);
  return code;
}

// Control characters and the like as \xNN, so a complaint stays on one readable line.
QString printable(const QString& text) {
  QString out;
  for (QChar c : text) {
    out += c.isPrint() ? QString(c)
                       : QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
  }
  return out;
}

bool sixDigits(const QString& text) {
  if (text.size() != 6) return false;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return false;
  }
  return true;
}

}  // namespace

void BoxTally::add(const BoxOutcome& outcome) {
  ++typed;
  ++(outcome.accepted ? accepted : refused);
  if (!outcome.detail.isEmpty()) ++wrong;
}

QString BoxTyper::randomText() {
  std::uniform_int_distribution<int> percent(0, 99);
  const int length = percent(random_) < 5 ? std::uniform_int_distribution<int>(20, 60)(random_)
                                          : std::uniform_int_distribution<int>(0, 10)(random_);
  static const QString signs = QStringLiteral("-+. ,eE");
  QString text;
  for (int i = 0; i < length; ++i) {
    const int roll = percent(random_);
    if (roll < 45) {
      text += QChar(u'0' + roll % 10);
    } else if (roll < 60) {
      text += signs[roll % signs.size()];
    } else {
      text +=
          QChar::fromLatin1(static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random_)));
    }
  }
  return text;
}

QString BoxTyper::checkAccepted(std::uint8_t address, bool encrypt) {
  zav_quennet& control = *host_.control();
  if (!ui_.shown().empty()) return QStringLiteral("accepted with a message");
  if (box<QLineEdit>(host_, "txtAddress")->text() != QString::number(address)) {
    return QStringLiteral("address box shows '%1', sending to %2")
        .arg(box<QLineEdit>(host_, "txtAddress")->text())
        .arg(address);
  }
  if (control.Encryption() != encrypt) return QStringLiteral("encryption not as the check box");
  const QString key = box<QLineEdit>(host_, "txtEncKey")->text();
  if (encrypt && (!sixDigits(key) || control.KeyCode() != keyCodeOf(key))) {
    return QStringLiteral("key box '%1' but key code %2").arg(key).arg(control.KeyCode());
  }
  return {};
}

bool BoxTyper::restore() {
  box<QLineEdit>(host_, "txtAddress")->setText(QString::number(kValidatorAddress));
  box<QCheckBox>(host_, "chkEncrpyt")->setChecked(false);
  std::uint8_t address = 0;
  const bool ok = host_.lineTurn().ApplyDetails(address) && address == kValidatorAddress;
  ui_.clearShown();
  return ok;
}

BoxOutcome BoxTyper::typeOnce() {
  const QString addressText = randomText();
  const QString keyText = randomText();
  const bool encrypt = std::uniform_int_distribution<int>(0, 1)(random_) == 1;
  box<QLineEdit>(host_, "txtAddress")->setText(addressText);
  box<QLineEdit>(host_, "txtEncKey")->setText(keyText);
  box<QCheckBox>(host_, "chkEncrpyt")->setChecked(encrypt);
  ui_.clearShown();

  BoxOutcome outcome;
  std::uint8_t address = 0;
  outcome.accepted = host_.lineTurn().ApplyDetails(address);
  if (outcome.accepted) {
    outcome.detail = checkAccepted(address, encrypt);
  } else if (ui_.shown().size() != 1) {
    outcome.detail = QStringLiteral("refused with %1 messages").arg(ui_.shown().size());
  }
  if (outcome.accepted && !encrypt && outcome.detail.isEmpty() &&
      std::uniform_real_distribution<double>(0, 1)(random_) < kProbeShare) {
    outcome.probed = true;
    QString response;
    const std::int16_t result = host_.control()->SendPoll(address, response);
    const std::int16_t expected = isDevice(address) ? quennet::kResultOk : quennet::kResultTimeout;
    if (result != expected) {
      outcome.detail = QStringLiteral("poll to %1 gave %2").arg(address).arg(result);
    }
  }
  if (!restore() && outcome.detail.isEmpty()) outcome.detail = QStringLiteral("restore refused");
  if (!outcome.detail.isEmpty()) {
    outcome.detail += QStringLiteral(" (address '%1', key '%2', encrypt %3)")
                          .arg(printable(addressText), printable(keyText))
                          .arg(encrypt);
  }
  return outcome;
}

}  // namespace soak
