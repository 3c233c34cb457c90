// The GUI harness's screen on X11 (see screen_capture.h): read straight from
// the X server, so a screenshot is what the (virtual) screen shows now.
// Main thread.
#include "tests/gui/screen_capture.h"

// Last: Xlib defines names (Status, Bool...) that clash with the toolkit's.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kgui {

void AddScreenshotHandler() { wxImage::AddHandler(new wxPNGHandler); }

wxBitmapType ScreenshotType() { return wxBITMAP_TYPE_PNG; }

const char* ScreenshotExtension() { return "png"; }

bool CaptureScreen(const wxRect& rect, wxImage& image) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  XImage* shot = XGetImage(display, DefaultRootWindow(display), rect.x, rect.y,
                           static_cast<unsigned>(rect.width), static_cast<unsigned>(rect.height),
                           AllPlanes, ZPixmap);
  if (shot != nullptr) {
    image.Create(rect.width, rect.height);
    for (int y = 0; y < rect.height; ++y)
      for (int x = 0; x < rect.width; ++x) {
        const unsigned long pixel = XGetPixel(shot, x, y);
        image.SetRGB(x, y, static_cast<unsigned char>((pixel & shot->red_mask) >> 16),
                     static_cast<unsigned char>((pixel & shot->green_mask) >> 8),
                     static_cast<unsigned char>(pixel & shot->blue_mask));
      }
    XDestroyImage(shot);
  }
  XCloseDisplay(display);
  return shot != nullptr;
}

}  // namespace kgui
