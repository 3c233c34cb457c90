// Gives back to our neutral types the names system_names_aside.h moved
// aside. Included in pairs with it; no include guard.
#undef DWORD
#undef LONG
#undef HANDLE
#undef HWND
#undef WINDOWPLACEMENT
#undef COMMTIMEOUTS
