// The form: the toolbars in a column above the body, the panes placed as designed (twips
// converted to pixels), and the status bar.
#include <QFont>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/panes/counters_pane.h"
#include "tolvar/mainwindow/panes/debug_pane.h"
#include "tolvar/mainwindow/panes/details_pane.h"
#include "tolvar/mainwindow/panes/event_pane.h"
#include "tolvar/mainwindow/panes/note_list_pane.h"
#include "tolvar/mainwindow/panes/statistics_pane.h"
#include "tolvar/mainwindow/panes/unit_data_pane.h"
#include "tolvar/mainwindow/window/form_parts.h"
#include "tolvar/mainwindow/window/frm_host.h"
#include "tolvar/mainwindow/window/host_toolbar.h"
#include "tolvar/mainwindow/window/twips.h"

namespace tolvar {

namespace {

constexpr int kFormWidth = 11880;
constexpr int kFormHeight = 7905;  // the client area above the status bar
constexpr int kBarHeight = 630;

// The decorative picture: a note sliding into a validator's bezel.
QPixmap decorativeBitmap(QSize size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, size.height());
  sky.setColorAt(0, QColor(30, 60, 110));
  sky.setColorAt(1, QColor(90, 140, 200));
  p.fillRect(pixmap.rect(), sky);
  const QRectF bezel(size.width() * 0.08, size.height() * 0.55, size.width() * 0.84,
                     size.height() * 0.3);
  p.setBrush(QColor(50, 50, 55));
  p.setPen(QPen(QColor(20, 20, 20), 1.5));
  p.drawRoundedRect(bezel, 6, 6);
  p.setBrush(Qt::black);
  p.drawRect(QRectF(bezel.left() + 12, bezel.center().y() - 2, bezel.width() - 24, 4));
  const QRectF note(size.width() * 0.2, size.height() * 0.12, size.width() * 0.6,
                    size.height() * 0.42);
  QLinearGradient paper(note.topLeft(), note.bottomRight());
  paper.setColorAt(0, QColor(170, 215, 160));
  paper.setColorAt(1, QColor(110, 170, 110));
  p.setBrush(paper);
  p.setPen(QPen(QColor(40, 90, 40), 1));
  p.drawRect(note);
  p.drawEllipse(note.center(), note.height() * 0.28, note.height() * 0.28);
  QFont font = p.font();
  font.setBold(true);
  font.setPointSizeF(9);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, bezel.bottom(), size.width(), size.height() - bezel.bottom()),
             Qt::AlignCenter, QStringLiteral("ccTalk BNV"));
  return pixmap;
}

}  // namespace

void frmHost::buildForm() {
  setWindowTitle(kMessageTitle);
  // The form was designed for a small 8 point face; larger defaults clip the captions.
  QFont formFont = font();
  formFont.setPointSizeF(8);
  setFont(formFont);
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  setCentralWidget(central);
  // The form keeps its size; a dock shown beside or under it takes what the window has more.
  central->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  // The window is exactly as large as what it shows: it neither grows into empty space nor
  // keeps room for a hidden bar.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  buildToolBars();
  // The three secondary bars share the place under the host bar, one at a time.
  for (HostToolBar* bar : {tlbHost, tlbEnable, tlbUtility, tlbDiagnostic}) {
    bar->setFixedHeight(px(kBarHeight));
    column->addWidget(bar);
    if (bar != tlbHost) bar->hide();
  }
  auto* form = new QWidget(central);
  form->setObjectName(QStringLiteral("body"));
  form->setFixedSize(px(kFormWidth), px(kFormHeight - kBodyTopTwips));
  column->addWidget(form);
  // A window made larger than the form keeps the bars on the body and both at the top left;
  // the docks take the room.
  column->addStretch(1);

  auto* Picture1 = new QLabel(form);
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Picture1->setGeometry(bodyRect(-120, 1320, 3615, 1095));
  Picture1->setPixmap(decorativeBitmap(Picture1->size()));

  details_ = new DetailsPane(form);
  events_ = new EventPane(form);
  unitData_ = new UnitDataPane(form);
  notes_ = new NoteListPane(form);
  counters_ = new CountersPane(form);
  debug_ = new DebugPane(form);
  statistics_ = new StatisticsPane(form);
  // Tab goes through the lists before the escrow buttons, as the form has it.
  setTabOrder(events_->lstvwEventBuffer, unitData_->lstViewUnitData);
  setTabOrder(unitData_->lstViewUnitData, notes_->lstvwNoteID);
  setTabOrder(notes_->lstvwNoteID, events_->cmdStack);
  setTabOrder(events_->cmdStack, events_->cmdReturn);
  setTabOrder(events_->cmdReturn, events_->cmdHoldNote);
  setTabOrder(events_->cmdHoldNote, debug_->optHex);
}

void frmHost::buildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setSizeGripEnabled(false);
  for (std::size_t i = 0; i < staHost.size(); ++i) {
    staHost[i] = new QLabel(bar);
    staHost[i]->setObjectName(QStringLiteral("staHost_%1").arg(i + 1));
    staHost[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    staHost[i]->setContentsMargins(3, 0, 3, 0);
  }
  // Panel 1 is the widest and takes what the others leave.
  bar->addWidget(staHost[0], 1);
  bar->addPermanentWidget(staHost[1]);
  staHost[1]->setMinimumWidth(px(1500));
  bar->addPermanentWidget(zav_quennet1);
  zav_quennet1->setFixedWidth(px(3015));
  bar->addPermanentWidget(staHost[2]);
  bar->addPermanentWidget(staHost[3]);
}

}  // namespace tolvar
