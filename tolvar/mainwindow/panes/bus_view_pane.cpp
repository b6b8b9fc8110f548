#include "tolvar/mainwindow/panes/bus_view_pane.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tolvar {

namespace {

enum Column { kAddress, kMode, kDevice, kMaker, kProduct, kSerial, kColumns };

const QColor kFault(255, 0, 0);

}  // namespace

BusViewPane::BusViewPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("busViewPane"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(4, 4, 4, 4);
  column->setSpacing(4);

  auto* buttons = new QHBoxLayout;
  poll = new QPushButton(QStringLiteral("Address Poll"), this);
  poll->setObjectName(QStringLiteral("busPoll"));
  poll->setToolTip(QStringLiteral("Every device on the bus answers with its address"));
  clash = new QPushButton(QStringLiteral("Address Clash"), this);
  clash->setObjectName(QStringLiteral("busClash"));
  clash->setToolTip(
      QStringLiteral("Every device answers after a delay of its own: two devices that share "
                     "an address both answer"));
  talkTo = new QPushButton(QStringLiteral("Talk To"), this);
  talkTo->setObjectName(QStringLiteral("busTalkTo"));
  talkTo->setToolTip(
      QStringLiteral("Send the next commands to the device picked (or "
                     "double-click its row)"));
  talkTo->setEnabled(false);
  buttons->addWidget(poll);
  buttons->addWidget(clash);
  buttons->addStretch(1);
  buttons->addWidget(talkTo);
  column->addLayout(buttons);

  devices = new QTreeWidget(this);
  devices->setObjectName(QStringLiteral("busDevices"));
  devices->setRootIsDecorated(false);
  devices->setHeaderLabels({QStringLiteral("Address"), QStringLiteral("Mode"),
                            QStringLiteral("Device"), QStringLiteral("Maker"),
                            QStringLiteral("Product"), QStringLiteral("Serial")});
  devices->headerItem()->setToolTip(
      kMode, QStringLiteral("The framing the device answered a poll in: CRC-16, CRC-16 encrypted "
                            "with the key box's key, or the 8-bit checksum"));
  devices->setSelectionMode(QAbstractItemView::SingleSelection);
  devices->header()->setStretchLastSection(true);
  // Every column as wide as what it shows; a narrow dock scrolls across.
  devices->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  column->addWidget(devices, 1);

  summary = new QLabel(QStringLiteral("Address Poll lists the devices on the bus."), this);
  summary->setObjectName(QStringLiteral("busSummary"));
  summary->setWordWrap(true);
  column->addWidget(summary);

  connect(poll, &QPushButton::clicked, this, [this] { emit collect(false); });
  connect(clash, &QPushButton::clicked, this, [this] { emit collect(true); });
  connect(devices, &QTreeWidget::itemSelectionChanged, this,
          [this] { talkTo->setEnabled(selectedAddress() >= 0); });
  connect(talkTo, &QPushButton::clicked, this, [this] {
    if (selectedAddress() >= 0) emit picked(selectedAddress());
  });
  connect(devices, &QTreeWidget::itemActivated, this,
          [this](QTreeWidgetItem* row) { emit picked(row->data(kAddress, Qt::UserRole).toInt()); });
}

void BusViewPane::showDevices(const QList<BusDevice>& found, const QString& text) {
  devices->clear();
  for (const BusDevice& device : found) {
    auto* row = new QTreeWidgetItem(devices);
    row->setData(kAddress, Qt::UserRole, device.address);
    row->setText(kAddress, QString::number(device.address));
    row->setTextAlignment(kAddress, Qt::AlignRight | Qt::AlignVCenter);
    if (device.answers > 1) {
      // Both answer every command sent there, so neither can be told apart until one moves.
      row->setText(kDevice, QStringLiteral("%1 devices on this address: give one another "
                                           "(Addr Change)")
                                .arg(device.answers));
      row->setForeground(kDevice, kFault);
      continue;
    }
    const quennet::FoundDevice& found = device.found;
    row->setText(kMode, quennet::framingCaption(found.framing));
    if (found.framing == quennet::DeviceFraming::Unknown) {
      // It answered the broadcast and then no poll, in any framing tried.
      row->setForeground(kMode, kFault);
      row->setToolTip(kMode, QStringLiteral("Answered the broadcast, then no poll in CRC-16, "
                                            "CRC-16 encrypted or the 8-bit checksum"));
      row->setText(kDevice, QStringLiteral("(no reply when asked)"));
      continue;
    }
    row->setText(kDevice, found.category.trimmed().isEmpty()
                              ? QStringLiteral("(did not say what it is)")
                              : found.category.trimmed());
    row->setText(kMaker, found.manufacturer.trimmed());
    row->setText(kProduct, found.product.trimmed());
    row->setText(kSerial, found.serial);
    // The dock is narrow: the whole of it where the device is named.
    row->setToolTip(kDevice, QStringLiteral("%1, %2 %3, serial %4")
                                 .arg(row->text(kDevice), row->text(kMaker), row->text(kProduct),
                                      found.serial));
  }
  summary->setText(text);
  talkTo->setEnabled(false);
}

void BusViewPane::markCurrent(int address) {
  for (int i = 0; i < devices->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = devices->topLevelItem(i);
    const bool current = row->data(kAddress, Qt::UserRole).toInt() == address;
    QFont font = devices->font();
    font.setBold(current);
    for (int column = 0; column < kColumns; ++column) row->setFont(column, font);
    row->setToolTip(kAddress,
                    current ? QStringLiteral("The bench talks to this device") : QString());
  }
}

int BusViewPane::selectedAddress() const {
  const QList<QTreeWidgetItem*> rows = devices->selectedItems();
  return rows.isEmpty() ? -1 : rows.first()->data(kAddress, Qt::UserRole).toInt();
}

BusViewDock::BusViewDock(QWidget* parent)
    : QDockWidget(QStringLiteral("Bus View"), parent), pane_(new BusViewPane(this)) {
  setObjectName(QStringLiteral("busViewDock"));
  setWidget(pane_);
  toggleViewAction()->setShortcut(QKeySequence(Qt::Key_F6));
}

}  // namespace tolvar
