// Maps Windows COM port names to the serial devices of a POSIX system.
#ifndef COMPORTNAMES_H
#define COMPORTNAMES_H

#include <stddef.h>

// Environment variable naming a folder of COMn entries (symlinks to serial
// devices), the way a Windows emulator's device folder maps its COM ports.
#define COM_DIR_ENV "FWUPGRADE_COM_DIR"

// The port number of "\\.\COMn" or "COMn" (letters in any case, n from 1 to
// 999999999); 0 for any other name.
int comPortNames_portNumber(const char *name);

// Writes the device path of the COM port called `name` into `path` (room for
// `pathSize` bytes, always NUL-terminated when pathSize > 0). Returns 1 when the
// name resolves and the path fits, 0 otherwise.
int comPortNames_resolve(const char *name, char *path, size_t pathSize);

#endif  // COMPORTNAMES_H
