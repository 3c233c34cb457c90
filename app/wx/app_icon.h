// The program's icon (icon 128) as toolkit images.
// Main thread.
#pragma once

#include <wx/bitmap.h>
#include <wx/icon.h>

namespace kwx {

wxBitmap ProgramBitmap();
wxIcon ProgramIcon();

}  // namespace kwx
