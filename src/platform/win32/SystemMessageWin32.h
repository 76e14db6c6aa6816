// For the Windows files of the platform layer only: a system error code as
// one line of text with its number, "Access is denied. (5)".
#ifndef SYSTEMMESSAGEWIN32_H
#define SYSTEMMESSAGEWIN32_H

#include <windows.h>

#include <string>

std::string systemError_messageOf(DWORD code);

#endif  // SYSTEMMESSAGEWIN32_H
