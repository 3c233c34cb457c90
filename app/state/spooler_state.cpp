// Definitions of the shared spooler state (see spooler_state.h).
#include "app/state/spooler_state.h"
#include "app/state/spooler_state_test_support.h"

#include <algorithm>
#include <cstring>

CriticalSection g_csSpooler;

HWND g_hMainWnd = 0;
HWND g_hJobPageWnd = 0;
DWORD g_nTimerId = 0;
std::uintptr_t g_hPrintThread = 0;

BOOL g_bQueueMode = 0;
BOOL g_bPrinting = 0;
BOOL g_bAbortJob = 0;
BOOL g_bPaused = 0;
BOOL g_bFileLoaded = 0;
BOOL g_bJobDone = 0;
BOOL g_bQueuePurged = 1;
DWORD g_dwIdleSince = 0;

DWORD g_nBytesSent = 0;
DWORD g_nBytesUnconfirmed = 0;
std::uint16_t g_nCopy = 1;

PrinterWait g_nPrinterWait = PrinterWait::None;
DWORD g_dwWaitSince = 0;
DWORD g_dwWaitTimeout = 0;

JobRecord g_curJob;

HANDLE g_hSpoolFile = INVALID_HANDLE_VALUE;
HANDLE g_hPort = INVALID_HANDLE_VALUE;
BOOL g_bNetConnected = 0;
char g_szNetDevice[8] = {};

DWORD g_nJobsSetAside = 0;

std::string g_strFileName;
std::uint8_t g_jobRowState[128] = {};

DWORD PrintedBytesOfCopy() {
  // What the port still holds may belong to the copy before (the counter
  // starts again at each copy while the printer works through the last
  // one's tail): then nothing of this copy is taken yet.
  return g_nBytesSent - std::min(g_nBytesUnconfirmed, g_nBytesSent);
}

void ResetSpoolerState() {
  SpoolerLock lock;
  g_hMainWnd = 0;
  g_hJobPageWnd = 0;
  g_nTimerId = 0;
  g_hPrintThread = 0;
  g_bQueueMode = 0;
  g_bPrinting = 0;
  g_bAbortJob = 0;
  g_bPaused = 0;
  g_bFileLoaded = 0;
  g_bJobDone = 0;
  g_bQueuePurged = 1;
  g_dwIdleSince = 0;
  g_nBytesSent = 0;
  g_nBytesUnconfirmed = 0;
  g_nCopy = 1;
  g_nJobsSetAside = 0;
  g_nPrinterWait = PrinterWait::None;
  g_dwWaitSince = 0;
  g_dwWaitTimeout = 0;
  g_curJob = JobRecord{};
  g_hSpoolFile = INVALID_HANDLE_VALUE;
  g_hPort = INVALID_HANDLE_VALUE;
  g_bNetConnected = 0;
  std::memset(g_szNetDevice, 0, sizeof g_szNetDevice);
  g_strFileName.clear();
  std::memset(g_jobRowState, 0, sizeof g_jobRowState);
}
