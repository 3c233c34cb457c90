// Tests of the string table: the texts users read, byte for byte, and the
// loader's cut-off. Test thread only.
#include <gtest/gtest.h>

#include <string>

#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

struct Expected {
  UINT id;
  const char* text;
};

// Every text with an id, written out again here so that a slip in either
// copy shows.
const Expected kExpected[] = {
    {61204, "Kelvane - Printer Error"},
    {61205, "Kelvane Error"},
    {61206, "Kelvane - Printer Status"},
    {61207, "Kelvane - Printer Message"},
    {61208, "The printer is reporting out of paper.  Check paper supply."},
    {61209,
     "The printer is not selected. Make sure the cable is connected and the "
     "printer is online.\r\n\r\nAbort cancels all jobs.\r\nRetry starts current "
     "job over.\r\nIgnore continues with current job."},
    {61210,
     "The printer is not selected. Make sure the cable is connected and the "
     "printer is online."},
    {61211,
     "The printer is not accepting data. Make sure the printer is online and "
     "the cable is connected.\r\n\r\nAbort cancels all jobs.\r\nRetry starts "
     "current job over.\r\nIgnore continues with current job."},
    {61212,
     "The printer is not accepting data. Make sure the printer is online and "
     "the cable is connected.."},
    {61213,
     "The printer has reported a paper jam error.\r\nClear the paper jam from "
     "the printer.\r\nThen press the printer Online button to retry or the "
     "printer Cancel button to cancel the job."},
    {61214,
     "The printer has reported a ribbon jam/error.\r\nPress the printer Online "
     "button to retry or the printer Cancel button to cancel the job."},
    {61215,
     "Printer Ribbon Error.  Make sure you have the following ribbon type "
     "installed:\r\n\r\n"},
    {61216,
     "Warning:  Choosing to pause a print may degrade the print quality of the "
     "current print.  "},
    {61217, "Kelvane - Warning"},
    {61218, "Pause"},
    {61219, "Resume"},
    {61220, "completed"},
    {61221, "idle"},
    {61222, "Copy "},
    {61223, " of "},
    {61224, " KB"},
    {61225,
     "Warning:  Choosing to cancel the print will cause the current job to "
     "stop."},
    {61226,
     "A device I/O error has occurred.\r\nMake sure the printer is on and the "
     "cable is connected."},
    {61227, "The printer has reported a communications error."},
    {61228,
     "The printer hood is open.\r\nShut the hood and press the printer Online "
     "button."},
    {61229,
     "The printer has reported a flipper error.\r\nPress the printer Online "
     "button to retry or the printer Cancel button to cancel the job."},
    {61230, "The printer has reported a head lifter error."},
    {61231, "The cutter has reported a knife position error."},
    {61232, "The cutter has reported a carriage home position error."},
    {61233, "The cutter has reported a motor stall."},
    {61235,
     "The cutter has reported an open door.\r\nShut the cutter door and press "
     "the cutter Pause button to retry or the cutter Cancel button to cancel "
     "the job."},
    {61236,
     "The printer has reported an unknown error.\r\nPress the printer Online "
     "button to retry or the printer Cancel button to cancel the job."},
    {61237,
     "A device I/O error has occurred.\r\nMake sure the cable is connected and "
     "the printer is on.\r\n\r\nAbort cancels all jobs.  Retry starts current "
     "job over.  Ignore continues with current job."},
    {61238,
     "Warning:  All jobs will be lost, including the currently printing "
     "job."},
    {57344, "Tamrel"},
    {57345, "Ready"},
    {128, "Kelvane\n\nTamrel\n\n\nTamrel.Document\nTamrel Document"},
    {59137, "CAP"},
    {59138, "NUM"},
    {59139, "SCRL"},
    {AFX_IDP_PARSE_INT, "Please enter a positive integer."},
    {AFX_IDP_PARSE_INT_RANGE, "Please enter an integer between %1 and %2."},
};

TEST(StringTable, EveryTextIsExact) {
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.id);
    EXPECT_EQ(LoadResString(e.id, 1024), e.text);
  }
}

TEST(StringTable, FrameworkIdsAreTheFrameworksOwn) {
  EXPECT_EQ(AFX_IDS_APP_TITLE, 57344u);
  EXPECT_EQ(AFX_IDS_IDLEMESSAGE, 57345u);
  EXPECT_EQ(ID_INDICATOR_CAPS, 59137u);
  EXPECT_EQ(ID_INDICATOR_NUM, 59138u);
  EXPECT_EQ(ID_INDICATOR_SCRL, 59139u);
  EXPECT_NE(AFX_IDP_PARSE_INT, AFX_IDP_PARSE_INT_RANGE);
}

TEST(StringTable, LineBreaksAreCarriageReturnAndLineFeed) {
  const std::string text = LoadResString(IDS_PRINTER_RIBBON_TYPE, 256);
  ASSERT_GE(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
  EXPECT_EQ(text.find("\\r"), std::string::npos);
}

TEST(StringTable, UnknownIdsGiveEmptyText) {
  EXPECT_EQ(LoadResString(61234, 256), "");  // never had a text
  EXPECT_EQ(LoadResString(61203, 256), "");
  EXPECT_EQ(LoadResString(61239, 256), "");
  EXPECT_EQ(LoadResString(0, 256), "");
}

TEST(StringTable, CutOffKeepsRoomForTheTerminatingZero) {
  const std::string full = LoadResString(IDS_CAPTION_PRINTER_MESSAGE, 1024);
  ASSERT_EQ(full.size(), 25u);
  // A buffer of n characters holds n - 1 of them.
  EXPECT_EQ(LoadResString(IDS_CAPTION_PRINTER_MESSAGE, 10), full.substr(0, 9));
  EXPECT_EQ(LoadResString(IDS_CAPTION_PRINTER_MESSAGE, 26), full);
  EXPECT_EQ(LoadResString(IDS_CAPTION_PRINTER_MESSAGE, 25), full.substr(0, 24));
  EXPECT_EQ(LoadResString(IDS_CAPTION_PRINTER_MESSAGE, 1), "");
  EXPECT_EQ(LoadResString(IDS_CAPTION_PRINTER_MESSAGE, 0), "");
  EXPECT_EQ(LoadResString(IDS_CAPTION_PRINTER_MESSAGE, -5), "");
}

TEST(StringTable, CaptionsAndPromptsFitTheirLoadLimits) {
  // Nothing the spooler shows may be cut by the limits its callers use.
  for (UINT id : {61204u, 61205u, 61206u, 61207u, 61217u}) {
    EXPECT_EQ(LoadResString(id, kCaptionLoadMax), LoadResString(id, 4096)) << id;
  }
  for (UINT id = 61204; id <= 61238; ++id) {
    EXPECT_EQ(LoadResString(id, kPromptLoadMax), LoadResString(id, 4096)) << id;
  }
}

}  // namespace
