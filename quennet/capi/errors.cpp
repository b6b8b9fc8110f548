// The C interface's errors: one list of return codes, one text each, and the calling thread's
// account of its last failure.

#include <string>

#include "quennet/capi/capi_p.h"

namespace quennet::capi {

namespace {
thread_local std::string lastMessage;
}  // namespace

int fail(int code, const QString& message) {
  lastMessage = message.toStdString();
  return code;
}

}  // namespace quennet::capi

extern "C" {

const char* quennet_strerror(int code) {
  switch (code) {
    case QUENNET_OK:
      return "no error";
    case QUENNET_EINVAL:
      return "unknown method or bad argument";
    case QUENNET_EOPEN:
      return "the port could not be opened";
    case QUENNET_ECLOSED:
      return "the port is closed or failed";
    case QUENNET_ETIMEDOUT:
      return "nothing came within the time given";
    case QUENNET_EREFUSED:
      return "a watch cannot read the device, or it did not accept the enable command";
    case QUENNET_ENOMEM:
      return "out of memory";
    case QUENNET_ERANGE:
      return "index or value out of range";
    default:
      return "unknown error code";
  }
}

const char* quennet_last_message(void) {
  return quennet::capi::lastMessage.c_str();
}

}  // extern "C"
