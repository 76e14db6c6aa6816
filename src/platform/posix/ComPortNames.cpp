// Maps Windows COM port names to the serial devices of a POSIX system.
//
// With FWUPGRADE_COM_DIR set (and not empty), COMn is the entry "COMn" of that
// folder, for any n >= 1; each entry is expected to be a symlink to a serial
// device (the simulated unit and the tests build such a folder over
// pseudo-terminals).
//
// Without it, a built-in table maps COM1 to COM32, the ports the updater scans:
//
//   Linux (and other non-Apple systems)
//     COM1  - COM4    /dev/ttyS0   - /dev/ttyS3     built-in UARTs
//     COM5  - COM20   /dev/ttyUSB0 - /dev/ttyUSB15  USB serial adapters
//     COM21 - COM32   /dev/ttyACM0 - /dev/ttyACM11  USB CDC-ACM devices
//
//   macOS
//     COM1  - COM32   the entries /dev/cu.* in byte-wise sorted order: COM1 is
//                     the first, COM2 the second, ... (the call-out devices,
//                     which open without waiting for carrier)
//
// Any other port number, or a number whose device is missing, does not resolve
// (or does not open), so the open fails as on a PC without that port.
#include "platform/posix/ComPortNames.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __APPLE__
#include <dirent.h>
#endif

#define DEFAULT_TABLE_PORTS 32

int comPortNames_portNumber(const char *name) {
  if (name == NULL) return 0;
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
      (name[2] != 'M' && name[2] != 'm'))
    return 0;
  const char *digits = name + 3;
  size_t count = strspn(digits, "0123456789");
  // Nine digits at most keeps the number inside an int.
  if (count == 0 || count > 9 || digits[count] != '\0') return 0;
  int number = atoi(digits);
  return number >= 1 ? number : 0;
}

#ifdef __APPLE__
static int compareNames(const void *a, const void *b) {
  return strcmp(*(const char *const *)a, *(const char *const *)b);
}

// The n-th (1-based) entry /dev/cu.* in sorted order.
static int defaultDevice(int number, char *path, size_t pathSize) {
  DIR *dir = opendir("/dev");
  if (dir == NULL) return 0;
  char *names[256];
  size_t count = 0;
  struct dirent *entry;
  while ((entry = readdir(dir)) != NULL && count < sizeof names / sizeof names[0]) {
    if (strncmp(entry->d_name, "cu.", 3) != 0) continue;
    char *copy = strdup(entry->d_name);
    if (copy != NULL) names[count++] = copy;
  }
  closedir(dir);
  qsort(names, count, sizeof names[0], compareNames);
  int ok = 0;
  if ((size_t)number <= count) {
    int len = snprintf(path, pathSize, "/dev/%s", names[number - 1]);
    ok = len >= 0 && (size_t)len < pathSize;
  }
  for (size_t i = 0; i < count; i++) free(names[i]);
  return ok;
}
#else
static int defaultDevice(int number, char *path, size_t pathSize) {
  int len;
  if (number <= 4)
    len = snprintf(path, pathSize, "/dev/ttyS%d", number - 1);
  else if (number <= 20)
    len = snprintf(path, pathSize, "/dev/ttyUSB%d", number - 5);
  else
    len = snprintf(path, pathSize, "/dev/ttyACM%d", number - 21);
  return len >= 0 && (size_t)len < pathSize;
}
#endif

int comPortNames_resolve(const char *name, char *path, size_t pathSize) {
  if (path == NULL || pathSize == 0) return 0;
  path[0] = '\0';
  int number = comPortNames_portNumber(name);
  if (number == 0) return 0;
  int ok;
  const char *dir = getenv(COM_DIR_ENV);
  if (dir != NULL && dir[0] != '\0') {
    int len = snprintf(path, pathSize, "%s/COM%d", dir, number);
    ok = len >= 0 && (size_t)len < pathSize;
  } else {
    ok = number <= DEFAULT_TABLE_PORTS && defaultDevice(number, path, pathSize);
  }
  if (!ok) path[0] = '\0';
  return ok;
}
