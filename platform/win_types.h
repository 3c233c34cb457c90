// Basic types and numeric constants of the platform the spooler was designed
// for, kept with their original widths and values so that stored data, the
// driver and the engine's algorithms read as they always did.
// Header only; any thread.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Handles are opaque numbers handed out by the platform layer's handle
// table (files, ports). INVALID_HANDLE_VALUE is never handed out.
using HANDLE = std::uintptr_t;
inline constexpr HANDLE INVALID_HANDLE_VALUE = ~static_cast<HANDLE>(0);

// Window handles are opaque numbers too; 0 is no window.
using HWND = std::intptr_t;

// Message box styles.
inline constexpr UINT MB_OK = 0x0000;
inline constexpr UINT MB_OKCANCEL = 0x0001;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x0002;
inline constexpr UINT MB_YESNOCANCEL = 0x0003;
inline constexpr UINT MB_YESNO = 0x0004;
inline constexpr UINT MB_RETRYCANCEL = 0x0005;
inline constexpr UINT MB_TYPEMASK = 0x000F;
inline constexpr UINT MB_ICONERROR = 0x0010;
inline constexpr UINT MB_ICONQUESTION = 0x0020;
inline constexpr UINT MB_ICONWARNING = 0x0030;
inline constexpr UINT MB_ICONINFORMATION = 0x0040;
inline constexpr UINT MB_ICONMASK = 0x00F0;
inline constexpr UINT MB_SETFOREGROUND = 0x00010000;

// Message box results (the button pressed).
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Window messages that cross the layer.
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_SPOOLER_COMMAND = WM_USER + 0x63;    // 0x463
inline constexpr UINT WM_SPOOLER_SHOWSHEET = WM_USER + 0x65;  // 0x465
// Posted to the main window by the stop signals' thread (platform/startup.h);
// the front end hands it to the shell's close controller, which has it
// answered with StopKeepingQueue.
inline constexpr UINT WM_SPOOLER_STOP = WM_USER + 0x66;  // 0x466
// Posted by the print thread to the main window whenever what it waits for
// changes: wParam the new PrinterWait (app/state/spooler_state.h); lParam, with
// PrinterWait::None, 1 when data moves again and 0 when the wait ended
// without it (a fault code or a stop request).
inline constexpr UINT WM_SPOOLER_PRINTERWAIT = WM_USER + 0x67;  // 0x467

// Port error flags as the communications error query reports them.
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_DNS = 0x0800;
inline constexpr DWORD CE_OOP = 0x1000;

// Port event mask bits.
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_PERR = 0x0200;

// Show states of a window placement.
inline constexpr UINT SW_SHOWNORMAL = 1;
inline constexpr UINT SW_SHOWMINIMIZED = 2;
inline constexpr UINT SW_SHOW = 5;
inline constexpr UINT SW_MINIMIZE = 6;
inline constexpr UINT SW_SHOWMAXIMIZED = 3;

// The 44-byte window placement record stored as "Window Placement".
struct WINDOWPLACEMENT {
  UINT length;
  UINT flags;
  UINT showCmd;
  LONG ptMinPositionX, ptMinPositionY;
  LONG ptMaxPositionX, ptMaxPositionY;
  LONG rcNormalLeft, rcNormalTop, rcNormalRight, rcNormalBottom;
};
static_assert(sizeof(WINDOWPLACEMENT) == 44);
