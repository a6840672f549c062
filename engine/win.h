#pragma once
// The one gateway to the Windows headers. Every Win32 file includes this.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: MinGW's default is older than some APIs we use
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <wininet.h>
#include <mmsystem.h>
