// Named ids of the string table (res/string_table.cpp): the spooler's own
// texts 61204..61238 and the framework strings that the windows and the
// data-exchange validation load.
// Header only; any thread.
#pragma once

#include "platform/win_types.h"

// Captions of printer replies and port fault prompts.
inline constexpr UINT IDS_CAPTION_PRINTER_ERROR = 61204;
inline constexpr UINT IDS_CAPTION_PORT_ERROR = 61205;
inline constexpr UINT IDS_CAPTION_PRINTER_STATUS = 61206;
inline constexpr UINT IDS_CAPTION_PRINTER_MESSAGE = 61207;

// Port fault prompts.
inline constexpr UINT IDS_PORT_OUT_OF_PAPER = 61208;
inline constexpr UINT IDS_PORT_NOT_SELECTED_QUEUE = 61209;
inline constexpr UINT IDS_PORT_NOT_SELECTED = 61210;
inline constexpr UINT IDS_PORT_NOT_ACCEPTING_QUEUE = 61211;
inline constexpr UINT IDS_PORT_NOT_ACCEPTING = 61212;
inline constexpr UINT IDS_PORT_IO_ERROR = 61226;
inline constexpr UINT IDS_PORT_IO_ERROR_QUEUE = 61237;

// Error replies of the printer, by error code.
inline constexpr UINT IDS_PRINTER_PAPER_JAM = 61213;        // code 1
inline constexpr UINT IDS_PRINTER_RIBBON_JAM = 61214;       // code 2
inline constexpr UINT IDS_PRINTER_RIBBON_TYPE = 61215;      // code 3
inline constexpr UINT IDS_PRINTER_COMM_ERROR = 61227;       // code 0
inline constexpr UINT IDS_PRINTER_HOOD_OPEN = 61228;        // code 4
inline constexpr UINT IDS_PRINTER_FLIPPER = 61229;          // code 5
inline constexpr UINT IDS_PRINTER_HEAD_LIFTER = 61230;      // code 6
inline constexpr UINT IDS_CUTTER_KNIFE = 61231;             // code 80
inline constexpr UINT IDS_CUTTER_CARRIAGE = 61232;          // code 81
inline constexpr UINT IDS_CUTTER_MOTOR_STALL = 61233;       // code 82
inline constexpr UINT IDS_CUTTER_DOOR_OPEN = 61235;         // code 84
inline constexpr UINT IDS_PRINTER_UNKNOWN_ERROR = 61236;    // any other

// Current Job and Job Queue pages.
inline constexpr UINT IDS_PAUSE_WARNING = 61216;
inline constexpr UINT IDS_CAPTION_WARNING = 61217;
inline constexpr UINT IDS_LABEL_PAUSE = 61218;
inline constexpr UINT IDS_LABEL_RESUME = 61219;
inline constexpr UINT IDS_STATUS_COMPLETED = 61220;
inline constexpr UINT IDS_STATUS_IDLE = 61221;
inline constexpr UINT IDS_STATUS_COPY = 61222;
inline constexpr UINT IDS_STATUS_OF = 61223;
inline constexpr UINT IDS_SIZE_KB = 61224;
inline constexpr UINT IDS_CANCEL_WARNING = 61225;
inline constexpr UINT IDS_DELETE_ALL_WARNING = 61238;

// Framework strings, with the framework's own ids.
inline constexpr UINT IDR_MAINFRAME = 128;            // document template
inline constexpr UINT AFX_IDS_APP_TITLE = 0xE000;     // 57344
inline constexpr UINT AFX_IDS_IDLEMESSAGE = 0xE001;   // 57345
inline constexpr UINT ID_INDICATOR_CAPS = 0xE701;     // 59137
inline constexpr UINT ID_INDICATOR_NUM = 0xE702;      // 59138
inline constexpr UINT ID_INDICATOR_SCRL = 0xE703;     // 59139
inline constexpr UINT AFX_IDP_PARSE_INT = 0xF110;
inline constexpr UINT AFX_IDP_PARSE_INT_RANGE = 0xF111;
