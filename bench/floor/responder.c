/* A bus device that answers every request at once with a well-formed reply of the right
   length (zeros for data), for the round-trip benchmark: the far end of the line costs the
   same whoever sends the requests.

   Opens a pseudo-terminal in raw mode, prints the name of its device on stdout, and
   answers until it is killed (or its parent dies). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

enum { kMaxFrame = 160 };

/* The reply to one request frame (without its CR): header echoed, data of the length the
   command asks for, checksum, CR. Returns its length, 0 for a frame too short to answer. */
static size_t reply_to(const char* frame, size_t length, char* reply) {
  if (length < 8 || frame[0] != '@') return 0;
  size_t n = 0;
  reply[n++] = '>';
  memcpy(reply + n, frame + 1, 5); /* station, command, tag */
  n += 5;
  size_t data = 0;
  if (memcmp(frame + 3, "RD", 2) == 0 && length >= 12)
    data = 4 * (size_t)((frame[10] - '0') * 10 + (frame[11] - '0'));
  else if (memcmp(frame + 3, "RC", 2) == 0)
    data = 1;
  else if (memcmp(frame + 3, "RW", 2) == 0)
    data = 4;
  if (data > 128) data = 128;
  memset(reply + n, '0', data);
  n += data;
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum ^= (unsigned char)reply[i];
  static const char hex[] = "0123456789ABCDEF";
  reply[n++] = hex[sum >> 4];
  reply[n++] = hex[sum & 15];
  reply[n++] = '\r';
  return n;
}

int main(void) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty < 0 || grantpt(pty) < 0 || unlockpt(pty) < 0) {
    perror("responder: pseudo-terminal");
    return 1;
  }
  struct termios raw;
  tcgetattr(pty, &raw);
  cfmakeraw(&raw);
  tcsetattr(pty, TCSANOW, &raw);
  /* Held open and never read, so that the line stays up between clients. */
  int keep = open(ptsname(pty), O_RDWR | O_NOCTTY);
  if (keep < 0) {
    perror("responder: device");
    return 1;
  }
  printf("%s\n", ptsname(pty));
  fflush(stdout);

  char frame[kMaxFrame];
  size_t used = 0;
  char in[512], out[kMaxFrame + 8];
  for (;;) {
    ssize_t got = read(pty, in, sizeof in);
    if (got <= 0) return 0;
    for (ssize_t i = 0; i < got; ++i) {
      if (in[i] == '@') used = 0;
      if (in[i] != '\r') {
        if (used < sizeof frame) frame[used++] = in[i];
        continue;
      }
      size_t n = reply_to(frame, used, out);
      used = 0;
      if (n > 0 && write(pty, out, n) != (ssize_t)n) return 1;
    }
  }
}
