// The GUI harness's questions to the system on X11 (see native_windows.h):
// the stacking order from the X server, natural sizes from GTK. The GTK
// and GDK calls are looked up in the running process (the toolkit has
// loaded them), so the harness needs none of their development headers.
// Main thread.
#include "tests/gui/native_windows.h"

#include <dlfcn.h>

// Last: Xlib defines names (Status, Bool...) that clash with the toolkit's.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kgui::native {
namespace {

struct Requisition {
  int width;
  int height;
};

template <typename Fn>
Fn Lookup(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

// The X window of a top-level toolkit window, or 0.
unsigned long XWindowOf(wxWindow* window) {
  using GetWindow = void* (*)(void*);
  using GetXid = unsigned long (*)(void*);
  static const auto getWindow = Lookup<GetWindow>("gtk_widget_get_window");
  static const auto getXid = Lookup<GetXid>("gdk_x11_window_get_xid");
  if (window == nullptr || getWindow == nullptr || getXid == nullptr) return 0;
  void* gdk = getWindow(window->GetHandle());
  return gdk ? getXid(gdk) : 0;
}

// The child of the root that holds `window` (itself, or the frame a window
// manager put around it); 0 when it cannot be found.
Window RootChildOf(Display* display, Window window) {
  while (window != 0) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    if (children) XFree(children);
    if (parent == root) return window;
    window = parent;
  }
  return 0;
}

}  // namespace

bool StackingIsManaged() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  // A window manager that follows the desktop's conventions says so on
  // the root window.
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
  bool managed = false;
  if (check != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success) {
      managed = type != None && count > 0;
      if (data) XFree(data);
    }
  }
  XCloseDisplay(display);
  return managed;
}

std::optional<bool> IsStackedAbove(wxWindow* upper, wxWindow* lower) {
  if (upper == nullptr || lower == nullptr || !upper->IsShown() || !lower->IsShown())
    return std::nullopt;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return std::nullopt;
  std::optional<bool> answer;
  const Window up = RootChildOf(display, XWindowOf(upper));
  const Window low = RootChildOf(display, XWindowOf(lower));
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (up != 0 && low != 0 && up != low &&
      XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
    // The root's children come bottom first.
    for (unsigned i = 0; i < count && !answer; ++i) {
      if (children[i] == low) answer = true;
      if (children[i] == up) answer = false;
    }
    if (children) XFree(children);
  }
  XCloseDisplay(display);
  return answer;
}

std::optional<bool> IsOwnedBy(wxWindow* window, wxWindow* owner) {
  const unsigned long self = XWindowOf(window);
  const unsigned long boss = XWindowOf(owner);
  if (self == 0 || boss == 0) return std::nullopt;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return std::nullopt;
  Window transientFor = 0;
  const bool has = XGetTransientForHint(display, self, &transientFor) != 0;
  XCloseDisplay(display);
  return has && transientFor == boss;
}

std::optional<wxSize> NaturalSize(wxWindow* control) {
  using PreferredSize = void (*)(void*, Requisition*, Requisition*);
  static const auto preferred = Lookup<PreferredSize>("gtk_widget_get_preferred_size");
  if (control == nullptr || preferred == nullptr || control->GetHandle() == nullptr)
    return std::nullopt;
  Requisition minimum{};
  Requisition natural{};
  preferred(control->GetHandle(), &minimum, &natural);
  return wxSize(natural.width, natural.height);
}

std::vector<void*> OpenSystemBoxes() { return {}; }
SeenDialog DescribeSystemBox(void*) { return {}; }
void PressSystemBoxButton(void*, int) {}
void PressSystemBoxEscape(void*) {}
void PressSystemBoxCloseBox(void*) {}
bool SystemBoxWaiting(void*) { return false; }
void CancelSystemDialogs() {}

}  // namespace kgui::native
