// Which view of HKEY_LOCAL_MACHINE\SOFTWARE the spooler's key lives in.
// The drivers that share the key with us are 32-bit programs; on 64-bit
// Windows their SOFTWARE is the 32-bit view (SOFTWARE\WOW6432Node). We open
// that view whatever we are built as, so that both meet the same key; on
// 32-bit Windows the flag is ignored. Include after windows_api.h.
#pragma once

inline constexpr REGSAM kDriverRegistryView = KEY_WOW64_32KEY;
