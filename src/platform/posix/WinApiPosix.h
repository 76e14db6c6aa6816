// The subset of the Windows API the updater uses, offered on POSIX systems.
//
// Same names, types and constants as <windows.h> / <conio.h>, with the
// behaviour the serial driver relies on, built on termios and poll():
//  - ReadFile returns when the buffer is full, when ReadIntervalTimeout passes
//    after a received byte, or when ReadTotalTimeoutConstant has run out since
//    the call began; a silent read succeeds with a count of 0. A read on a
//    device that has gone away fails at once with a count of 0.
//  - WriteFile blocks until every byte has been taken (no write timeout).
//  - CreateFileA on "\\.\COMn" (or on a device's path, "/dev/ttyUSB0") opens
//    the device exclusively, and fails with
//    EBUSY while another program holds it (see PortHolders.h); CloseHandle
//    puts back the line settings found at the open.
#ifndef WINAPIPOSIX_H
#define WINAPIPOSIX_H

#include <stdint.h>

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef const char *LPCSTR;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAXDWORD 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// Same layout as the Windows DCB (the flag bits form one 32-bit word).
typedef struct _DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPVOID lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPVOID lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPVOID lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
void Sleep(DWORD dwMilliseconds);
// Not a Windows call: closes every port this process still has open, as
// CloseHandle does (settings back, lock file removed). Async-signal-safe, for
// the interrupt handler, which cannot rely on g_hCOM naming the last open.
void platform_closeAllPorts(void);

// Console (conio / CRT).
int _getch(void);
char *_itoa(int value, char *buffer, int radix);

#endif  // WINAPIPOSIX_H
