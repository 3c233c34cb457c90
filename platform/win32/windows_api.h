// The Windows API for the platform's Win32 bodies. Our neutral headers name
// their types after the Win32 ones (DWORD, HANDLE, HWND ...) with fixed-width
// or integer types, so <windows.h> cannot simply be included beside them:
// its typedefs would clash and its A/W macros would rename our functions
// (PostMessage, MessageBox, DeleteFile, GetProfileString ...). This header
// includes it with its clashing type names moved aside (W32_DWORD,
// W32_HANDLE ...), then takes back the macros that would rename ours.
// Inside a body, call the system with the global qualifier (::ReadFile) and
// convert at the call; our names keep meaning our types.
// Include it last, after every other header of the body.
#pragma once

#include "platform/win_types.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include "platform/win32/system_names_aside.h"
#pragma push_macro("INVALID_HANDLE_VALUE")
#undef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE W32_INVALID_HANDLE_VALUE_UNUSED

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winnetwk.h>
#include <winspool.h>

#include "platform/win32/system_names_back.h"
#undef INVALID_HANDLE_VALUE
#pragma pop_macro("INVALID_HANDLE_VALUE")

// Our own functions of the same names as the system's A/W macros.
#undef PostMessage
#undef MessageBox
#undef DeleteFile
#undef GetProfileString
#undef GetProfileSection
#undef WriteProfileString
#undef RegSetValue
#undef RegCreateKey
#undef RegQueryValue
#undef OpenFile
#undef GetTempPath
#undef CreateFile
#undef FindWindow
#undef SendMessage
#undef ERROR

namespace w32 {
// The system's handle value for "no handle" (ours is the integer ~0).
inline W32_HANDLE InvalidHandle() { return reinterpret_cast<W32_HANDLE>(static_cast<LONG_PTR>(-1)); }
// Our integer handles and the system's pointers, both ways.
inline W32_HWND ToSystem(HWND window) { return reinterpret_cast<W32_HWND>(window); }
inline HWND FromSystem(W32_HWND window) { return reinterpret_cast<HWND>(window); }
}  // namespace w32
