#pragma once
// Continuous capture: every frame as a line of text in a file that rotates by size, so a bench
// left polling for weeks keeps the newest frames on disk within a fixed space, whatever the
// traffic pane still shows. `name.log` is written; when it would grow past the size per file it
// becomes `name.log.1`, the one before `name.log.2`, and so on; the oldest beyond the count is
// deleted. Each file starts with the column titles. A line is written straight through, so a
// crash loses nothing written before it; a write that fails (a full disk) is counted and told,
// and the capture goes on trying with the next frame. A line is whole in the file or absent: the
// part of one that a filling disk took is cut off again.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace tolvar {

class CaptureFiles {
 public:
  static constexpr qint64 kMegabyte = 1024 * 1024;
  static constexpr int kDefaultMegabytes = 10;
  static constexpr int kDefaultFiles = 10;
  static constexpr int kMostMegabytes = 1024;
  static constexpr int kMostFiles = 1000;
  struct Setup {
    QString path;
    qint64 bytesPerFile = kDefaultMegabytes * kMegabyte;
    int files = kDefaultFiles;  // name.log and name.log.1 ... name.log.(files-1)
  };

  // Opens `setup.path` to append to (a file already there goes on); false with error() when it
  // cannot be opened.
  bool start(const Setup& setup, const QByteArray& titles);
  void stop();
  bool active() const { return running_; }
  const Setup& setup() const { return setup_; }

  // One line (its newline included). False when it could not be written: error() says why and
  // missed() counts the lines lost since the last good write. The next line that can be written
  // is preceded by a line saying how many were lost.
  bool write(const QByteArray& line);
  QString error() const { return error_; }
  qint64 missed() const { return missed_; }

 private:
  QString rotated(int number) const;
  // Opens the file to append, titles first when it is empty.
  bool open();
  bool rotate();
  bool writeThrough(const QByteArray& bytes);

  Setup setup_;
  QByteArray titles_;
  QFile file_;
  qint64 size_ = 0;
  bool holdsLines_ = false;  // a line beside the titles: a full file is rotated
  qint64 missed_ = 0;
  QString error_;
  bool running_ = false;
  bool rotateFailed_ = false;
  QString shortWrite_;  // why the last write came back short, when the file did not say
};

}  // namespace tolvar
