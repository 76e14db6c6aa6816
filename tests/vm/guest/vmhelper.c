/* Small tool for the guest: reads the modem lines and line settings of a
   serial device, and holds a device open the way another program would.

     vmhelper lines DEV          prints "DTR=1 RTS=1 CTS=0 CRTSCTS=1 speed=115200 raw=1"
     vmhelper hold DEV MODE      MODE none|flock|uucp; holds DEV until SIGTERM (uucp:
                                 a lock file naming this process, DEV closed), then
                                 prints "bytes=N settings=same|changed"
     vmhelper queued DEV         prints "queued=N", the bytes the driver holds for output
     vmhelper interruptible PROG [ARG...]
                                 runs PROG with SIGINT at its default (a shell's
                                 background job starts with it ignored)
     vmhelper gone DEV           waits until DEV goes away (unplug, hang-up), then
                                 prints what poll, read and write say about it

   Built statically from this one file, so the guest needs no C library. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static volatile sig_atomic_t gStop = 0;
static void onTerm(int sig) { (void)sig; gStop = 1; }

static long speedOf(speed_t s) {
  static const struct { speed_t code; long rate; } table[] = {
      {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
      {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (size_t i = 0; i < sizeof table / sizeof table[0]; i++)
    if (table[i].code == s) return table[i].rate;
  return -1;
}

static int lines(const char *dev) {
  /* O_NONBLOCK: no wait for carrier; the updater keeps the port open meanwhile,
     so this close is not the last one and hangs nothing up. */
  int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    printf("open %s: %s\n", dev, strerror(errno));
    return 1;
  }
  int bits = 0;
  struct termios tio;
  if (ioctl(fd, TIOCMGET, &bits) != 0 || tcgetattr(fd, &tio) != 0) {
    printf("query %s: %s\n", dev, strerror(errno));
    return 1;
  }
  int raw = !(tio.c_lflag & (ICANON | ECHO | ISIG)) && !(tio.c_oflag & OPOST);
  printf("DTR=%d RTS=%d CTS=%d CRTSCTS=%d CLOCAL=%d CS8=%d PARENB=%d CSTOPB=%d speed=%ld raw=%d\n",
         !!(bits & TIOCM_DTR), !!(bits & TIOCM_RTS), !!(bits & TIOCM_CTS),
         !!(tio.c_cflag & CRTSCTS), !!(tio.c_cflag & CLOCAL), (tio.c_cflag & CSIZE) == CS8,
         !!(tio.c_cflag & PARENB), !!(tio.c_cflag & CSTOPB), speedOf(cfgetospeed(&tio)), raw);
  close(fd);
  return 0;
}

static int queued(const char *dev) {
  int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
  int count = 0;
  if (fd < 0 || ioctl(fd, TIOCOUTQ, &count) != 0) {
    printf("queued %s: %s\n", dev, strerror(errno));
    return 1;
  }
  printf("queued=%d\n", count);
  close(fd);
  return 0;
}

static int hold(const char *dev, const char *mode) {
  int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    printf("open %s: %s\n", dev, strerror(errno));
    return 1;
  }
  if (strcmp(mode, "flock") == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    printf("flock %s: %s\n", dev, strerror(errno));
    return 1;
  }
  char lock[256] = "";
  if (strcmp(mode, "uucp") == 0) {
    const char *base = strrchr(dev, '/') ? strrchr(dev, '/') + 1 : dev;
    snprintf(lock, sizeof lock, "/var/lock/LCK..%s", base);
    FILE *f = fopen(lock, "w");
    if (f == NULL) {
      printf("lock file %s: %s\n", lock, strerror(errno));
      return 1;
    }
    fprintf(f, "%10d\n", (int)getpid()); /* the usual ten-column PID */
    fclose(f);
  }
  /* A terminal program's settings: canonical with echo at 9600. A probe of
     the port would leave it raw at another rate. */
  struct termios before, after;
  tcgetattr(fd, &before);
  before.c_lflag |= ICANON | ECHO;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  tcsetattr(fd, TCSANOW, &before);
  tcgetattr(fd, &before);
  /* With a lock file only, the device stays closed meanwhile (a program that
     has locked the line and not opened it yet), so that the lock file alone
     is what marks it busy. A UART keeps its settings while closed. */
  if (lock[0] != '\0') {
    close(fd);
    fd = -1;
  }
  signal(SIGTERM, onTerm);
  printf("holding\n");
  fflush(stdout);
  long bytes = 0;
  char buffer[256];
  while (!gStop) {
    ssize_t n = fd >= 0 ? read(fd, buffer, sizeof buffer) : 0;
    if (n > 0) bytes += n;
    else usleep(20000);
  }
  if (fd < 0) fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
  tcgetattr(fd, &after);
  int same = before.c_iflag == after.c_iflag && before.c_oflag == after.c_oflag &&
             before.c_cflag == after.c_cflag && before.c_lflag == after.c_lflag &&
             cfgetospeed(&before) == cfgetospeed(&after);
  if (lock[0] != '\0') unlink(lock);
  printf("bytes=%ld settings=%s\n", bytes, same ? "same" : "changed");
  return 0;
}

static void events(char *out, size_t size, short revents) {
  snprintf(out, size, "%s%s%s%s%s", revents & POLLIN ? "IN," : "", revents & POLLOUT ? "OUT," : "",
           revents & POLLHUP ? "HUP," : "", revents & POLLERR ? "ERR," : "",
           revents & POLLNVAL ? "NVAL," : "");
  if (out[0] == '\0') snprintf(out, size, "none,");
  out[strlen(out) - 1] = '\0';
}

/* Watches DEV without reading from it (the updater owns its bytes): poll
   with no events asked reports only hang-up and errors. */
static int gone(const char *dev) {
  int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    printf("open %s: %s\n", dev, strerror(errno));
    return 1;
  }
  printf("watching\n");
  fflush(stdout);
  struct pollfd pfd = {fd, 0, 0};
  while (poll(&pfd, 1, -1) == 0 || pfd.revents == 0) {
  }
  char first[64], after[64];
  events(first, sizeof first, pfd.revents);
  char byte;
  errno = 0;
  ssize_t r = read(fd, &byte, 1);
  int readErrno = errno;
  errno = 0;
  ssize_t w = write(fd, "x", 1);
  int writeErrno = errno;
  struct pollfd again = {fd, POLLIN | POLLOUT, 0};
  poll(&again, 1, 0);
  events(after, sizeof after, again.revents);
  printf("poll=%s read=%zd/%s write=%zd/%s poll-in-out=%s\n", first, r,
         r < 0 ? strerror(readErrno) : "-", w, w < 0 ? strerror(writeErrno) : "-", after);
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "interruptible") == 0) {
    signal(SIGINT, SIG_DFL);
    execv(argv[2], argv + 2);
    perror(argv[2]);
    return 127;
  }
  if (argc == 3 && strcmp(argv[1], "gone") == 0) return gone(argv[2]);
  if (argc == 3 && strcmp(argv[1], "lines") == 0) return lines(argv[2]);
  if (argc == 3 && strcmp(argv[1], "queued") == 0) return queued(argv[2]);
  if (argc == 4 && strcmp(argv[1], "hold") == 0) return hold(argv[2], argv[3]);
  fprintf(stderr, "usage: vmhelper lines DEV | queued DEV | hold DEV none|flock|uucp | gone DEV\n"
                  "       vmhelper interruptible PROG [ARG...]\n");
  return 2;
}
