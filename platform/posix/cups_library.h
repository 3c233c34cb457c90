// The print service's client library (libcups 2), loaded when printers are
// first listed rather than at start: linked in, it brings gnutls, Kerberos,
// Avahi and D-Bus into every process, and the programs that print would pay
// for loading and relocating them on each start although only the listing
// of installed printers ever calls it.
//
// The few functions and values the listing uses are declared here instead
// of taken from <cups/cups.h>, so a build without the library's development
// files lists the print service's queues all the same wherever the library
// itself is installed. The declarations follow libcups 2's interface, fixed
// for the versioned soname: opaque handles, and the numbers IPP itself puts
// on the wire (cups_printers_test checks them against the headers where
// those are installed).
// Any thread: LoadCupsLibrary serialises its loading; the functions are
// libcups's own, safe to call from any thread.
#pragma once

namespace plat::cups {

// The soname the listing loads: libcups 2's interface.
inline constexpr const char* kLibraryName = "libcups.so.2";

// Opaque to us; libcups hands out and takes back pointers to them.
struct Http;       // http_t
struct Ipp;        // ipp_t
struct Attribute;  // ipp_attribute_t

// IPP's numbers (RFC 8011; CUPS-Get-Printers is the print service's own
// operation) and libcups's values that stand for them (ipp_op_t, ipp_tag_t,
// ipp_status_t).
inline constexpr int kOpCupsGetPrinters = 0x4002;
inline constexpr int kTagOperation = 0x01;
inline constexpr int kTagPrinter = 0x04;
inline constexpr int kTagKeyword = 0x44;
inline constexpr int kStatusOkConflicting = 0x0002;
inline constexpr int kStatusErrorNotFound = 0x0406;

using PasswordCallback = const char* (*)(const char* prompt, Http* http, const char* method,
                                         const char* resource, void* data);
using TimeoutCallback = int (*)(Http* http, void* data);

// The functions the listing calls, resolved by name from the library.
struct Library {
  void (*cupsSetPasswordCB2)(PasswordCallback callback, void* data);
  const char* (*cupsServer)();
  int (*ippPort)();
  int (*cupsEncryption)();
  Http* (*httpConnect2)(const char* host, int port, void* addresses, int family,
                        int encryption, int blocking, int msec, int* cancel);
  void (*httpSetTimeout)(Http* http, double seconds, TimeoutCallback callback, void* data);
  void (*httpClose)(Http* http);
  Ipp* (*ippNewRequest)(int operation);
  Attribute* (*ippAddStrings)(Ipp* ipp, int group, int valueTag, const char* name,
                              int count, const char* language, const char* const* values);
  Ipp* (*cupsDoRequest)(Http* http, Ipp* request, const char* resource);
  int (*ippGetStatusCode)(Ipp* ipp);
  void (*ippDelete)(Ipp* ipp);
  Attribute* (*ippFirstAttribute)(Ipp* ipp);
  Attribute* (*ippNextAttribute)(Ipp* ipp);
  int (*ippGetGroupTag)(Attribute* attribute);
  const char* (*ippGetName)(Attribute* attribute);
  const char* (*ippGetString)(Attribute* attribute, int element, const char** language);
};

// The library named `soname`, loaded on the first call for that name and
// kept for the life of the process (libcups keeps per-thread state that an
// unload would pull from under it); nullptr when it cannot be loaded or
// lacks one of the functions, and then the next call tries again. Always
// nullptr in a build configured without the print service.
const Library* LoadCupsLibrary(const char* soname = kLibraryName);

}  // namespace plat::cups
