/* The C interface from C: calls, refusals of bad input, events, a closed port and several threads
 * on one handle, against bnvsim started as a program of its own. Exit status 0 when every check
 * held; each failed check prints its line. A check that would hang ends the test by its alarm. */
#define _GNU_SOURCE
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quennet/quennet.h"

extern char** environ;

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

#define CHECK_TEXT(actual, expected)                                            \
  do {                                                                          \
    const char* a_ = (actual);                                                  \
    if (!a_ || strcmp(a_, (expected)) != 0) {                                   \
      fprintf(stderr, "%s:%d: got \"%s\", wanted \"%s\"\n", __FILE__, __LINE__, \
              a_ ? a_ : "(null)", (expected));                                  \
      ++failures;                                                               \
    }                                                                           \
  } while (0)

/* bnvsim with pipes on its console. */
static pid_t simulator = -1;
static FILE* console_in = NULL;
static FILE* console_out = NULL;

static int start_simulator(char* port, size_t size) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char program[] = QUENNET_BNVSIM;
  char timeout[] = "--escrow-timeout=0";
  char hopper[] = "--hopper";
  /* Every coin within the dispense command: the time-out cases count coins as the frame lands. */
  char instant[] = "--hopper-rate=0";
  char device[] = "--device";
  char acceptor[] = "coin-acceptor=checksum8";
  char* argv[] = {program, timeout, hopper, instant, device, acceptor, NULL};
  int spawned = posix_spawn(&simulator, program, &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) return 0;
  console_in = fdopen(in[1], "w");
  console_out = fdopen(out[0], "r");
  if (!fgets(port, (int)size, console_out)) return 0;
  port[strcspn(port, "\n")] = '\0';
  return 1;
}

/* One console command and the first line of its answer. */
static void console(const char* command, char* answer, size_t size) {
  fprintf(console_in, "%s\n", command);
  fflush(console_in);
  if (!fgets(answer, (int)size, console_out)) answer[0] = '\0';
  answer[strcspn(answer, "\n")] = '\0';
}

static void stop_simulator(void) {
  if (simulator <= 0) return;
  kill(simulator, SIGTERM);
  waitpid(simulator, NULL, 0);
  fclose(console_in);
  fclose(console_out);
}

/* Misuse is refused before anything is sent, with the tool's own words. */
static void bad_calls(quennet_bus* bus) {
  static const struct {
    const char* method;
    const char* arguments[2];
    size_t count;
    int address;
    const char* message;
  } cases[] = {
      {"GetSerial", {NULL}, 0, 40, "unknown method GetSerial"},
      {"SetInhibitStatus",
       {NULL},
       0,
       40,
       "SetInhibitStatus takes 1 argument(s) (Inhibits), 0 given"},
      {"GetSerialNo", {"1"}, 1, 40, "GetSerialNo takes 0 argument(s), 1 given"},
      {"SetInhibitStatus", {"255,256"}, 1, 40, "Inhibits: 256 lies outside 0..255"},
      {"RouteBill", {"stack"}, 1, 40, "Accept: 'stack' is not a decimal number"},
      {"GetSerialNo", {NULL}, 0, 256, "address 256 lies outside 0..255"},
      {"SetInhibitStatus", {"1,2,3"}, 1, 40, "Inhibits takes at most 2 values, 3 given"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    quennet_reply* reply = (quennet_reply*)1;
    CHECK(quennet_call(bus, cases[i].address, cases[i].method, cases[i].arguments, cases[i].count,
                       &reply) == QUENNET_EINVAL);
    CHECK(reply == NULL);
    CHECK_TEXT(quennet_last_message(), cases[i].message);
  }
  /* Every millisecond setting has its range; a span refused leaves the handle as it was. */
  static const struct {
    int which; /* 0 repeat guard, 1 call time-out, 2 poll interval */
    int milliseconds;
  } spans[] = {{0, INT_MAX}, {0, -1}, {0, QUENNET_MAX_MILLISECONDS + 1}, {1, INT_MAX}, {1, -1},
               {2, INT_MAX}, {2, -1}};
  for (size_t i = 0; i < sizeof spans / sizeof spans[0]; ++i) {
    int code = QUENNET_OK;
    if (spans[i].which == 0) {
      code = quennet_set_repeat_guard(bus, spans[i].milliseconds);
    } else if (spans[i].which == 1) {
      quennet_options options;
      quennet_options_init(&options);
      options.call_timeout_ms = spans[i].milliseconds;
      quennet_bus* other = (quennet_bus*)1;
      code = quennet_open("/dev/null", &options, &other);
      CHECK(other == NULL);
    } else {
      quennet_watch_options options;
      quennet_watch_options_init(&options);
      options.interval_ms = spans[i].milliseconds;
      quennet_watch* watch = (quennet_watch*)1;
      code = quennet_watch_open(bus, 40, &options, &watch);
      CHECK(watch == NULL);
    }
    CHECK(code == QUENNET_ERANGE);
    CHECK(strstr(quennet_last_message(), "lies outside 0..600000 ms") != NULL);
    quennet_reply* reply = NULL;
    CHECK(quennet_call(bus, 40, "SendPoll", NULL, 0, &reply) == QUENNET_OK);
    CHECK(reply && quennet_reply_acknowledged(reply));
    quennet_reply_free(reply);
  }
  CHECK(quennet_set_repeat_guard(bus, QUENNET_MAX_MILLISECONDS) == QUENNET_OK);
  CHECK(quennet_set_repeat_guard(bus, 0) == QUENNET_OK);

  CHECK(quennet_method_argument_count("SetInhibitStatus") == 1);
  CHECK(quennet_method_argument_type("SetInhibitStatus", 0) == QUENNET_TYPE_BYTES);
  CHECK(quennet_method_argument_type("SetInhibitStatus", 1) == QUENNET_ERANGE);
  CHECK(quennet_method_argument_count("Nope") == QUENNET_EINVAL);
  CHECK(quennet_method_count() == 62);
  CHECK_TEXT(quennet_method_name(0), "SendPoll");
  CHECK(quennet_method_name(62) == NULL);

  /* No return code of the interface reads as a command's result (-1 BUSY, 0 a verified reply,
     2 to 6): a reply asked of nothing answers EINVAL, never a result a device could give, and
     each code has words of its own. */
  static const int errors[] = {QUENNET_EINVAL,   QUENNET_EOPEN,  QUENNET_ECLOSED, QUENNET_ETIMEDOUT,
                               QUENNET_EREFUSED, QUENNET_ENOMEM, QUENNET_ERANGE};
  for (size_t i = 0; i < sizeof errors / sizeof errors[0]; ++i) {
    for (int result = -1; result <= 6; ++result) CHECK(errors[i] != result);
    CHECK(strcmp(quennet_strerror(errors[i]), quennet_strerror(12345)) != 0);
  }
  CHECK(quennet_reply_result(NULL) == QUENNET_EINVAL);
  CHECK(quennet_reply_output_type(NULL, 0) == QUENNET_ERANGE);
}

/* A byte array far over its command's length is refused by its length, not copied: in a child
   whose address space has room for the argument and little more, the call still answers EINVAL
   with the parse's own words (a copy of 64 MB of text as values would need gigabytes). */
static void huge_argument(quennet_bus* bus) {
  enum { kValues = 32 * 1024 * 1024 };
  char* text = malloc(2 * (size_t)kValues);
  if (!text) return;
  for (size_t i = 0; i < kValues; ++i) memcpy(text + 2 * i, "1,", 2);
  text[2 * (size_t)kValues - 1] = '\0';
  fflush(NULL);
  const pid_t child = fork();
  if (child == 0) {
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (!statm || fscanf(statm, "%ld", &pages) != 1) _exit(2);
    fclose(statm);
    const rlim_t room = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + 512u * 1024u * 1024u;
    const struct rlimit limit = {room, room};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    const char* arguments[] = {text};
    quennet_reply* reply = NULL;
    const int code = quennet_call(bus, 40, "SetInhibitStatus", arguments, 1, &reply);
    const char* wanted = "Inhibits takes at most 2 values, 33554432 given";
    _exit(code == QUENNET_EINVAL && strcmp(quennet_last_message(), wanted) == 0 ? 0 : 1);
  }
  int status = -1;
  CHECK(child > 0 && waitpid(child, &status, 0) == child);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  free(text);
}

static int output_index(const quennet_reply* reply, const char* name) {
  for (size_t i = 0; i < quennet_reply_output_count(reply); ++i) {
    if (strcmp(quennet_reply_output_name(reply, i), name) == 0) return (int)i;
  }
  return -1;
}

/* A data reply and an ACK, as they went over the wire. */
static void calls(quennet_bus* bus) {
  quennet_reply* reply = NULL;
  CHECK(quennet_call(bus, 40, "GetSerialNo", NULL, 0, &reply) == QUENNET_OK);
  CHECK(quennet_reply_result(reply) == 0);
  CHECK(quennet_reply_acknowledged(reply));
  CHECK_TEXT(quennet_reply_status(reply), "OK");
  const uint8_t* bytes = NULL;
  /* To 40 without data, header 242; the answer to the host (1) with three bytes, header 0. */
  CHECK(quennet_reply_sent(reply, &bytes) == 5);
  CHECK(bytes && bytes[0] == 40 && bytes[1] == 0 && bytes[3] == 242);
  CHECK(quennet_reply_received(reply, &bytes) == 8);
  CHECK(bytes && bytes[0] == 1 && bytes[1] == 3 && bytes[3] == 0);
  const int serial = output_index(reply, "strResponse");
  CHECK(serial >= 0 && quennet_reply_output_type(reply, (size_t)serial) == QUENNET_TYPE_TEXT);
  CHECK(serial >= 0 && strlen(quennet_reply_output_text(reply, (size_t)serial)) > 0);
  CHECK_TEXT(quennet_reply_serial(reply), "1234567"); /* as the label reads it */
  quennet_reply_free(reply);

  const char* all[] = {"255,255"};
  CHECK(quennet_call(bus, 40, "SetInhibitStatus", all, 1, &reply) == QUENNET_OK);
  CHECK(quennet_reply_result(reply) == 0 && quennet_reply_acknowledged(reply));
  CHECK_TEXT(quennet_reply_serial(reply), "");
  quennet_reply_free(reply);
  CHECK(quennet_call(bus, 40, "GetInhibitStatus", NULL, 0, &reply) == QUENNET_OK);
  const int mask = output_index(reply, "Response");
  CHECK(mask >= 0 && quennet_reply_output_type(reply, (size_t)mask) == QUENNET_TYPE_BYTES);
  CHECK(mask >= 0 && quennet_reply_output_bytes(reply, (size_t)mask, &bytes) == 2 && bytes &&
        bytes[0] == 255 && bytes[1] == 255);
  quennet_reply_free(reply);

  /* Nobody at 99: the reply carries the time-out, nothing is acknowledged or received. */
  CHECK(quennet_call(bus, 99, "SendPoll", NULL, 0, &reply) == QUENNET_OK);
  CHECK(quennet_reply_result(reply) == 2);
  CHECK(!quennet_reply_acknowledged(reply));
  CHECK(quennet_reply_received(reply, &bytes) == 0 && bytes == NULL);
  CHECK(quennet_reply_sent(reply, &bytes) == 5 && bytes && bytes[0] == 99);
  quennet_reply_free(reply);
}

static quennet_bus* shared_bus = NULL;

static void* poll_many(void* unused) {
  (void)unused;
  int good = 0;
  for (int i = 0; i < 40; ++i) {
    quennet_reply* reply = NULL;
    if (quennet_call(shared_bus, 40, "SendPoll", NULL, 0, &reply) == QUENNET_OK &&
        quennet_reply_result(reply) == 0 && quennet_reply_acknowledged(reply)) {
      ++good;
    }
    quennet_reply_free(reply);
  }
  return (void*)(long)good;
}

/* Three threads on one handle: every call answered, none lost or crossed. */
static void threads(quennet_bus* bus) {
  shared_bus = bus;
  pthread_t thread[3];
  for (int i = 0; i < 3; ++i) CHECK(pthread_create(&thread[i], NULL, poll_many, NULL) == 0);
  for (int i = 0; i < 3; ++i) {
    void* good = NULL;
    pthread_join(thread[i], &good);
    CHECK((long)good == 40);
  }
}

/* The hopper's dispensed count from the console. */
static long dispensed(void) {
  char answer[256];
  console("hopper", answer, sizeof answer);
  const char* at = strstr(answer, "dispensed ");
  return at ? strtol(at + strlen("dispensed "), NULL, 10) : -1;
}

static quennet_bus* slow_bus = NULL;
static int late_code = 0;
static int late_acknowledged = 0;

static void* dispense_one(void* unused) {
  (void)unused;
  const char* one[] = {"1"};
  quennet_reply* reply = NULL;
  late_code = quennet_call(slow_bus, 3, "Dispense_Coins", one, 1, &reply);
  late_acknowledged = reply && quennet_reply_acknowledged(reply);
  quennet_reply_free(reply);
  return NULL;
}

/* The hopper answers in 150 ms, past the calls' 100 ms: a call whose frame went out is waited for
   and reports what the hopper did; one still queued behind it is withdrawn, and never pays. */
static void time_outs(const char* port) {
  char answer[256];
  quennet_options options;
  quennet_options_init(&options);
  options.call_timeout_ms = 100;
  quennet_bus* bus = NULL;
  CHECK(quennet_open(port, &options, &bus) == QUENNET_OK);
  if (!bus) return;
  slow_bus = bus;
  quennet_reply* reply = NULL;
  CHECK(quennet_call(bus, 3, "Enable_Hopper", NULL, 0, &reply) == QUENNET_OK);
  CHECK(reply && quennet_reply_acknowledged(reply));
  quennet_reply_free(reply);
  console("delay 150", answer, sizeof answer);
  const long before = dispensed();
  const char* two[] = {"2"};
  for (int i = 0; i < 2; ++i) {
    CHECK(quennet_call(bus, 3, "Dispense_Coins", two, 1, &reply) == QUENNET_OK);
    CHECK(reply && quennet_reply_result(reply) == 0 && quennet_reply_acknowledged(reply));
    quennet_reply_free(reply);
  }
  CHECK(dispensed() == before + 4);

  pthread_t first;
  CHECK(pthread_create(&first, NULL, dispense_one, NULL) == 0);
  /* The hopper counts a payout when the frame arrives, before its late answer. */
  for (int i = 0; i < 500 && dispensed() != before + 5; ++i) usleep(2000);
  const char* one[] = {"1"};
  reply = (quennet_reply*)1;
  CHECK(quennet_call(bus, 3, "Dispense_Coins", one, 1, &reply) == QUENNET_ETIMEDOUT);
  CHECK(reply == NULL);
  CHECK(strstr(quennet_last_message(), "nothing was sent") != NULL);
  pthread_join(first, NULL);
  CHECK(late_code == QUENNET_OK && late_acknowledged);
  usleep(400 * 1000);
  CHECK(dispensed() == before + 5);
  console("delay 0", answer, sizeof answer);
  quennet_free(bus);
}

static quennet_watch* waited_watch = NULL;

static void* wait_for_ever(void* unused) {
  (void)unused;
  quennet_record record;
  int code = QUENNET_OK;
  while (code == QUENNET_OK) code = quennet_watch_next(waited_watch, -1, &record);
  return (void*)(long)code;
}

/* A watch closed while another thread waits on it without end: that thread leaves with
   QUENNET_ECLOSED and the close returns, whether or not the bus was closed first. */
static void watch_closes(const char* port) {
  for (int bus_first = 0; bus_first < 2; ++bus_first) {
    quennet_bus* bus = NULL;
    CHECK(quennet_open(port, NULL, &bus) == QUENNET_OK);
    if (!bus) return;
    quennet_watch_options options;
    quennet_watch_options_init(&options);
    options.interval_ms = 50;
    CHECK(quennet_watch_open(bus, 40, &options, &waited_watch) == QUENNET_OK);
    pthread_t waiter;
    CHECK(pthread_create(&waiter, NULL, wait_for_ever, NULL) == 0);
    usleep(200 * 1000);
    alarm(20);
    if (bus_first) quennet_close(bus);
    quennet_watch_close(waited_watch);
    void* code = NULL;
    pthread_join(waiter, &code);
    alarm(0);
    CHECK(code == (void*)(long)QUENNET_ECLOSED);
    quennet_free(bus);
  }
}

/* Polls until the bus is closed under it: 1 when a call ended with ECLOSED, 0 on any other
   failure or when the close never reached it. */
static void* poll_until_closed(void* unused) {
  (void)unused;
  for (int i = 0; i < 100000; ++i) {
    quennet_reply* reply = NULL;
    const int code = quennet_call(shared_bus, 40, "SendPoll", NULL, 0, &reply);
    quennet_reply_free(reply);
    if (code == QUENNET_ECLOSED) return (void*)1L;
    if (code != QUENNET_OK) return (void*)0L;
  }
  return (void*)0L;
}

static int next_of_kind(quennet_watch* watch, int kind, quennet_record* record) {
  for (int i = 0; i < 20; ++i) {
    if (quennet_watch_next(watch, 3000, record) != QUENNET_OK) return 0;
    if (record->kind == kind) return 1;
  }
  return 0;
}

/* A note into escrow, stacked by a call while the watch polls, then a reset. */
static void events(quennet_bus* bus) {
  char answer[256];
  quennet_watch* watch = NULL;
  quennet_watch_options options;
  quennet_watch_options_init(&options);
  options.interval_ms = 50;
  options.inhibits = "255,255";
  CHECK(quennet_watch_open(bus, 40, &options, &watch) == QUENNET_OK);
  quennet_record record;
  CHECK(quennet_watch_next(watch, 300, &record) == QUENNET_ETIMEDOUT);

  console("insert 3", answer, sizeof answer);
  CHECK(strstr(answer, "escrow") != NULL);
  CHECK(next_of_kind(watch, QUENNET_RECORD_EVENT, &record));
  CHECK(record.a == 3 && record.b == 1);
  CHECK(strstr(record.json, "\"kind\":\"credit\"") != NULL);
  quennet_reply* reply = NULL;
  const char* stack[] = {"1"};
  CHECK(quennet_call(bus, 40, "RouteBill", stack, 1, &reply) == QUENNET_OK);
  CHECK(quennet_reply_result(reply) == 0 && quennet_reply_acknowledged(reply));
  quennet_reply_free(reply);
  CHECK(next_of_kind(watch, QUENNET_RECORD_EVENT, &record));
  CHECK(record.a == 3 && record.b == 0);
  CHECK(strlen(record.text) > 0);

  console("reset", answer, sizeof answer);
  CHECK(next_of_kind(watch, QUENNET_RECORD_RESET, &record));
  CHECK(record.counter == 0);
  CHECK_TEXT(record.json, "{\"counter\":0,\"reset\":true}");
  /* Enabled again after the reset (the watch sends the inhibits ahead of other requests): a note
     is reported once more. */
  int enabled = 0;
  for (int i = 0; i < 50 && !enabled; ++i) {
    const uint8_t* mask = NULL;
    if (quennet_call(bus, 40, "GetInhibitStatus", NULL, 0, &reply) == QUENNET_OK) {
      enabled = quennet_reply_output_bytes(reply, 0, &mask) == 2 && mask[0] == 255;
    }
    quennet_reply_free(reply);
  }
  CHECK(enabled);
  console("insert 1", answer, sizeof answer);
  CHECK(next_of_kind(watch, QUENNET_RECORD_EVENT, &record));
  CHECK(record.a == 1 && record.b == 1);

  /* A validator that stops answering is reported, and so is its return. */
  console("fault silent 3", answer, sizeof answer);
  CHECK(next_of_kind(watch, QUENNET_RECORD_DEVICE_LOST, &record));
  CHECK_TEXT(record.text, "Timeout Error [0]");
  CHECK(strstr(record.json, "\"deviceLost\":true") != NULL);
  CHECK(strstr(record.json, "\"failures\":3") != NULL);
  CHECK(next_of_kind(watch, QUENNET_RECORD_DEVICE_BACK, &record));
  CHECK(strstr(record.json, "\"deviceBack\":true") != NULL);

  /* A coin acceptor (its own 8-bit checksum) is read as one: each coin with its identity, value
     and sorter path, an error code with no coin. A hopper cannot be watched: said at once. */
  CHECK(quennet_set_device(bus, 2, QUENNET_CHECKSUM8, NULL) == QUENNET_OK);
  quennet_watch* coins = NULL;
  CHECK(quennet_watch_open(bus, 2, &options, &coins) == QUENNET_OK);
  if (coins) {
    console("coin 4", answer, sizeof answer);
    console("coin 12", answer, sizeof answer);
    CHECK(next_of_kind(coins, QUENNET_RECORD_EVENT, &record));
    CHECK(record.a == 4 && record.b == 0);
    CHECK_TEXT(record.text, "Coin 4 (GB010A) accepted, sorter path 0");
    CHECK(strstr(record.json, "\"coinId\":\"GB010A\"") != NULL);
    CHECK(strstr(record.json, "\"value\":10}") != NULL);
    CHECK(strstr(record.json, "\"sorterPath\":0") != NULL);
    CHECK(next_of_kind(coins, QUENNET_RECORD_EVENT, &record));
    CHECK(record.a == 0 && record.b == 1);
    CHECK_TEXT(record.text, "Coin Rejected");
    CHECK(strstr(record.json, "\"kind\":\"status\"") != NULL);
    quennet_watch_close(coins);
  }
  quennet_watch* hopper = (quennet_watch*)1;
  CHECK(quennet_watch_open(bus, 3, NULL, &hopper) == QUENNET_EREFUSED);
  CHECK(hopper == NULL);
  CHECK_TEXT(quennet_last_message(),
             "address 3 is a Payout: a watch reads bill validators and coin acceptors");

  /* Closing the bus ends the watch, the calls other threads have queued or on the line, and
     every later call. */
  shared_bus = bus;
  pthread_t thread[3];
  for (int i = 0; i < 3; ++i) CHECK(pthread_create(&thread[i], NULL, poll_until_closed, NULL) == 0);
  usleep(100 * 1000);
  quennet_close(bus);
  for (int i = 0; i < 3; ++i) {
    void* closed = NULL;
    pthread_join(thread[i], &closed);
    CHECK(closed == (void*)1L);
  }
  int ended = quennet_watch_next(watch, 3000, &record);
  while (ended == QUENNET_OK) ended = quennet_watch_next(watch, 3000, &record);
  CHECK(ended == QUENNET_ECLOSED);
  quennet_watch_close(watch);
  CHECK(quennet_call(bus, 40, "SendPoll", NULL, 0, &reply) == QUENNET_ECLOSED);
  CHECK(reply == NULL);
  CHECK(strstr(quennet_last_message(), "Port closed") != NULL);
  CHECK(quennet_watch_open(bus, 40, NULL, &watch) == QUENNET_ECLOSED);
}

static void open_failures(const char* port) {
  quennet_bus* bus = (quennet_bus*)1;
  CHECK(quennet_open("/dev/quennet-no-such-port", NULL, &bus) == QUENNET_EOPEN);
  CHECK(bus == NULL);
  CHECK(strncmp(quennet_last_message(), "cannot open /dev/quennet-no-such-port: ", 39) == 0);
  quennet_options options;
  quennet_options_init(&options);
  options.key = "12345x";
  CHECK(quennet_open(port, &options, &bus) == QUENNET_EINVAL);
  options.key = "123456";
  options.checksum = QUENNET_CHECKSUM8;
  CHECK(quennet_open(port, &options, &bus) == QUENNET_EINVAL);
  CHECK(strstr(quennet_strerror(QUENNET_EOPEN), "opened") != NULL);
}

static int serial_result(quennet_bus* bus) {
  quennet_reply* reply = NULL;
  if (quennet_call(bus, 40, "GetSerialNo", NULL, 0, &reply) != QUENNET_OK) return -99;
  const int result = quennet_reply_result(reply);
  quennet_reply_free(reply);
  return result;
}

/* BUSY retried as often as set; a device slow to come back from a reset waited for. */
static void busy_and_reset(quennet_bus* bus) {
  char answer[256];
  CHECK(quennet_set_busy_retries(bus, 101, 10) == QUENNET_EINVAL);
  CHECK(quennet_set_busy_retries(bus, 1, 2001) == QUENNET_EINVAL);
  CHECK(quennet_set_reset_wait(bus, -1) == QUENNET_EINVAL);
  CHECK(quennet_set_reset_wait(bus, 60001) == QUENNET_EINVAL);
  CHECK(quennet_set_device(bus, 256, QUENNET_CHECKSUM8, NULL) == QUENNET_EINVAL);
  CHECK(quennet_set_device(bus, 40, 7, NULL) == QUENNET_EINVAL);
  CHECK(quennet_set_device(bus, 40, QUENNET_CHECKSUM8, "123456") == QUENNET_EINVAL);
  CHECK(quennet_set_device(bus, 40, QUENNET_CRC16, "12345") == QUENNET_EINVAL);
  /* The validator on the 8-bit checksum while it speaks CRC-16: no answer; back on CRC-16. */
  CHECK(quennet_set_device(bus, 40, QUENNET_CHECKSUM8, NULL) == QUENNET_OK);
  CHECK(serial_result(bus) == 2);
  CHECK(quennet_set_device(bus, 40, QUENNET_CRC16, NULL) == QUENNET_OK);
  CHECK(serial_result(bus) == 0);
  console("busy 40 2", answer, sizeof answer);
  CHECK(serial_result(bus) == -1); /* the library's default: no retry */
  CHECK(serial_result(bus) == -1);
  CHECK(serial_result(bus) == 0);
  console("busy 40 2", answer, sizeof answer);
  CHECK(quennet_set_busy_retries(bus, 1, 10) == QUENNET_OK);
  CHECK(serial_result(bus) == -1);
  CHECK(serial_result(bus) == 0); /* one BUSY left, then the answer */
  console("busy 40 2", answer, sizeof answer);
  CHECK(quennet_set_busy_retries(bus, 2, -1) == QUENNET_OK);
  CHECK(serial_result(bus) == 0);
  CHECK(quennet_set_busy_retries(bus, 0, -1) == QUENNET_OK);

  console("slowreset 40", answer, sizeof answer);
  CHECK_TEXT(answer, "ok");
  const char* none[] = {NULL};
  quennet_reply* reply = NULL;
  CHECK(quennet_call(bus, 40, "ResetDevice", none, 0, &reply) == QUENNET_OK);
  CHECK(reply && quennet_reply_result(reply) == 0);
  quennet_reply_free(reply);
  CHECK(serial_result(bus) == 0); /* the default wait of 2 s covers the 1.5 s */
  CHECK(quennet_set_reset_wait(bus, 0) == QUENNET_OK);
  reply = NULL;
  CHECK(quennet_call(bus, 40, "ResetDevice", none, 0, &reply) == QUENNET_OK);
  quennet_reply_free(reply);
  CHECK(serial_result(bus) == 2); /* not waited for: still silent */
  console("slowreset 40 0", answer, sizeof answer);
  CHECK(quennet_set_reset_wait(bus, 2000) == QUENNET_OK);
}

int main(void) {
  char port[256];
  if (!start_simulator(port, sizeof port)) {
    fprintf(stderr, "bnvsim did not start\n");
    return 1;
  }
  open_failures(port);
  quennet_bus* bus = NULL;
  CHECK(quennet_open(port, NULL, &bus) == QUENNET_OK);
  if (bus) {
    bad_calls(bus);
    huge_argument(bus);
    calls(bus);
    threads(bus);
    busy_and_reset(bus);
    events(bus);
    quennet_free(bus);
  }
  time_outs(port);
  watch_closes(port);
  stop_simulator();
  if (failures == 0) printf("all checks held\n");
  return failures == 0 ? 0 : 1;
}
