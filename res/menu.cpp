// Menu 128 and keyboard table 128 (see menu.h).
// Constant data; any thread.
#include "res/menu.h"

namespace {

constexpr MenuItemDef kFileItems[] = {
    {ID_FILE_OPEN, "&Open...\tCtrl+O", 0},
    {0, "", kMenuSeparator},
    {ID_FILE_MRU_FILE1, "Recent File", kMenuGrayed},
    {0, "", kMenuSeparator},
    {ID_APP_EXIT, "E&xit", 0},
};

constexpr MenuItemDef kHelpItems[] = {
    {ID_APP_ABOUT, "&About Kelvane", 0},
    {ID_HELP_INDEX, "&Index", 0},
    {ID_HELP_USING, "&Using Help", 0},
};

constexpr MenuDef kMenus[] = {
    {"&File", kFileItems},
    {"&Help", kHelpItems},
};

constexpr AccelDef kAccelerators[] = {
    {'N', FCONTROL, ID_FILE_NEW},
    {'O', FCONTROL, ID_FILE_OPEN},
    {'S', FCONTROL, ID_FILE_SAVE},
    {'Z', FCONTROL, ID_EDIT_UNDO},
    {'X', FCONTROL, ID_EDIT_CUT},
    {'C', FCONTROL, ID_EDIT_COPY},
    {'V', FCONTROL, ID_EDIT_PASTE},
    {VK_BACK, FALT, ID_EDIT_UNDO},
    {VK_DELETE, FSHIFT, ID_EDIT_CUT},
    {VK_INSERT, FCONTROL, ID_EDIT_COPY},
    {VK_INSERT, FSHIFT, ID_EDIT_PASTE},
    {VK_F6, 0, ID_NEXT_PANE},
    {VK_F6, FSHIFT, ID_PREV_PANE},
};

}  // namespace

std::span<const MenuDef> MainMenu() { return kMenus; }

std::span<const AccelDef> MainAccelerators() { return kAccelerators; }

bool IsNeutralisedCommand(int command) {
  return command == ID_FILE_NEW || command == ID_FILE_SAVE;
}
