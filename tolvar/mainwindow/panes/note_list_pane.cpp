#include "tolvar/mainwindow/panes/note_list_pane.h"

#include <QLabel>
#include <QTreeWidget>

namespace tolvar {

namespace {
// Moved right as far as the unit data view was widened, into the free space before the event
// column.
constexpr int kLeft = 3540;
constexpr int kScaleCaptionWidth = 2115;
}  // namespace

NoteListPane::NoteListPane(QWidget* body)
    : BodyPane(QStringLiteral("notes"), bodyRect(kLeft, 2520, 3975, 5055), body) {
  lstvwNoteID =
      reportView(this, QStringLiteral("lstvwNoteID"), place(bodyRect(kLeft, 2520, 3975, 4455)),
                 {QStringLiteral("Bill"), QStringLiteral("ccTalk ID"), QStringLiteral("Bill Count"),
                  QStringLiteral("Sec Level")},
                 {700, 1000, 1000, 1000});
  lblScaleCaption = captionLabel(
      this, 3, "Country Scale Factor:", place(bodyRect(kLeft, 7005, kScaleCaptionWidth, 255)));
  lblScaleFactor = valueAt(QStringLiteral("lblScaleFactor"), kLeft + kScaleCaptionWidth, 7005);
  lblDecPlacesCaption = captionLabel(
      this, 5, "Country Decimal Places:", place(bodyRect(kLeft, 7320, kScaleCaptionWidth, 255)));
  lblDecPlaces = valueAt(QStringLiteral("lblDecPlaces"), kLeft + kScaleCaptionWidth, 7320);
}

}  // namespace tolvar
