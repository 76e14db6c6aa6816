// The serial port driver: one COM port at a time, configured from two module
// records. The records are the wanted configuration, not a copy of the port's
// state: every setter changes its record first and then applies it to the
// port, so a value set while no port is open stays in force for the next open.
#include "serial/ComPortAPI.h"

#include <stdio.h>

#include "platform/OpenFailures.h"
#include "serial/PortDescription.h"
#include "serial/SerialCalls.h"
#include "serial/SerialTrace.h"

HANDLE g_hCOM = NULL;
static SystemError gLastOpenError;  // why the last failed open failed
static BOOL gPrintFailures = TRUE;  // the driver's own line when an open fails

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

  /* 2. Open exclusively (share mode 0), synchronous I/O. The reason of a
        failure is the system's last error, captured before anything else can
        change it. */
  HANDLE handle = serialCalls_CreateFile(nId, szCOM, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_SYSTEM);
  const BOOL ok = handle != INVALID_HANDLE_VALUE;
  gLastOpenError = ok ? SystemError{0, ""} : *serialCalls_openError();
#ifdef _WIN32
  // Windows names no holder; the POSIX layer records its opens itself, with
  // the holder it found.
  PortOpenFailure failure = {gLastOpenError.code, 0, "", 0};
  openFailures_note(nId, ok ? NULL : &failure);
#endif
  return handle;
}

void ComPortAPI_CloseDevice(HANDLE handle, int nId) {
  (void)nId;  // the trace names the port the handle was opened for
  serialCalls_CloseHandle(handle);
}

const SystemError *ComPortAPI_LastOpenError(void) { return &gLastOpenError; }

void ComPortAPI_PrintFailures(BOOL print) { gPrintFailures = print; }

BOOL ComPortAPI_OpenCOM(int nId) {
  /* 1. and 2. The device, opened as detection's probe opens it. */
  g_hCOM = ComPortAPI_OpenDevice(nId);
  if (g_hCOM == INVALID_HANDLE_VALUE) {
    if (gPrintFailures) printf("ERROR: Opening %s failed !", portDescription_of(nId).name.c_str());
    return FALSE;
  }
  return ComPortAPI_ConfigureOpened(g_hCOM, nId);
}

BOOL ComPortAPI_ConfigureOpened(HANDLE handle, int nId) {
  g_hCOM = handle;

  /* 3. Queue sizes: a request the driver may round or refuse. */
  serialCalls_SetupComm(g_hCOM, RX_SIZE, TX_SIZE);

  /* 4. Timeouts, then line settings. */
  if (!serialCalls_SetCommTimeouts(g_hCOM, &g_cto) || !serialCalls_SetCommState(g_hCOM, &g_dcb)) {
    if (gPrintFailures)
      printf("ERROR: %s configuration failed !", portDescription_of(nId).name.c_str());
    serialCalls_CloseHandle(g_hCOM);
    return FALSE;
  }

  /* 5. Start clean and raise DTR; a line without DTR still works. */
  serialCalls_PurgeComm(g_hCOM, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  serialCalls_EscapeCommFunction(g_hCOM, SETDTR);
  return TRUE;
}

BOOL ComPortAPI_CloseCOM(void) {
  // g_hCOM keeps its value: a closed handle fails every later call cleanly.
  serialCalls_CloseHandle(g_hCOM);
  return TRUE;
}

// One read or write on the port; a negative count is refused rather than
// turned into a huge unsigned one.
static BOOL transfer(BOOL isRead, void *buffer, int count, int *pDone) {
  DWORD done = 0;
  BOOL result = FALSE;
  if (count >= 0)
    result = isRead ? serialCalls_ReadFile(g_hCOM, buffer, (DWORD)count, &done)
                    : serialCalls_WriteFile(g_hCOM, buffer, (DWORD)count, &done);
  if (pDone != NULL) *pDone = (int)done;
  return result;
}

BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead) {
  return transfer(TRUE, buffer, nBytesToRead, pBytesRead);
}

BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten) {
  return transfer(FALSE, buffer, nBytesToWrite, pBytesWritten);
}

BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
  // Both read fields always hold the same value, so one comparison covers both.
  if (g_cto.ReadIntervalTimeout == (DWORD)timeoutInMs) return TRUE;
  g_cto.ReadIntervalTimeout = (DWORD)timeoutInMs;
  g_cto.ReadTotalTimeoutConstant = (DWORD)timeoutInMs;
  return serialCalls_SetCommTimeouts(g_hCOM, &g_cto) ? TRUE : FALSE;
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
  if (g_dcb.BaudRate == (DWORD)baudrate) return TRUE;
  g_dcb.BaudRate = (DWORD)baudrate;
  return serialCalls_SetCommState(g_hCOM, &g_dcb) ? TRUE : FALSE;
}

int ComPortAPI_ReplyDelayMs(void) { return serialCalls_replyDelayMs(g_hCOM); }

int ComPortAPI_ResumeSession(void) { return serialCalls_resumeSession(g_hCOM); }

BOOL ComPortAPI_SessionLost(void) { return serialCalls_sessionLost(g_hCOM); }

void ComPortAPI_ExpectReplyEnd(const char *ending) { serialCalls_expectReplyEnd(g_hCOM, ending); }

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
  if ((DWORD)isEnable == g_dcb.fOutxCtsFlow) return TRUE;
  g_dcb.fOutxCtsFlow = (DWORD)isEnable & 1u;
  return serialCalls_SetCommState(g_hCOM, &g_dcb) ? TRUE : FALSE;
}
