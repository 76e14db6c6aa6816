// The local device as a port kind: the platform's serial calls (kernel32 on
// Windows, WinApiPosix elsewhere), opened by the COM name or by the device's
// path, with the trace record of the open written here.
#include <string>

#include "platform/OpenFailures.h"
#include "platform/PortList.h"
#include "serial/PortInterface.h"
#include "serial/SerialTrace.h"

#ifdef _WIN32
#define SLOT_EMPTY_CODE ERROR_FILE_NOT_FOUND
#else
#include <errno.h>
#define SLOT_EMPTY_CODE ENOENT
#endif

static HANDLE openLocal(const PortDescription &port, const PortOpenRequest &request,
                        SystemError *error) {
  const LPCSTR name = request.name;
  // A COM port opens by its name; a device named by its path, or at a USB
  // slot (the device plugged there now), opens that path.
  const bool slot = !port.location.empty();
  const bool byPath = port.comNumber == 0 || slot;
  const char *opened = byPath ? port.device.c_str() : name;
  HANDLE handle = INVALID_HANDLE_VALUE;
  *error = SystemError{0, ""};
  if (slot && port.device.empty()) {
    // Nothing plugged at the slot: absent, as a device that is not there.
    PortOpenFailure failure = PortOpenFailure();
    failure.code = SLOT_EMPTY_CODE;
    openFailures_note(port.number, &failure);
    *error = SystemError{SLOT_EMPTY_CODE, "nothing plugged at the slot"};
  } else {
    handle = CreateFileA(opened, request.access, request.shareMode, NULL,
                         request.creationDisposition, request.flagsAndAttributes, NULL);
    if (handle == INVALID_HANDLE_VALUE) systemError_capture(error);
  }
  const BOOL ok = handle != INVALID_HANDLE_VALUE;
  if (byPath && !(slot && port.device.empty())) {
    // The platform records the open of a name that is no COM name under 0
    // (a COM name under its number): the failure becomes this port's. Where
    // it records none (Windows' own calls), the error itself does, so that a
    // failed open is never taken for a port that opened.
    PortOpenFailure failure = PortOpenFailure();
    if (!openFailures_find(openFailures_portOfName(opened), &failure)) failure.code = error->code;
    openFailures_note(port.number, ok ? NULL : &failure);
  }
  if (serialTrace_enabled()) {
    std::string device = byPath ? port.device : portList_deviceOfOpen(port.number, name);
    if (device.empty()) device = std::string(name) + " (no device)";
    serialTrace_open(port.name.c_str(), device.c_str(), ok, error);
  }
  return handle;
}

static BOOL closeLocal(HANDLE handle) { return CloseHandle(handle); }
static BOOL setupLocal(HANDLE handle, DWORD in, DWORD out) { return SetupComm(handle, in, out); }
static BOOL timeoutsLocal(HANDLE handle, COMMTIMEOUTS *timeouts) {
  return SetCommTimeouts(handle, timeouts);
}
static BOOL stateLocal(HANDLE handle, DCB *dcb) { return SetCommState(handle, dcb); }
static BOOL purgeLocal(HANDLE handle, DWORD flags) { return PurgeComm(handle, flags); }
static BOOL escapeLocal(HANDLE handle, DWORD function) {
  return EscapeCommFunction(handle, function);
}
static BOOL readLocal(HANDLE handle, void *buffer, DWORD count, DWORD *done) {
  return ReadFile(handle, buffer, count, done, NULL);
}
static BOOL writeLocal(HANDLE handle, const void *buffer, DWORD count, DWORD *done) {
  return WriteFile(handle, buffer, count, done, NULL);
}
static int noDelay(HANDLE) { return 0; }

static const PortInterface kLocal = {"local",       openLocal,  closeLocal, setupLocal,
                                     timeoutsLocal, stateLocal, purgeLocal, escapeLocal,
                                     readLocal,     writeLocal, noDelay,    openFailures_text};

const PortInterface *localPort_interface(void) { return &kLocal; }
