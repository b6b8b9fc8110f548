/* The Quennet C API: a ccTalk bus from C and from every language that calls C.
 *
 * A bus handle owns one serial port. quennet_call() runs any of the command methods by name with
 * its arguments as text, parsed as the `quennet` tool parses them, and returns the reply: result
 * code, whether the device acknowledged, the outputs, the frames on the wire and the status text.
 * A watch reads one device's events as `quennet events` does: each new event once, events the
 * buffer no longer held, resets.
 *
 * Every function returns QUENNET_OK or a negative QUENNET_E* code; quennet_strerror() names a
 * code and quennet_last_message() says, for the calling thread, what went wrong in its last call
 * that failed ("unknown method GetSerial", "cannot open /dev/ttyUSB0: Permission denied ...").
 * A handle may be used from several threads at once: calls on one bus queue in the order they
 * arrive and go out one at a time. Nothing throws; no Qt type crosses this interface.
 *
 * A time-out never hides a command that may have run: a call still waiting for its turn when its
 * time-out passes is withdrawn, nothing of it sent (QUENNET_ETIMEDOUT); a call whose frame has
 * gone out is waited for until the line has its outcome, which the reply then carries.
 *
 * The library's threads do not follow a fork(): in a child, every handle opened before the fork
 * fails with QUENNET_ECLOSED (quennet_close() and quennet_free() return at once, leaving the port
 * to the parent), and quennet_open() fails with QUENNET_EOPEN once the parent had opened a port.
 * Open ports in the parent, or in a program the child executes.
 *
 * Link with -lquennet (libquennet.so.2).
 */
#ifndef QUENNET_QUENNET_H
#define QUENNET_QUENNET_H

#include <stddef.h>
#include <stdint.h>

#if defined(QUENNET_C_BUILD)
#define QUENNET_C_EXPORT __attribute__((visibility("default")))
#else
#define QUENNET_C_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The version of this interface; a change that breaks callers changes the library's soname. */
#define QUENNET_C_API_VERSION 2

/** Return codes. No error code equals a command's result (-1 BUSY, 2 to 6), so a result is
    never taken for a failure of the call, nor a failure for a result. */
enum quennet_status {
  QUENNET_OK = 0,           /**< done */
  QUENNET_EINVAL = -101,    /**< a bad argument: unknown method, wrong count, bad input or key */
  QUENNET_EOPEN = -102,     /**< the port could not be opened */
  QUENNET_ECLOSED = -103,   /**< the bus is closed, or its port failed */
  QUENNET_ETIMEDOUT = -104, /**< nothing within the time the caller gave */
  QUENNET_EREFUSED = -105,  /**< a watch cannot read the device, or it refused the enable */
  QUENNET_ENOMEM = -106,    /**< out of memory */
  QUENNET_ERANGE = -107     /**< an index past the end, or a value outside its range */
};

/** The longest span a millisecond setting takes (ten minutes): a call time-out, a repeat guard or
    a poll interval outside 0..QUENNET_MAX_MILLISECONDS fails with QUENNET_ERANGE. */
#define QUENNET_MAX_MILLISECONDS 600000

/** Frame checks (the library's Checksum_Type). */
enum quennet_checksum {
  QUENNET_CHECKSUM8 = 0, /**< 8-bit additive checksum */
  QUENNET_CRC16 = 1      /**< CRC-16/XMODEM (the default) */
};

/** The type of a method's argument or output. */
enum quennet_type {
  QUENNET_TYPE_BYTE = 0, /**< 0..255, an integer */
  QUENNET_TYPE_LONG = 1, /**< a signed integer */
  QUENNET_TYPE_TEXT = 2, /**< a string */
  QUENNET_TYPE_BYTES = 3 /**< unsigned bytes (as text: comma-separated decimals) */
};

/** What a watch record reports. */
enum quennet_record_kind {
  QUENNET_RECORD_EVENT = 1, /**< a new event: counter, a, b, text */
  QUENNET_RECORD_LOST = 2,  /**< `lost` events the buffer no longer held; counter now */
  QUENNET_RECORD_RESET = 3, /**< the device was reset or powered up; counter now */
  /** a read whose counter moved while its events did not; counter as read; read again */
  QUENNET_RECORD_INCONSISTENT = 4,
  /** the device stopped answering: three reads in a row failed; text: the last failure
      ("Timeout Error [0]"); the watch goes on reading */
  QUENNET_RECORD_DEVICE_LOST = 5,
  /** a read succeeded after QUENNET_RECORD_DEVICE_LOST */
  QUENNET_RECORD_DEVICE_BACK = 6
};

typedef struct quennet_bus quennet_bus;     /**< one serial port and what runs on it */
typedef struct quennet_reply quennet_reply; /**< the answer to one call */
typedef struct quennet_watch quennet_watch; /**< one device's events */

/** How a bus is opened; quennet_options_init() sets the defaults. */
typedef struct quennet_options {
  int checksum;    /**< QUENNET_CRC16 (default) or QUENNET_CHECKSUM8 */
  int echo;        /**< non-zero: the line echoes every sent byte (default 1) */
  const char* key; /**< six decimal digits to encrypt with (CRC only); NULL: in the clear */
  /** the longest a quennet_call() waits for its turn on the line; a call still queued then is
      withdrawn, unsent. One whose frame went out is waited for to its outcome. 0: no limit */
  int call_timeout_ms;
} quennet_options;

/** How a watch reads; quennet_watch_options_init() sets the defaults. */
typedef struct quennet_watch_options {
  int interval_ms;      /**< milliseconds between polls (0..QUENNET_MAX_MILLISECONDS); 0: the
                             library's 200 */
  int from_start;       /**< non-zero: report the events the buffer holds at start too */
  const char* inhibits; /**< SetInhibitStatus sent at start and after a reset ("255,255"); NULL:
                             none */
} quennet_watch_options;

/** One record of a watch, as `quennet events --json` prints it. The strings live until the next
    quennet_watch_next() or quennet_watch_close() on the same watch. */
typedef struct quennet_record {
  int kind;         /**< a quennet_record_kind */
  int counter;      /**< the device's event counter (1..255; 0 after a reset) */
  int a;            /**< event: first byte of the pair (non-zero: a credit, the note) */
  int b;            /**< event: second byte (the route, or the status code) */
  int lost;         /**< lost: how many */
  const char* text; /**< event: the event in words; device lost: the last failure; else "" */
  const char* json; /**< the record as one line of JSON */
} quennet_record;

/** The fixed text of a return code ("unknown method or bad argument" ...). */
QUENNET_C_EXPORT const char* quennet_strerror(int code);
/** The calling thread's account of its last call that failed; "" before any. Valid until the
    thread's next call into this library. */
QUENNET_C_EXPORT const char* quennet_last_message(void);
/** The library's version, "1.0.0". */
QUENNET_C_EXPORT const char* quennet_version(void);

/** How many command methods there are (62). */
QUENNET_C_EXPORT size_t quennet_method_count(void);
/** The name of method `index` in the control's order; NULL past the end. */
QUENNET_C_EXPORT const char* quennet_method_name(size_t index);
/** The arguments `method` takes after the device address, or QUENNET_EINVAL. */
QUENNET_C_EXPORT int quennet_method_argument_count(const char* method);
/** The quennet_type of argument `index` (0 first), QUENNET_EINVAL or QUENNET_ERANGE. */
QUENNET_C_EXPORT int quennet_method_argument_type(const char* method, int index);

/** The defaults: CRC-16, echo on, no key, calls wait until done. */
QUENNET_C_EXPORT void quennet_options_init(quennet_options* options);
/** Opens `path` (9600,n,8,1) into *bus. NULL options: the defaults. QUENNET_EOPEN with
    the reason (permission, busy, no such port) in quennet_last_message(). */
QUENNET_C_EXPORT int quennet_open(const char* path, const quennet_options* options,
                                  quennet_bus** bus);
/** Closes the port: calls waiting on it, and every later one, fail with QUENNET_ECLOSED; watches
    end the same way. The handle stays valid until quennet_free(). */
QUENNET_C_EXPORT void quennet_close(quennet_bus* bus);
/** How many milliseconds the line must stay quiet after a good reply before the next frame goes
    out. Default 0: back-to-back calls run at the speed of the wire, and bytes that arrive before
    a frame has left are never taken as its reply. A line whose devices send a reply twice sets
    the span within which they do. Applies to calls made after it; QUENNET_ERANGE outside
    0..QUENNET_MAX_MILLISECONDS. */
QUENNET_C_EXPORT int quennet_set_repeat_guard(quennet_bus* bus, int milliseconds);
/** How often a call answered BUSY goes out again (0 to 100; default 0: the first BUSY is the
    call's result, -1) and the pause before each retry (0 to 2000 ms, default 100; -1 keeps the
    pause set). Each retry is a frame of its own on the line. Applies to calls made after it;
    QUENNET_EINVAL out of range. */
QUENNET_C_EXPORT int quennet_set_busy_retries(quennet_bus* bus, int retries, int pause_ms);
/** The framing of the device at `address` (0 to 255) when it differs from the bus's: its
    checksum (QUENNET_CRC16 or QUENNET_CHECKSUM8) and its key (six decimal digits, CRC only;
    NULL: in the clear). Calls to that address use it from then on. QUENNET_EINVAL for a bad
    address, checksum or key. */
QUENNET_C_EXPORT int quennet_set_device(quennet_bus* bus, int address, int checksum,
                                        const char* key);
/** How long a device that acknowledged ResetDevice is polled for, until it answers, before its
    next call goes out (0 to 60000 ms; default 2000, 0: no wait). Applies to calls made after it;
    QUENNET_EINVAL out of range. */
QUENNET_C_EXPORT int quennet_set_reset_wait(quennet_bus* bus, int milliseconds);
/** Closes the port if open and releases the handle. Close its watches first; no call on it may
    still run. NULL is allowed. */
QUENNET_C_EXPORT void quennet_free(quennet_bus* bus);

/** Calls `method` on the device at `address` with `count` arguments as text, as the `quennet`
    tool takes them after the method's name ("255,255" for a byte array). The address is ignored
    by the methods that take none. On QUENNET_OK *reply holds the answer, also when the device
    did not answer (a result code other than 0): free it with quennet_reply_free(). Fails with
    QUENNET_EINVAL for a bad method or argument (nothing is sent; a byte array longer than its
    command sends is refused by its length, before it is read), QUENNET_ECLOSED when the port is
    closed or failed, QUENNET_ETIMEDOUT when the call was still queued at the call time-out: it
    was withdrawn and nothing of it was sent. A call already on the line at its time-out is
    waited for, since the device may have acted on it: the reply says what came back. */
QUENNET_C_EXPORT int quennet_call(quennet_bus* bus, int address, const char* method,
                                  const char* const* arguments, size_t count,
                                  quennet_reply** reply);

/** The method's result code: 0 a verified reply, -1 BUSY, 2 time-out, 3 checksum ... */
QUENNET_C_EXPORT int quennet_reply_result(const quennet_reply* reply);
/** Non-zero when the device accepted the request (its ACK, or the data it was asked for). */
QUENNET_C_EXPORT int quennet_reply_acknowledged(const quennet_reply* reply);
/** The status text: the engine's caption ("OK", "Timeout Error [0]" ...). */
QUENNET_C_EXPORT const char* quennet_reply_status(const quennet_reply* reply);
/** A GetSerialNo reply's serial number as the device's label reads it ("1234567", least
    significant byte first, as the tool's --json "serial"); "" for every other reply. */
QUENNET_C_EXPORT const char* quennet_reply_serial(const quennet_reply* reply);
/** The frame as it went out on the wire: its size, the bytes in *bytes (NULL when none went). */
QUENNET_C_EXPORT size_t quennet_reply_sent(const quennet_reply* reply, const uint8_t** bytes);
/** The reply frame as it came back: its size, the bytes in *bytes (NULL when none came). */
QUENNET_C_EXPORT size_t quennet_reply_received(const quennet_reply* reply, const uint8_t** bytes);
/** How many outputs the method has; they come in the method's order. */
QUENNET_C_EXPORT size_t quennet_reply_output_count(const quennet_reply* reply);
/** The name of output `index` ("strResponse"); NULL past the end. */
QUENNET_C_EXPORT const char* quennet_reply_output_name(const quennet_reply* reply, size_t index);
/** The quennet_type of output `index`; QUENNET_ERANGE past the end. */
QUENNET_C_EXPORT int quennet_reply_output_type(const quennet_reply* reply, size_t index);
/** A BYTE or LONG output's value; 0 for another type or past the end. */
QUENNET_C_EXPORT long long quennet_reply_output_integer(const quennet_reply* reply, size_t index);
/** A TEXT output's value; "" for another type, NULL past the end. */
QUENNET_C_EXPORT const char* quennet_reply_output_text(const quennet_reply* reply, size_t index);
/** A BYTES output: its size and its bytes in *bytes; none when the call delivered no data. */
QUENNET_C_EXPORT size_t quennet_reply_output_bytes(const quennet_reply* reply, size_t index,
                                                   const uint8_t** bytes);
/** Releases a reply. NULL is allowed. */
QUENNET_C_EXPORT void quennet_reply_free(quennet_reply* reply);

/** The defaults: polls every 200 ms, only events from now on, no inhibits sent. */
QUENNET_C_EXPORT void quennet_watch_options_init(quennet_watch_options* options);
/** Asks the device at `address` what it is (a bill validator or a coin acceptor, whose coin
    identities it reads), enables it (master inhibit off, then the inhibits when given) and
    starts reading its events; after a reset it enables it again. QUENNET_EREFUSED when the
    device is of another kind (a hopper), did not say what it is, or did not accept the enable;
    QUENNET_EINVAL for bad inhibits. NULL options: defaults. */
QUENNET_C_EXPORT int quennet_watch_open(quennet_bus* bus, int address,
                                        const quennet_watch_options* options,
                                        quennet_watch** watch);
/** The next record, oldest first, waiting up to `timeout_ms` (negative: without end).
    QUENNET_ETIMEDOUT when none came; QUENNET_ECLOSED when the port closed or failed, or when
    another thread closes the watch meanwhile. */
QUENNET_C_EXPORT int quennet_watch_next(quennet_watch* watch, int timeout_ms,
                                        quennet_record* record);
/** Stops reading and releases the watch. Threads waiting in quennet_watch_next() on it return
    QUENNET_ECLOSED first; none may call it afterwards. NULL is allowed. */
QUENNET_C_EXPORT void quennet_watch_close(quennet_watch* watch);

#ifdef __cplusplus
}
#endif

#endif
