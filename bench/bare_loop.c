#include "bare_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int open_raw(const char* path) {
  struct termios tio;
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

/* 0 when `expect` bytes came after the frame went out. */
static int exchange(int fd, const unsigned char* frame, int length, int expect, int timeout_ms) {
  unsigned char in[512];
  int have = 0;
  int done = 0;
  double deadline;
  while (done < length) {
    ssize_t n = write(fd, frame + done, (size_t)(length - done));
    if (n <= 0) return -1;
    done += (int)n;
  }
  deadline = now_ms() + timeout_ms;
  while (have < expect) {
    struct pollfd readable;
    double left = deadline - now_ms();
    ssize_t n;
    if (left <= 0) return -1;
    readable.fd = fd;
    readable.events = POLLIN;
    readable.revents = 0;
    if (poll(&readable, 1, (int)left + 1) <= 0) return -1;
    n = read(fd, in, sizeof in < (size_t)(expect - have) ? sizeof in : (size_t)(expect - have));
    if (n <= 0) return -1;
    have += (int)n;
  }
  return 0;
}

double bare_loop_ms(const char* path, const unsigned char* frame, int length, int expect, int count,
                    int timeout_ms) {
  int i;
  double start;
  double elapsed;
  int fd = open_raw(path);
  if (fd < 0) return -1;
  /* The first exchange settles the line, as the library's first call does. */
  if (exchange(fd, frame, length, expect, timeout_ms) != 0) {
    close(fd);
    return -1;
  }
  start = now_ms();
  for (i = 0; i < count; ++i) {
    if (exchange(fd, frame, length, expect, timeout_ms) != 0) {
      close(fd);
      return -1;
    }
  }
  elapsed = now_ms() - start;
  close(fd);
  return elapsed / count;
}
