// Moves the system's type names that clash with our neutral ones aside
// (DWORD -> W32_DWORD ...), for the system headers read after it; its
// counterpart system_names_back.h gives the names back to us. Included in
// pairs around <windows.h> and around headers that read it (wxMSW's), never
// on its own: hence no include guard.
#define DWORD W32_DWORD
#define LONG W32_LONG
#define HANDLE W32_HANDLE
#define HWND W32_HWND
#define WINDOWPLACEMENT W32_WINDOWPLACEMENT
#define COMMTIMEOUTS W32_COMMTIMEOUTS
