// The dialog templates' tables (see dialog_templates.h). Rectangles are in
// dialog units, controls in template order, which is also the tab order.
// Constant data; any thread.
#include "res/dialog_templates.h"

#include <array>

namespace {

using K = ControlKind;

constexpr DialogControl kAboutControls[] = {
    {IDI_MAINFRAME, K::Icon, "", 10, 10, 18, 20, 0},
    {IDC_STATIC, K::StaticText, kProductName, 80, 10, 119, 8, 0},
    {IDC_STATIC, K::StaticText, kVersionLine, 55, 20, 135, 10, 0},
    {IDC_STATIC, K::StaticText, "Copyright (C) VORNA Printing Systems", 10, 40, 215, 8, kCentered},
    {IDC_STATIC, K::StaticText, "All rights reserved.", 10, 50, 215, 8, kCentered},
    {IDC_STATIC, K::StaticText, "This program spools print jobs to VORNA printers.", 10, 60, 215, 8, kCentered},
    {IDC_OK, K::PushButton, "OK", 95, 75, 32, 14, kDefault | kTabStop},
    {IDC_STATIC, K::StaticText, "Sales: +1 555 0100", 10, 95, 105, 8, 0},
    {IDC_STATIC, K::StaticText, "Supplies: +1 555 0101", 120, 95, 105, 8, 0},
    {IDC_STATIC, K::StaticText, "Support: +1 555 0102", 10, 105, 105, 8, 0},
    {IDC_STATIC, K::StaticText, "Bulletin board: +1 555 0103", 120, 105, 105, 8, 0},
    {IDC_STATIC, K::StaticText, "Web: www.vorna.example", 10, 115, 215, 8, 0},
};

constexpr DialogControl kCurrentJobControls[] = {
    {IDC_PRINT, K::PushButton, "&Print", 17, 120, 50, 14, kDefault | kTabStop},
    {IDC_CANCEL_PRINT, K::PushButton, "&Cancel Print", 177, 120, 55, 14, kTabStop},
    {IDC_PAUSE, K::PushButton, "P&ause", 96, 120, 55, 14, kTabStop},
    {IDC_PROGRESS, K::ProgressBar, "", 49, 65, 175, 14, kBorder},
    {IDC_PROGRESS_LABEL, K::StaticText, "Progress", 15, 69, 28, 8, 0},
    {IDC_FILE_LABEL, K::StaticText, "File:", 15, 25, 14, 8, 0},
    {IDC_SIZE_LABEL, K::StaticText, "Size:", 15, 40, 16, 10, 0},
    {IDC_STATUS_LINE, K::StaticText, "Copy x of y", 15, 94, 91, 9, 0},
    {IDC_FILE_NAME, K::StaticText, "Image X", 55, 25, 175, 8, 0},
    {IDC_FILE_SIZE, K::StaticText, "XXXX KB", 55, 40, 79, 8, 0},
    {IDC_STATIC, K::GroupBox, "", 5, 15, 240, 40, 0},
};

constexpr DialogControl kJobQueueControls[] = {
    {IDC_DELETE_ALL, K::PushButton, "Delete &All Jobs", 165, 120, 60, 14, kDefault | kTabStop},
    {IDC_DELETE_JOB, K::PushButton, "&Delete Job", 90, 120, 55, 14, kHidden | kDisabled | kTabStop},
    {IDC_PAUSE_JOB, K::PushButton, "&Pause Job", 15, 120, 55, 14, kHidden | kDisabled | kTabStop},
    {IDC_JOB_LIST, K::ListView, "", 10, 10, 221, 95, kReport | kBorder | kTabStop},
};

constexpr DialogControl kSettingsControls[] = {
    {IDC_PORT_LABEL, K::StaticText, "Port:", 13, 10, 14, 8, 0},
    {IDC_PORT_LIST, K::ComboBox, "", 34, 10, 200, 30, kDropDownList | kVScroll | kTabStop},
    {IDC_DNS_TIMEOUT, K::Edit, "", 135, 43, 40, 14, kBorder | kAutoHScroll | kTabStop},
    {IDC_TIMEOUT_GROUP, K::GroupBox, "Timeouts", 55, 33, 165, 70, 0},
    {IDC_DNS_LABEL, K::StaticText, "Not selected:", 70, 49, 55, 8, 0},
    {IDC_DNS_UNIT, K::StaticText, "seconds", 180, 49, 28, 8, 0},
    {IDC_TX_TIMEOUT, K::Edit, "", 135, 62, 40, 14, kBorder | kAutoHScroll | kTabStop},
    {IDC_TX_LABEL, K::StaticText, "Transmission retry:", 70, 67, 60, 10, 0},
    {IDC_PRINTER_LABEL, K::StaticText, "Printer:", 8, 120, 23, 8, 0},
    {IDC_PRINTER_LIST, K::ComboBox, "", 34, 120, 200, 30, kVScroll | kTabStop},
    {IDC_TX_UNIT, K::StaticText, "seconds", 180, 69, 28, 8, 0},
    {IDC_APPLY_TIMEOUTS, K::PushButton, "&Apply", 115, 82, 50, 14, kTabStop},
};

constexpr DialogControl kCopiesControls[] = {
    {IDC_OK, K::PushButton, "OK", 50, 65, 50, 14, kDefault | kTabStop},
    {IDC_CANCEL, K::PushButton, "Cancel", 115, 65, 50, 14, kTabStop},
    {IDC_COPIES_EDIT, K::Edit, "", 80, 25, 40, 14, kBorder | kDigitsOnly | kAutoHScroll | kTabStop},
    {IDC_COPIES_SPIN, K::UpDown, "", 120, 25, 11, 15, kHidden | kDisabled | kArrowKeys},
    {IDC_COPIES_LABEL, K::StaticText, "Copies:", 50, 30, 24, 8, 0},
};

constexpr const char* kFont = "MS Sans Serif";

const std::array<DialogTemplate, 5> kTemplates = {{
    {IDD_ABOUTBOX, "About ", 34, 22, 235, 126, kPopupDialog, kFont, 8, kAboutControls},
    {IDD_CURRENT_JOB, "Current Job", 0, 0, 249, 147, kChildPage, kFont, 8, kCurrentJobControls},
    {IDD_JOB_QUEUE, "Job Queue", 0, 0, 244, 147, kChildPage, kFont, 8, kJobQueueControls},
    {IDD_SETTINGS, "Settings", 0, 0, 244, 147, kChildPage, kFont, 8, kSettingsControls},
    {IDD_COPIES, "Number of Copies to Print", 0, 0, 186, 95, kPopupDialog, kFont, 8, kCopiesControls},
}};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
  for (const DialogTemplate& dlg : kTemplates)
    if (dlg.id == id) return &dlg;
  return nullptr;
}

const DialogControl* FindDialogControl(const DialogTemplate& dlg, int id) {
  for (const DialogControl& control : dlg.controls)
    if (control.id == id) return &control;
  return nullptr;
}
