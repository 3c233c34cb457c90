// The GUI harness's screen on Windows (see screen_capture.h): the screen's
// device context copied into a bitmap, so overlapping windows show as the
// user would see them. BMP is built into every toolkit configuration.
// Main thread.
#include "tests/gui/screen_capture.h"

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>

namespace kgui {

void AddScreenshotHandler() {}  // the BMP handler is always there

wxBitmapType ScreenshotType() { return wxBITMAP_TYPE_BMP; }

const char* ScreenshotExtension() { return "bmp"; }

bool CaptureScreen(const wxRect& rect, wxImage& image) {
  wxScreenDC screen;
  wxBitmap bitmap(rect.width, rect.height, 24);
  wxMemoryDC memory(bitmap);
  const bool copied = memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
  memory.SelectObject(wxNullBitmap);
  if (!copied) return false;
  image = bitmap.ConvertToImage();
  return image.IsOk();
}

}  // namespace kgui
