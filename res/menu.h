// Menu 128 and keyboard table 128 of the main window as plain data, with the
// command ids the framework gave them. The desktop front end builds its
// menu bar and accelerators from these tables.
// Constant data; any thread.
#pragma once

#include <cstdint>
#include <span>

// Command ids (the framework's numbers, which the tables keep).
inline constexpr int ID_FILE_NEW = 57600;
inline constexpr int ID_FILE_OPEN = 57601;
inline constexpr int ID_FILE_SAVE = 57603;
inline constexpr int ID_FILE_MRU_FILE1 = 57616;  // and the three that follow
inline constexpr int kRecentFileCount = 4;
inline constexpr int ID_EDIT_COPY = 57634;
inline constexpr int ID_EDIT_CUT = 57635;
inline constexpr int ID_EDIT_PASTE = 57637;
inline constexpr int ID_EDIT_UNDO = 57643;
inline constexpr int ID_APP_ABOUT = 57664;
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_HELP_INDEX = 57666;
inline constexpr int ID_HELP_USING = 57668;
inline constexpr int ID_NEXT_PANE = 57680;
inline constexpr int ID_PREV_PANE = 57681;

// The status bar (its indicator panes' texts are in the string table).
inline constexpr int AFX_IDW_STATUS_BAR = 59393;

// Menu item flags.
inline constexpr std::uint32_t kMenuSeparator = 1u << 0;
inline constexpr std::uint32_t kMenuGrayed = 1u << 1;

struct MenuItemDef {
  int command;  // 0 for a separator
  const char* text;  // "\t" separates the shortcut shown
  std::uint32_t flags;
};

struct MenuDef {
  const char* caption;
  std::span<const MenuItemDef> items;
};

// Menu 128, left to right.
std::span<const MenuDef> MainMenu();

// Virtual keys used by the keyboard table.
inline constexpr int VK_BACK = 0x08;
inline constexpr int VK_INSERT = 0x2D;
inline constexpr int VK_DELETE = 0x2E;
inline constexpr int VK_F6 = 0x75;

// Accelerator modifiers.
inline constexpr std::uint32_t FSHIFT = 0x04;
inline constexpr std::uint32_t FCONTROL = 0x08;
inline constexpr std::uint32_t FALT = 0x10;

struct AccelDef {
  int key;  // a virtual key or an upper-case letter
  std::uint32_t modifiers;
  int command;
};

// Keyboard table 128, in table order.
std::span<const AccelDef> MainAccelerators();

// Commands of the keyboard table that must do nothing here: a second new
// document would run the document start again and a save would write the
// empty document over the opened file.
bool IsNeutralisedCommand(int command);
