// The program's icon, drawn in res/icon_128.xpm (see app_icon.h).
#include "app/wx/app_icon.h"

#include "res/icon_128.xpm"

namespace kwx {

wxBitmap ProgramBitmap() { return wxBitmap(kelvane_icon_xpm); }

wxIcon ProgramIcon() { return wxIcon(kelvane_icon_xpm); }

}  // namespace kwx
