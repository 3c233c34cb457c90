// Dialog templates 100 (about box), 130 (Current Job), 131 (Job Queue),
// 133 (Settings) and 135 (number of copies) as plain data: every control
// with its id, kind, text, rectangle in dialog units and style flags. The
// desktop front end builds its widgets from these tables, so positions and
// ids live in exactly one place.
// Constant data; any thread.
#pragma once

#include <cstdint>
#include <span>

// Template ids.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_CURRENT_JOB = 130;
inline constexpr int IDD_JOB_QUEUE = 131;
inline constexpr int IDD_SETTINGS = 133;
inline constexpr int IDD_COPIES = 135;

// Control ids shared by the templates and the pages' event tables.
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_OK = 1;
inline constexpr int IDC_CANCEL = 2;
inline constexpr int IDI_MAINFRAME = 128;  // the program's icon

// Current Job (130).
inline constexpr int IDC_PRINT = 1022;
inline constexpr int IDC_PAUSE = 1023;
inline constexpr int IDC_CANCEL_PRINT = 1024;
inline constexpr int IDC_PROGRESS = 1021;
inline constexpr int IDC_PROGRESS_LABEL = 1030;
inline constexpr int IDC_FILE_LABEL = 1044;
inline constexpr int IDC_SIZE_LABEL = 1045;
inline constexpr int IDC_STATUS_LINE = 1047;
inline constexpr int IDC_FILE_NAME = 1048;
inline constexpr int IDC_FILE_SIZE = 1049;

// Job Queue (131).
inline constexpr int IDC_DELETE_ALL = 1004;
inline constexpr int IDC_DELETE_JOB = 1013;
inline constexpr int IDC_PAUSE_JOB = 1014;
inline constexpr int IDC_JOB_LIST = 1057;

// Settings (133).
inline constexpr int IDC_PORT_LABEL = 1032;
inline constexpr int IDC_PORT_LIST = 1015;
inline constexpr int IDC_DNS_TIMEOUT = 1016;
inline constexpr int IDC_TIMEOUT_GROUP = 1034;
inline constexpr int IDC_DNS_LABEL = 1035;
inline constexpr int IDC_DNS_UNIT = 1038;
inline constexpr int IDC_TX_TIMEOUT = 1017;
inline constexpr int IDC_TX_LABEL = 1036;
inline constexpr int IDC_PRINTER_LABEL = 1040;
inline constexpr int IDC_PRINTER_LIST = 1018;
inline constexpr int IDC_TX_UNIT = 1039;
inline constexpr int IDC_APPLY_TIMEOUTS = 1056;

// Copies (135).
inline constexpr int IDC_COPIES_EDIT = 1050;
inline constexpr int IDC_COPIES_LABEL = 1051;
inline constexpr int IDC_COPIES_SPIN = 1052;

enum class ControlKind {
  PushButton,
  StaticText,
  Icon,
  GroupBox,
  Edit,
  ComboBox,     // see kDropDownList: without it the box has an edit field
  ProgressBar,
  ListView,
  UpDown,
};

// Style flags of a control.
inline constexpr std::uint32_t kDefault = 1u << 0;       // default push button
inline constexpr std::uint32_t kHidden = 1u << 1;        // not visible
inline constexpr std::uint32_t kDisabled = 1u << 2;
inline constexpr std::uint32_t kBorder = 1u << 3;
inline constexpr std::uint32_t kDigitsOnly = 1u << 4;    // edit takes digits only
inline constexpr std::uint32_t kAutoHScroll = 1u << 5;
inline constexpr std::uint32_t kVScroll = 1u << 6;
inline constexpr std::uint32_t kDropDownList = 1u << 7;  // combo without edit field
inline constexpr std::uint32_t kCentered = 1u << 8;      // centred static text
inline constexpr std::uint32_t kReport = 1u << 9;        // list view report style
inline constexpr std::uint32_t kArrowKeys = 1u << 10;    // up-down arrow keys
inline constexpr std::uint32_t kTabStop = 1u << 11;

struct DialogControl {
  int id;
  ControlKind kind;
  const char* text;
  int x, y, w, h;  // dialog units
  std::uint32_t style;
};

// Template style flags.
inline constexpr std::uint32_t kChildPage = 1u << 0;   // property page
inline constexpr std::uint32_t kPopupDialog = 1u << 1; // caption, system menu, modal frame

struct DialogTemplate {
  int id;
  const char* caption;
  int x, y, w, h;  // dialog units
  std::uint32_t style;
  const char* fontName;
  int fontPoints;
  std::span<const DialogControl> controls;  // in template order
};

// The template with this id, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);
// The control with this id in the template, or nullptr (IDC_STATIC finds
// the first unnamed control).
const DialogControl* FindDialogControl(const DialogTemplate& dlg, int id);

// Texts of the about box that are ours to choose.
inline constexpr const char* kProductName = "Kelvane";
inline constexpr const char* kVersionLine = "Version 2.00 for the Tamrel printer family";
