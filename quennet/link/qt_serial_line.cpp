#include "quennet/link/qt_serial_line.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include "quennet/link/low_latency_p.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

int errorNumber(QSerialPort::SerialPortError error) {
  switch (error) {
    case QSerialPort::NoError:
      return 0;
    case QSerialPort::DeviceNotFoundError:
      return kErrInvalidPortNumber;
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
      return kErrPortInUse;
    case QSerialPort::ResourceError:
      return kErrHardwareUnavailable;
    case QSerialPort::NotOpenError:
      return kErrPortNotOpen;
    default:
      return kErrCommState;
  }
}

bool inApplicationThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && app->thread() == QThread::currentThread();
}

// True when a local event loop may run here: in the application's thread, so the container keeps
// painting while we wait, and in a thread already running its loop, so the wait can be woken from
// outside by closing the port.
bool canRunEventLoop() {
  if (QCoreApplication::instance() == nullptr) return false;
  return inApplicationThread() || QThread::currentThread()->loopLevel() > 0;
}

// Sleeps in ppoll until one of `fds` is ready or `deadline` passes; the number ready, 0 at the
// deadline, -1 on a failure other than a signal. Past the deadline it looks without waiting.
int pollUntil(pollfd* fds, nfds_t count, const QDeadlineTimer& deadline) {
  for (;;) {
    const qint64 leftNs = deadline.remainingTimeNSecs();
    timespec left{};
    left.tv_sec = static_cast<time_t>(leftNs / 1'000'000'000);
    left.tv_nsec = static_cast<long>(leftNs % 1'000'000'000);
    const int ready = ::ppoll(fds, count, leftNs < 0 ? nullptr : &left, nullptr);
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

// What a failed write() of the driver means for the user: the device gone, or another failure.
int writeFailureNumber(int error) {
  switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EBADF:
      return kErrHardwareUnavailable;
    default:
      return kErrCommState;
  }
}

// True when the file's permissions, not another program's hold on the port, keep us out.
bool permissionDenied(const QString& device) {
  const QByteArray path = QFile::encodeName(device);
  return ::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES;
}

}  // namespace

bool parsePortSettings(const QString& text, PortSettings* out) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() != 4) return false;
  PortSettings s;
  bool ok = false;
  s.baud = parts[0].trimmed().toInt(&ok);
  if (!ok || s.baud <= 0) return false;
  const QString parity = parts[1].trimmed().toLower();
  if (parity == QLatin1String("n")) {
    s.parity = QSerialPort::NoParity;
  } else if (parity == QLatin1String("e")) {
    s.parity = QSerialPort::EvenParity;
  } else if (parity == QLatin1String("o")) {
    s.parity = QSerialPort::OddParity;
  } else if (parity == QLatin1String("m")) {
    s.parity = QSerialPort::MarkParity;
  } else if (parity == QLatin1String("s")) {
    s.parity = QSerialPort::SpaceParity;
  } else {
    return false;
  }
  const int dataBits = parts[2].trimmed().toInt(&ok);
  if (!ok || dataBits < 5 || dataBits > 8) return false;
  s.dataBits = static_cast<QSerialPort::DataBits>(dataBits);
  const QString stop = parts[3].trimmed();
  if (stop == QLatin1String("1")) {
    s.stopBits = QSerialPort::OneStop;
  } else if (stop == QLatin1String("1.5")) {
    s.stopBits = QSerialPort::OneAndHalfStop;
  } else if (stop == QLatin1String("2")) {
    s.stopBits = QSerialPort::TwoStop;
  } else {
    return false;
  }
  *out = s;
  return true;
}

QString platformPortName(int portNumber) {
#ifdef Q_OS_WIN
  return QStringLiteral("COM%1").arg(portNumber);
#else
  return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
#endif
}

QString portLocation(const QString& name) {
  const QFileInfo file(name);
  if (name.contains(u'/') || (!name.isEmpty() && file.exists())) return file.absoluteFilePath();
  return name;
}

QtSerialLine::QtSerialLine()
    : port_(std::make_unique<QSerialPort>()), waitTimer_(std::make_unique<QTimer>()) {
  port_->setReadBufferSize(0);
  waitTimer_->setSingleShot(true);
  waitTimer_->setTimerType(Qt::PreciseTimer);
  const auto quitWait = [this] {
    if (waitLoop_) waitLoop_->quit();
  };
  QObject::connect(waitTimer_.get(), &QTimer::timeout, quitWait);
  QObject::connect(port_.get(), &QSerialPort::aboutToClose, quitWait);
  QObject::connect(port_.get(), &QSerialPort::readyRead, [this] {
    if (waitLoop_ && port_->bytesAvailable() >= waitCount_) waitLoop_->quit();
  });
  QObject::connect(port_.get(), &QSerialPort::errorOccurred,
                   [this](QSerialPort::SerialPortError e) {
                     if (waitLoop_ && e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
                       recordPortError();
                       waitLoop_->quit();
                     }
                   });
}

QtSerialLine::~QtSerialLine() = default;

void QtSerialLine::setWakeUp(int fd, std::function<void()> onWake) {
  wakeFd_ = fd;
  onWake_ = std::move(onWake);
}

bool QtSerialLine::waitsInEventLoop() const {
  // A thread that can be woken through its descriptor needs no event loop for it.
  if (wakeFd_ >= 0 && !inApplicationThread()) return false;
  return canRunEventLoop();
}

void QtSerialLine::takeWakeUp() {
  std::uint64_t count = 0;
  while (::read(wakeFd_, &count, sizeof count) > 0) {
  }
  if (onWake_) onWake_();
}

void QtSerialLine::setDeviceName(const QString& name) {
  deviceName_ = name;
  port_->setPortName(portLocation(name));
}

bool QtSerialLine::setSettings(const QString& settings) {
  PortSettings parsed;
  if (!parsePortSettings(settings, &parsed)) return false;
  settingsText_ = settings;
  settings_ = parsed;
  if (port_->isOpen()) applySettings();
  return true;
}

void QtSerialLine::applySettings() {
  port_->setBaudRate(settings_.baud);
  port_->setParity(settings_.parity);
  port_->setDataBits(settings_.dataBits);
  port_->setStopBits(settings_.stopBits);
  port_->setFlowControl(QSerialPort::NoFlowControl);
}

void QtSerialLine::recordPortError() {
  error_ = LineError{errorNumber(port_->error()), port_->errorString()};
  if (error_.number == 0) error_ = LineError{kErrCommState, port_->errorString()};
}

bool QtSerialLine::open() {
  error_ = {};
  if (port_->isOpen()) return true;
  if (deviceName_.isEmpty()) {
    error_ = LineError{kErrInvalidPortNumber, errorCaption(kErrInvalidPortNumber)};
    return false;
  }
  if (!port_->open(QIODevice::ReadWrite)) {
    recordPortError();
    if (permissionDenied(deviceName_)) error_.description = permissionDeniedText(deviceName_);
    return false;
  }
  applySettings();
  port_->clearError();
#ifdef __linux__
  lowLatency_ = requestLowLatency(static_cast<int>(port_->handle()), kernelSerialIoctl());
#endif
  return true;
}

void QtSerialLine::close() {
  if (port_->isOpen()) port_->close();
}

bool QtSerialLine::isOpen() const {
  return port_->isOpen();
}

bool QtSerialLine::write(const QByteArray& bytes) {
  if (!port_->isOpen()) {
    error_ = LineError{kErrPortNotOpen, errorCaption(kErrPortNotOpen)};
    return false;
  }
  writeClock_.start();
  written_ = static_cast<int>(bytes.size());
  if (!waitsInEventLoop() && port_->bytesToWrite() == 0) return writeToDriver(bytes);
  if (port_->write(bytes) != bytes.size()) {
    recordPortError();
    return false;
  }
  port_->flush();
  // Without an event loop nothing else would drain QSerialPort's write buffer.
  if (port_->bytesToWrite() > 0 && !waitsInEventLoop()) port_->waitForBytesWritten(1000);
  if (port_->error() != QSerialPort::NoError && port_->error() != QSerialPort::TimeoutError) {
    recordPortError();
    return false;
  }
  return true;
}

bool QtSerialLine::writeToDriver(const QByteArray& bytes) {
  const int fd = static_cast<int>(port_->handle());
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n > 0) {
      done += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      // The driver's buffer is full: QSerialPort takes the rest and waits for it to go.
      const QByteArray rest = bytes.mid(done);
      if (port_->write(rest) != rest.size() || !port_->waitForBytesWritten(1000)) {
        recordPortError();
        return false;
      }
      return true;
    } else {
      error_ = LineError{writeFailureNumber(errno), qt_error_string(errno)};
      return false;
    }
  }
  return true;
}

int QtSerialLine::waitUntilSent() {
  if (!port_->isOpen()) return -1;
  // Bytes still in QSerialPort's own buffer have not reached the driver: no drain can tell when
  // they leave, so nothing is claimed about what came meanwhile.
  if (port_->bytesToWrite() > 0) return 0;
#ifdef Q_OS_UNIX
  const int fd = static_cast<int>(port_->handle());
  // tcdrain sleeps in the driver until the transmitter is empty.
  QElapsedTimer drain;
  drain.start();
  while (::tcdrain(fd) != 0) {
    if (errno != EINTR) return 0;  // not a terminal that drains: nothing to tell
  }
  const qint64 drainedNs = drain.nsecsElapsed();
  double bits = 1.0 + static_cast<int>(settings_.dataBits) +
                (settings_.parity == QSerialPort::NoParity ? 0 : 1);
  bits += settings_.stopBits == QSerialPort::OneStop          ? 1.0
          : settings_.stopBits == QSerialPort::OneAndHalfStop ? 1.5
                                                              : 2.0;
  const double byteNs = bits * 1e9 / settings_.baud;
  const double wireNs = written_ * byteNs;
  // A port that puts its bytes on a wire sleeps in the drain for the frame's time at its baud
  // rate; one that drained at once (a pseudo-terminal, whose peer may have read the frame and
  // answered already, or a thread that came to the drain late) cannot tell what came before the
  // frame was out.
  if (static_cast<double>(drainedNs) < wireNs / 2) return 0;
  // A reply's first byte is in a byte's time after the frame's last at the earliest: what the
  // driver holds before then came while the frame went out. A thread that looks later (it was
  // kept from running) cannot tell such bytes from the reply's, and claims nothing.
  if (static_cast<double>(writeClock_.nsecsElapsed()) >= wireNs + byteNs) return 0;
  lookWithoutWaiting();
#endif
  return static_cast<int>(port_->bytesAvailable());
}

int QtSerialLine::bytesAvailable() {
  return port_->isOpen() ? static_cast<int>(port_->bytesAvailable()) : 0;
}

QByteArray QtSerialLine::read(int maxBytes) {
  return port_->isOpen() ? port_->read(maxBytes) : QByteArray();
}

void QtSerialLine::waitForBytes(int count, const QDeadlineTimer& deadline) {
  if (!port_->isOpen() || port_->bytesAvailable() >= count) return;
  // A wait ends with a look at what the driver holds: a thread that comes to it late (kept from
  // running) still finds what came in time.
  if (!waitsInEventLoop()) return waitOnDescriptor(count, deadline);
  const qint64 remaining = deadline.remainingTime();
  if (remaining <= 0) return lookWithoutWaiting();
  QEventLoop loop;
  // The wake-ups are connected once (constructor); a wait only points them at its loop.
  QEventLoop* const outer = waitLoop_;
  const int outerCount = waitCount_;
  waitLoop_ = &loop;
  waitCount_ = count;
  waitTimer_->start(static_cast<int>(remaining));
  loop.exec();
  waitTimer_->stop();
  waitLoop_ = outer;
  waitCount_ = outerCount;
  if (port_->isOpen() && port_->bytesAvailable() < count) lookWithoutWaiting();
}

void QtSerialLine::lookWithoutWaiting() {
  // QSerialPort reads what came in only when asked, so it is asked without waiting.
  int pending = 0;
  if (::ioctl(static_cast<int>(port_->handle()), FIONREAD, &pending) == 0 && pending > 0) {
    port_->waitForReadyRead(0);
  }
}

void QtSerialLine::waitOnDescriptor(int count, const QDeadlineTimer& deadline) {
  for (bool last = false; !last && port_->isOpen() && port_->bytesAvailable() < count;) {
    last = deadline.hasExpired();  // past the deadline, one look without waiting
    pollfd fds[2] = {{static_cast<int>(port_->handle()), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = pollUntil(fds, wakeFd_ >= 0 ? 2 : 1, deadline);
    if (ready <= 0) break;
    if (fds[0].revents != 0) {
      // QSerialPort reads what is there into its buffer, or finds the port failed.
      if (!port_->waitForReadyRead(0)) {
        const QSerialPort::SerialPortError e = port_->error();
        if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
          recordPortError();
          break;
        }
        // Hung up with nothing to read: the device is gone, and the descriptor would wake us
        // again at once.
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
          error_ = LineError{kErrHardwareUnavailable, errorCaption(kErrHardwareUnavailable)};
          break;
        }
      }
    }
    if (fds[1].revents != 0) takeWakeUp();
  }
}

void QtSerialLine::pause(int ms) {
  if (waitsInEventLoop()) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    return;
  }
  // The pause lasts its time; a wake-up on the way is taken (it may close the port) and the
  // pause goes on.
  const QDeadlineTimer until(ms, Qt::PreciseTimer);
  pollfd wake{wakeFd_, POLLIN, 0};
  while (pollUntil(&wake, wakeFd_ >= 0 ? 1 : 0, until) > 0) takeWakeUp();
}

void QtSerialLine::discard() {
  error_ = {};
  if (port_->isOpen()) {
    port_->clear(QSerialPort::AllDirections);
    port_->readAll();
  }
}

}  // namespace quennet
