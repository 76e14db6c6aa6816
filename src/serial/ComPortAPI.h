// The one way to the serial line: one COM port at a time, configured from two
// module records (line settings and timeouts) that live for the whole run.
#ifndef COMPORTAPI_H
#define COMPORTAPI_H

#include "platform/Platform.h"
#include "platform/SystemError.h"

#define RX_SIZE 8192       // receive queue asked for at open
#define TX_SIZE 8192       // transmit queue asked for at open
#define MAX_WAIT_READ 500  // initial read timeouts, in milliseconds
#define BAUD_RATE 9600     // initial baud rate of the line settings

extern HANDLE g_hCOM;       // the port in use; null at start
extern COMMTIMEOUTS g_cto;  // wanted timeouts, applied at every open
extern DCB g_dcb;           // wanted line settings, applied at every open

// The one open of COMn's device, shared by detection's probe and the driver:
// read and write, exclusive (share mode 0), synchronous. Prints nothing and
// configures nothing; returns INVALID_HANDLE_VALUE when the port does not
// exist, is held by another program or its name does not fit, and keeps the
// system's reason for ComPortAPI_LastOpenError.
HANDLE ComPortAPI_OpenDevice(int nId);
// Closes a handle from ComPortAPI_OpenDevice that the driver does not hold.
void ComPortAPI_CloseDevice(HANDLE handle, int nId);
// The system's error of the last open that failed.
const SystemError *ComPortAPI_LastOpenError(void);

// Whether ComPortAPI_OpenCOM prints its own line when the open or the
// configuration fails ("ERROR: COM3 configuration failed !"): on at start, as
// the updater's console has it; off for a command of the tool that says why
// a port gave no unit in its own words.
void ComPortAPI_PrintFailures(BOOL print);

BOOL ComPortAPI_OpenCOM(int nId);
// The rest of ComPortAPI_OpenCOM (queues, timeouts, line settings, purge,
// DTR) on a device ComPortAPI_OpenDevice opened, which becomes the open port.
BOOL ComPortAPI_ConfigureOpened(HANDLE handle, int nId);
BOOL ComPortAPI_CloseCOM(void);
BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead);
BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten);
BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs);
BOOL ComPortAPI_SetBaudRate(int baudrate);
BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable);
// What a reply on the open port may take beyond its time on a local line: 0
// for a local port, the network's round trip allowance for a network port.
int ComPortAPI_ReplyDelayMs(void);
// For the waits where nothing is in flight (the unit rebooting, the pause
// between two images): a network port whose server ended the session is
// connected again with its settings. 0: nothing was lost (always on a local
// port); 1: lost and connected again; -1: lost, and the server took no new
// session.
int ComPortAPI_ResumeSession(void);
// The text the unit's replies end with, NULL for none: a network port's reads
// stop waiting for the link once a reply ends with it (a local port's reads
// are unchanged).
void ComPortAPI_ExpectReplyEnd(const char *ending);
// Whether the open port's server ended its session (never on a local port).
BOOL ComPortAPI_SessionLost(void);

#endif  // COMPORTAPI_H
