// The serial port driver: one COM port at a time, configured from two module
// records. The records are the wanted configuration, not a copy of the port's
// state: every setter changes its record first and then applies it to the
// port, so a value set while no port is open stays in force for the next open.
#include "serial/ComPortAPI.h"

#include <stdio.h>

#include "platform/OpenFailures.h"
#include "serial/SerialTrace.h"

HANDLE g_hCOM = NULL;
static int gOpenPort = 0;            // COMn of g_hCOM, for the trace
static BOOL gPortOpen = FALSE;       // g_hCOM is open: setters reach a port
static SystemError gLastOpenError;   // why the last failed open failed

// The trace's name for a setter's call: with no port open the call fails and
// only the record keeps the value for the next open.
static const char *setterCall(const char *call) {
  return gPortOpen ? call : "(no port open, kept for the next open)";
}

// A setter's result for the trace: with no port open, its failure is expected.
static BOOL setterResult(BOOL ok) { return ok || gPortOpen ? ok : TRACE_KEPT; }

COMMTIMEOUTS g_cto = {
    MAX_WAIT_READ,  // ReadIntervalTimeout
    0,              // ReadTotalTimeoutMultiplier
    MAX_WAIT_READ,  // ReadTotalTimeoutConstant
    0,              // WriteTotalTimeoutMultiplier: no write timeout
    0,              // WriteTotalTimeoutConstant
};

// 8N1, binary, no software flow control, DTR and RTS raised, CTS output
// handshake on until the program switches it (flags word 0x1015).
DCB g_dcb = {
    sizeof(DCB),           // DCBlength
    BAUD_RATE,             // BaudRate
    1,                     // fBinary
    0,                     // fParity
    1,                     // fOutxCtsFlow
    0,                     // fOutxDsrFlow
    DTR_CONTROL_ENABLE,    // fDtrControl
    0,                     // fDsrSensitivity
    0,                     // fTXContinueOnXoff
    0,                     // fOutX
    0,                     // fInX
    0,                     // fErrorChar
    0,                     // fNull
    RTS_CONTROL_ENABLE,    // fRtsControl
    0,                     // fAbortOnError
    0,                     // fDummy2
    0,                     // wReserved
    256,                   // XonLim
    256,                   // XoffLim
    8,                     // ByteSize
    NOPARITY,              // Parity
    ONESTOPBIT,            // StopBits
    0x11,                  // XonChar
    0x13,                  // XoffChar
    0x3F,                  // ErrorChar
    0x1A,                  // EofChar
    0x10,                  // EvtChar
    0,                     // wReserved1
};

HANDLE ComPortAPI_OpenDevice(int nId) {
  /* 1. Device path; the device-namespace form also reaches COM10 and above.
        A number whose path does not fit the 16 characters fails the open
        like a port that does not exist. */
  char szCOM[16];
  int length = snprintf(szCOM, sizeof szCOM, "\\\\.\\COM%d", nId);
  if (length < 0 || length >= (int)sizeof szCOM) {
    gLastOpenError.code = 0;
    snprintf(gLastOpenError.text, sizeof gLastOpenError.text, "port number out of range");
    serialTrace_note("open COM%d FAILED: %s", nId, gLastOpenError.text);
    return INVALID_HANDLE_VALUE;
  }

  /* 2. Open exclusively (share mode 0), synchronous I/O. Returns the handle
        upon success, INVALID_HANDLE_VALUE upon failure (reason: the system's
        last error, captured before anything else can change it). */
  HANDLE handle = CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_SYSTEM, NULL);
  const BOOL ok = handle != INVALID_HANDLE_VALUE;
  if (!ok) systemError_capture(&gLastOpenError);
#ifdef _WIN32
  // Windows names no holder; the POSIX layer records its opens itself, with
  // the holder it found.
  PortOpenFailure failure = {gLastOpenError.code, 0, "", 0};
  openFailures_note(nId, ok ? NULL : &failure);
#endif
  serialTrace_open(nId, szCOM, ok, &gLastOpenError);
  return handle;
}

void ComPortAPI_CloseDevice(HANDLE handle, int nId) {
  // Returns non-zero upon success, 0 upon failure.
  serialTrace_close(nId, CloseHandle(handle) ? TRUE : FALSE);
}

const SystemError *ComPortAPI_LastOpenError(void) { return &gLastOpenError; }

BOOL ComPortAPI_OpenCOM(int nId) {
  /* 1. and 2. The device, opened as detection's probe opens it. */
  g_hCOM = ComPortAPI_OpenDevice(nId);
  if (g_hCOM == INVALID_HANDLE_VALUE) {
    printf("ERROR: Opening COM%d failed !", nId);
    return FALSE;
  }
  gOpenPort = nId;
  gPortOpen = TRUE;

  /* 3. Queue sizes: a request the driver may round or refuse. */
  serialTrace_call("SetupComm", SetupComm(g_hCOM, RX_SIZE, TX_SIZE) ? TRUE : FALSE);

  /* 4. Timeouts, then line settings. Each returns non-zero upon success. */
  BOOL configured = SetCommTimeouts(g_hCOM, &g_cto) ? TRUE : FALSE;
  serialTrace_timeouts(&g_cto, configured);
  if (configured) {
    configured = SetCommState(g_hCOM, &g_dcb) ? TRUE : FALSE;
    serialTrace_state("SetCommState", &g_dcb, configured);
  }
  if (!configured) {
    printf("ERROR: COM%d configuration failed !", nId);
    gPortOpen = FALSE;
    serialTrace_close(nId, CloseHandle(g_hCOM) ? TRUE : FALSE);
    return FALSE;
  }

  /* 5. Start clean and raise DTR; a line without DTR still works. */
  serialTrace_call("PurgeComm", PurgeComm(g_hCOM, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR |
                                                      PURGE_RXCLEAR)
                                    ? TRUE
                                    : FALSE);
  // A line without modem lines (a pseudo-terminal) refuses DTR: expected there.
  const BOOL dtr = EscapeCommFunction(g_hCOM, SETDTR) ? TRUE : serialTrace_failureKind();
  serialTrace_call("EscapeCommFunction SETDTR", dtr);
  return TRUE;
}

BOOL ComPortAPI_CloseCOM(void) {
  // g_hCOM keeps its value: a closed handle fails every later call cleanly.
  // Returns non-zero upon success, 0 upon failure.
  serialTrace_close(gOpenPort, CloseHandle(g_hCOM) ? TRUE : FALSE);
  gPortOpen = FALSE;
  return TRUE;
}

// A negative count is refused rather than turned into a huge unsigned one.
BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead) {
  DWORD bytesRead = 0;
  BOOL result = FALSE;
  if (nBytesToRead >= 0) {
    const double startedMs = serialTrace_enabled() ? serialTrace_nowMs() : 0;
    // Returns non-zero upon success, 0 upon failure.
    result = ReadFile(g_hCOM, buffer, (DWORD)nBytesToRead, &bytesRead, NULL);
    if (serialTrace_enabled())
      serialTrace_io("read", nBytesToRead, (int)bytesRead, serialTrace_nowMs() - startedMs, buffer,
                     result ? TRUE : FALSE);
  }
  if (pBytesRead != NULL) *pBytesRead = (int)bytesRead;
  return result;
}

BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten) {
  DWORD bytesWritten = 0;
  BOOL result = FALSE;
  if (nBytesToWrite >= 0) {
    const double startedMs = serialTrace_enabled() ? serialTrace_nowMs() : 0;
    // Returns non-zero upon success, 0 upon failure.
    result = WriteFile(g_hCOM, buffer, (DWORD)nBytesToWrite, &bytesWritten, NULL);
    if (serialTrace_enabled())
      serialTrace_io("write", nBytesToWrite, (int)bytesWritten, serialTrace_nowMs() - startedMs,
                     buffer, result ? TRUE : FALSE);
  }
  if (pBytesWritten != NULL) *pBytesWritten = (int)bytesWritten;
  return result;
}

BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
  // Both read fields always hold the same value, so one comparison covers both.
  if (g_cto.ReadIntervalTimeout == (DWORD)timeoutInMs) return TRUE;
  g_cto.ReadIntervalTimeout = (DWORD)timeoutInMs;
  g_cto.ReadTotalTimeoutConstant = (DWORD)timeoutInMs;
  const BOOL ok = SetCommTimeouts(g_hCOM, &g_cto) ? TRUE : FALSE;
  if (gPortOpen) serialTrace_timeouts(&g_cto, ok);
  else serialTrace_note("read timeouts %d ms %s", timeoutInMs, setterCall(""));
  return ok;
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
  if (g_dcb.BaudRate == (DWORD)baudrate) return TRUE;
  g_dcb.BaudRate = (DWORD)baudrate;
  const BOOL ok = SetCommState(g_hCOM, &g_dcb) ? TRUE : FALSE;
  serialTrace_state(setterCall("SetCommState"), &g_dcb, setterResult(ok));
  return ok;
}

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
  if ((DWORD)isEnable == g_dcb.fOutxCtsFlow) return TRUE;
  g_dcb.fOutxCtsFlow = (DWORD)isEnable & 1u;
  const BOOL ok = SetCommState(g_hCOM, &g_dcb) ? TRUE : FALSE;
  serialTrace_state(setterCall("SetCommState"), &g_dcb, setterResult(ok));
  return ok;
}
