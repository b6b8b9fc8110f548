#include "tolvar/mainwindow/traffic/capture_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolvar {

QString CaptureFiles::rotated(int number) const {
  return number == 0 ? setup_.path : QStringLiteral("%1.%2").arg(setup_.path).arg(number);
}

bool CaptureFiles::start(const Setup& setup, const QByteArray& titles) {
  stop();
  setup_ = setup;
  setup_.files = std::max(1, setup_.files);
  setup_.bytesPerFile = std::max<qint64>(1, setup_.bytesPerFile);
  titles_ = titles;
  missed_ = 0;
  error_.clear();
  if (!open()) {
    error_ = file_.errorString();
    // Not open at all: nothing to go on with. Open, with the titles unwritten: later lines try.
    if (!file_.isOpen()) return false;
  }
  running_ = true;
  return true;
}

void CaptureFiles::stop() {
  running_ = false;
  file_.close();
}

bool CaptureFiles::open() {
  file_.setFileName(setup_.path);
  if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) return false;
  size_ = file_.size();
  holdsLines_ = size_ > titles_.size();
  return size_ > 0 || writeThrough(titles_);
}

bool CaptureFiles::writeThrough(const QByteArray& bytes) {
  errno = 0;
  const qint64 written = file_.write(bytes);
  if (written == bytes.size()) {
    size_ += written;
    return true;
  }
  // A disk that filled part way through: the part written is cut off again, so every line in
  // the file is whole. The file's own error says why, or the system's when the write came back
  // short without one.
  const int why = errno;
  if (written > 0 && !file_.isSequential()) file_.resize(size_);
  shortWrite_ = written >= 0 && why != 0 ? QString::fromLocal8Bit(std::strerror(why)) : QString();
  return false;
}

bool CaptureFiles::rotate() {
  file_.close();
  QFile::remove(rotated(setup_.files - 1));
  for (int number = setup_.files - 2; number >= 0; --number) {
    if (QFile::exists(rotated(number))) QFile::rename(rotated(number), rotated(number + 1));
  }
  // With one file only, the full one is started afresh.
  QFile::remove(setup_.path);
  // A full file that cannot be moved aside is not written on past its size.
  if (QFile::exists(setup_.path)) {
    rotateFailed_ = true;
    return false;
  }
  return open();
}

bool CaptureFiles::write(const QByteArray& line) {
  if (!running_) return false;
  QByteArray bytes = line;
  if (missed_ > 0) {
    bytes.prepend(
        QStringLiteral("Frames not written: %1 (%2)\n").arg(missed_).arg(error_).toUtf8());
  }
  // A file that could not be opened again is tried again, never rotated again.
  bool written = file_.isOpen() || open();
  if (written && holdsLines_ && size_ + bytes.size() > setup_.bytesPerFile) written = rotate();
  written = written && writeThrough(bytes);
  if (!written) {
    if (rotateFailed_) {
      error_ = QStringLiteral("%1 cannot be renamed or removed").arg(setup_.path);
    } else {
      error_ = shortWrite_.isEmpty() ? file_.errorString() : shortWrite_;
    }
    rotateFailed_ = false;
    shortWrite_.clear();
    ++missed_;
    return false;
  }
  holdsLines_ = true;
  missed_ = 0;
  error_.clear();
  return true;
}

}  // namespace tolvar
