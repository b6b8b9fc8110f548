#ifndef QUENNET_BENCH_BARE_LOOP_H
#define QUENNET_BENCH_BARE_LOOP_H
/* The reference the library's figures stand beside: the same exchange from a bare C loop (open,
   termios, write, poll, read), with no library at all. */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens `path` raw at 9600 baud 8N1 and runs `count` exchanges back to back: writes `frame`
   (`length` bytes), then reads until `expect` bytes came (the echo and the reply), each within
   `timeout_ms`. Milliseconds an exchange from the first write to the last byte read; negative
   when the port did not open or an exchange came short. */
double bare_loop_ms(const char* path, const unsigned char* frame, int length, int expect, int count,
                    int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
