// The toolkit's headers for the Windows build, read before anything else in
// every file that uses them (the build force-includes this header there).
// wxMSW includes <windows.h> and declares inline wrappers with its types
// (HWND, DWORD ...), while our neutral headers give those names to our own
// fixed-width types: so <windows.h> comes first with the system's clashing
// names moved aside (platform/win32/windows_api.h), and the toolkit is read
// with the same names moved aside. Afterwards the names are ours again, and
// the toolkit's later #includes find their headers already read.
// Any thread (declarations only).
#pragma once

// The settings store has its own PRINTER_INFO_2 (queue/settings_store.h):
// the system's is read as W32_PRINTER_INFO_2, a name for PRINTER_INFO_2A
// (the header makes its name from ours by appending "A").
#define PRINTER_INFO_2 W32_PRINTER_INFO_2
#define W32_PRINTER_INFO_2A PRINTER_INFO_2A
#include "platform/win32/windows_api.h"
#undef W32_PRINTER_INFO_2A
#undef PRINTER_INFO_2

#include "platform/win32/system_names_aside.h"

// Every toolkit header the desktop spooler and its GUI suites use.
#include <wx/accel.h>
#include <wx/app.h>
#include <wx/artprov.h>
#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/dialog.h>
#include <wx/event.h>
#include <wx/evtloop.h>
#include <wx/fileconf.h>
#include <wx/filedlg.h>
#include <wx/filefn.h>
#include <wx/filehistory.h>
#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/gauge.h>
#include <wx/gdicmn.h>
#include <wx/icon.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/minifram.h>
#include <wx/modalhook.h>
#include <wx/notebook.h>
#include <wx/notifmsg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/spinbutt.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/thread.h>
#include <wx/timer.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>
#include <wx/utils.h>
#include <wx/valtext.h>
#include <wx/window.h>

#include "platform/win32/system_names_back.h"

// Constants our own headers define themselves (res/menu.h,
// platform/files.h).
#undef INVALID_FILE_SIZE
#undef VK_BACK
#undef VK_INSERT
#undef VK_DELETE
#undef VK_F6
#undef FSHIFT
#undef FCONTROL
#undef FALT
