#pragma once
// The symbolic link `--link PATH` makes to the pseudo-terminal. Only ever a link is replaced or
// removed: a file or directory someone keeps at PATH is never touched.

#include <QString>

namespace bnvsim {

class PtyLink {
 public:
  PtyLink() = default;
  ~PtyLink() { remove(); }
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Links `path` to `target`, replacing a symbolic link already there; false (with a reason)
  // when anything else is at `path` or the link cannot be made.
  bool create(const QString& path, const QString& target, QString* error);
  // Removes the link if it still points to our target; another program may have taken the path.
  void remove();

 private:
  QString path_;
  QString target_;
};

}  // namespace bnvsim
