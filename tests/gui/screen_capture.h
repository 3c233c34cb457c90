// How the GUI harness reads the screen and in which image format it keeps
// what it read, one body per operating system: the X server's root window
// saved as PNG (screen_capture_x11.cpp); on Windows the screen's device
// context saved as BMP, the one format a toolkit built without libpng
// writes (screen_capture_msw.cpp; the Windows stage converts them to PNG).
// Main thread (the GUI thread).
#pragma once

#include <wx/gdicmn.h>
#include <wx/image.h>

namespace kgui {

// Registers the image handler screenshots are written and read with.
void AddScreenshotHandler();
wxBitmapType ScreenshotType();
// The file name extension of that type, without the dot.
const char* ScreenshotExtension();

// Reads what the screen shows in `rect` (screen coordinates) into `image`.
// False when the screen could not be read.
bool CaptureScreen(const wxRect& rect, wxImage& image);

}  // namespace kgui
