#pragma once
// The note table (bill, ccTalk ID, count, security, a tick box per enabled note) and the
// country scale factor and decimal places under it.

#include <QString>

#include "tolvar/mainwindow/window/form_parts.h"

class QLabel;
class QTreeWidget;

namespace tolvar {

// The ccTalk ID a validator gives for a position that holds no note.
inline const QString kNoNote = QStringLiteral(".......");

class NoteListPane : public BodyPane {
  Q_OBJECT

 public:
  explicit NoteListPane(QWidget* body);

  QTreeWidget* lstvwNoteID;
  QLabel* lblScaleCaption;  // lblCaption_3
  QLabel* lblScaleFactor;
  QLabel* lblDecPlacesCaption;  // lblCaption_5
  QLabel* lblDecPlaces;
};

}  // namespace tolvar
