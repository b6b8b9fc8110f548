// The form's controls, placed as designed (twips converted to pixels).
#include <algorithm>

#include <QCheckBox>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/frm_host.h"
#include "tolvar/mainwindow/host_toolbar.h"
#include "tolvar/mainwindow/toolbar_buttons.h"
#include "tolvar/mainwindow/twips.h"
#include "tolvar/mainwindow/unit_data_text.h"

namespace tolvar {

namespace {

constexpr int kFormWidth = 11880;
constexpr int kFormHeight = 7905;  // the client area above the status bar
constexpr int kBarHeight = 630;
constexpr int kUnitDataRows = 17;
constexpr int kCellMargins = 12;  // a cell's padding and focus frame, both sides
// Wider than designed so that no unit data header is cut off; the note table and the scale
// rows move right by as much, into the free space before the event column.
constexpr int kUnitDataWidth = 3435;
constexpr int kNoteColumnLeft = 3540;
constexpr int kScaleCaptionWidth = 2115;

// The designed rectangle of a control under the toolbars. The form keeps a slot for the
// secondary bars at 630 twips; here the bars sit in a column above the body instead, so an
// empty slot leaves no blank band and an open bar pushes the body down.
QRect bodyRect(int left, int top, int width, int height) {
  return twipsRect(left, top - kBodyTopTwips, width, height);
}

// Captions keep the form's face and size: each box is wide enough for its text.
QLabel* captionLabel(QWidget* parent, const char* text, QRect geometry, bool wrap = false) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setGeometry(geometry);
  label->setWordWrap(wrap);
  return label;
}

// Value labels: empty at design, on the window background colour so they read as fields.
QLabel* valueLabel(QWidget* parent, int left, int top) {
  auto* label = new QLabel(parent);
  label->setGeometry(bodyRect(left, top, 975, 255));
  label->setAutoFillBackground(true);
  label->setBackgroundRole(QPalette::Base);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  return label;
}

QTreeWidget* reportView(QWidget* parent, QRect geometry, const QStringList& columns,
                        const QList<int>& widthsTwips) {
  auto* view = new QTreeWidget(parent);
  view->setGeometry(geometry);
  view->setRootIsDecorated(false);
  view->setColumnCount(static_cast<int>(columns.size()));
  view->setHeaderLabels(columns);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  for (int i = 0; i < widthsTwips.size(); ++i) view->setColumnWidth(i, px(widthsTwips.at(i)));
  return view;
}

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
  setWindowTitle(QStringLiteral("Tolvar Simulator"));
  // The form was designed for a small 8 point face; larger defaults clip the captions.
  QFont formFont = font();
  formFont.setPointSizeF(8);
  setFont(formFont);
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  setCentralWidget(central);
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

  Picture1 = new QLabel(form);
  Picture1->setGeometry(bodyRect(-120, 1320, 3615, 1095));
  Picture1->setPixmap(decorativeBitmap(Picture1->size()));

  fraDetails = new QGroupBox(QStringLiteral("BNV Details"), form);
  fraDetails->setGeometry(bodyRect(3600, 1320, 3015, 1095));
  lblCaption[0] = captionLabel(fraDetails, "BNV Address:", twipsRect(120, 240, 1140, 255));
  txtAddress = new QLineEdit(fraDetails);
  txtAddress->setGeometry(twipsRect(1260, 240, 615, 285));
  chkEncrpyt = new QCheckBox(QStringLiteral("Encryption On"), fraDetails);
  chkEncrpyt->setGeometry(twipsRect(120, 720, 1455, 255));
  lblCaption[1] = captionLabel(fraDetails, "Key:", twipsRect(1680, 720, 375, 255));
  lblCaption[1]->hide();
  txtEncKey = new QLineEdit(QStringLiteral("582604"), fraDetails);
  txtEncKey->setGeometry(twipsRect(2040, 720, 735, 285));
  txtEncKey->setMaxLength(6);
  txtEncKey->hide();

  lblEvent = new QLabel(form);
  lblEvent->setGeometry(bodyRect(7800, 1320, 3975, 375));
  lblEvent->setAutoFillBackground(true);
  lblEvent->setBackgroundRole(QPalette::Base);
  // A Base background makes Qt draw the text in the Text role; the event colours are set on
  // WindowText, so the label must draw with that role or every event comes out black.
  lblEvent->setForegroundRole(QPalette::WindowText);
  QFont eventFont(QStringLiteral("Arial Rounded MT Bold"), 12);
  eventFont.setStyleHint(QFont::SansSerif);
  eventFont.setBold(true);
  lblEvent->setFont(eventFont);
  QPalette eventPalette = lblEvent->palette();
  eventPalette.setColor(QPalette::WindowText, QColor(255, 128, 0));
  lblEvent->setPalette(eventPalette);

  lstvwEventBuffer =
      reportView(form, bodyRect(7800, 1800, 3855, 1695),
                 {QStringLiteral("Item"), QStringLiteral("Credit"), QStringLiteral("Event")},
                 {1200, 1200, 1200});
  lstViewUnitData = reportView(form, bodyRect(0, 2520, kUnitDataWidth, 4455),
                               {QStringLiteral("Header"), QStringLiteral("Data")}, {1440, 1440});
  // The header column takes its longest header; the data column has the rest.
  int headerWidth = 0;
  for (int step = 0; step < kUnitDataRows; ++step) {
    headerWidth = std::max(headerWidth,
                           lstViewUnitData->fontMetrics().horizontalAdvance(unitDataHeader(step)));
  }
  lstViewUnitData->setColumnWidth(0, headerWidth + kCellMargins);
  lstvwNoteID = reportView(form, bodyRect(kNoteColumnLeft, 2520, 3975, 4455),
                           {QStringLiteral("Bill"), QStringLiteral("ccTalk ID"),
                            QStringLiteral("Bill Count"), QStringLiteral("Sec Level")},
                           {700, 1000, 1000, 1000});

  fraNote = new QWidget(form);
  fraNote->setGeometry(bodyRect(8040, 3480, 3255, 375));
  cmdStack = new QPushButton(QStringLiteral("Stack Note"), fraNote);
  cmdStack->setGeometry(twipsRect(0, 0, 1095, 375));
  cmdReturn = new QPushButton(QStringLiteral("Return Note"), fraNote);
  cmdReturn->setGeometry(twipsRect(1080, 0, 1095, 375));
  cmdHoldNote = new QPushButton(QStringLiteral("Hold Note"), fraNote);
  cmdHoldNote->setGeometry(twipsRect(2160, 0, 1095, 375));
  // A pressed-in button is a route request waiting for the next tick.
  for (QPushButton* button : {cmdStack, cmdReturn, cmdHoldNote}) button->setCheckable(true);
  fraNote->hide();

  lblCaption[9] = captionLabel(form, "Master Inhibit Status:", bodyRect(7800, 3960, 1815, 255));
  lblMasterInh = valueLabel(form, 9600, 3960);
  lblCaption[10] = captionLabel(form, "Escrow Status:", bodyRect(7800, 4320, 1815, 255));
  lblBillMode[1] = valueLabel(form, 9600, 4320);
  lblCaption[11] = captionLabel(form, "Stacker Status:", bodyRect(7800, 4560, 1815, 255));
  lblBillMode[0] = valueLabel(form, 9600, 4560);
  lblCaption[13] = captionLabel(form, "Notes Inserted:", bodyRect(7800, 4920, 1815, 255));
  lblBillCount[0] = valueLabel(form, 9600, 4920);
  lblCaption[12] = captionLabel(form, "Notes Accepted:", bodyRect(7800, 5160, 1815, 255));
  lblBillCount[1] = valueLabel(form, 9600, 5160);

  fraDebug = new QGroupBox(QStringLiteral("Debug Data"), form);
  fraDebug->setGeometry(bodyRect(7800, 5520, 3975, 2295));
  optHex = new QRadioButton(QStringLiteral("Hex"), fraDebug);
  optHex->setGeometry(twipsRect(1800, 240, 735, 255));
  optHex->setChecked(true);
  optAscii = new QRadioButton(QStringLiteral("ASCII"), fraDebug);
  optAscii->setGeometry(twipsRect(2760, 240, 1095, 255));
  lblCaption[4] =
      captionLabel(fraDebug, "Command string sent:", twipsRect(120, 600, 1035, 390), true);
  txtCommand = new QPlainTextEdit(fraDebug);
  txtCommand->setGeometry(twipsRect(1080, 600, 2775, 555));
  lblCaption[2] =
      captionLabel(fraDebug, "Reply string received:", twipsRect(120, 1320, 930, 600), true);
  txtReply = new QPlainTextEdit(fraDebug);
  txtReply->setGeometry(twipsRect(1080, 1320, 2775, 795));
  for (QPlainTextEdit* box : {txtCommand, txtReply}) {
    box->setFont(QFont(QStringLiteral("Monospace"), 8));
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  }

  lblCaption[3] = captionLabel(
      form, "Country Scale Factor:", bodyRect(kNoteColumnLeft, 7005, kScaleCaptionWidth, 255));
  lblScaleFactor = valueLabel(form, kNoteColumnLeft + kScaleCaptionWidth, 7005);
  lblCaption[5] = captionLabel(
      form, "Country Decimal Places:", bodyRect(kNoteColumnLeft, 7320, kScaleCaptionWidth, 255));
  lblDecPlaces = valueLabel(form, kNoteColumnLeft + kScaleCaptionWidth, 7320);
  lblCaption[6] = captionLabel(form, "Rx Timeouts:", bodyRect(0, 7080, 1815, 255));
  lblCommsData[0] = valueLabel(form, 1800, 7080);
  lblCaption[7] = captionLabel(form, "Rx Bytes Ignored:", bodyRect(0, 7320, 1815, 255));
  lblCommsData[1] = valueLabel(form, 1800, 7320);
  lblCaption[8] = captionLabel(form, "Rx Bad Checksums:", bodyRect(0, 7560, 1815, 255));
  lblCommsData[2] = valueLabel(form, 1800, 7560);
}

void frmHost::buildToolBars() {
  tlbHost = new HostToolBar(QStringLiteral("tlbHost"), hostBarButtons(), this);
  tlbEnable = new HostToolBar(QStringLiteral("tlbEnable"), enableBarButtons(), this);
  tlbUtility = new HostToolBar(QStringLiteral("tlbUtility"), utilityBarButtons(), this);
  tlbDiagnostic = new HostToolBar(QStringLiteral("tlbDiagnostic"), diagnosticBarButtons(), this);
}

void frmHost::buildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setSizeGripEnabled(false);
  for (std::size_t i = 0; i < staHost.size(); ++i) {
    staHost[i] = new QLabel(bar);
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
