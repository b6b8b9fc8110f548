#pragma once
// One holder per name on this machine: an abstract Unix socket bound to the name. The kernel lets
// it go when the process ends, however it ends, so no stale lock survives a crash.

#include <sys/types.h>

#include <QString>

namespace quennetd {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process now holds `name`. False with `holder` the process id of the one that
  // does (0 when it cannot be told), or with `error` for any other failure.
  bool acquire(const QString& name, pid_t* holder, QString* error);
  void release();

 private:
  int fd_ = -1;
};

}  // namespace quennetd
