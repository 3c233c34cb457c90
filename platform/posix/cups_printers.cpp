// Print service queues joined to the [devices] printers (see
// cups_printers.h). Only ListCupsQueues talks to the print service, through
// libcups loaded at its first call (cups_library.h); where the library is
// not installed, or the build was configured without the print service
// (KELVANE_HAVE_CUPS unset), that call reports "no server" and the list
// stays the [devices] one.
// Any thread: nothing here keeps state between calls apart from the
// process-wide source that UseSystemPrinters installs, which is immutable,
// and the loaded library, which LoadCupsLibrary guards.
#include "platform/cups_printers.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>

#include "platform/common/text_util.h"
#include "platform/port_names.h"
#include "platform/posix/cups_library.h"

namespace plat {
namespace {

// A field without the space around it, as a string of its own.
std::string Trim(std::string_view s) { return std::string(TrimSpace(s)); }

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && ToLower(s.substr(0, prefix.size())) == prefix;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%20" -> " "; a malformed escape stays as written rather than guessing.
std::string PercentDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = HexValue(s[i + 1]);
      int lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

// A port name ends up in the registry, in the job's record and in a combo
// box: no control characters (a line break would split the queue record),
// no trailing colon (the next-job step strips it, which would change the
// name), and short enough for the stored "Port" value.
bool IsOfferablePortName(const std::string& name) {
  if (name.empty() || name.size() > kMaxOfferedPortChars) return false;
  if (name.back() == ':') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::optional<std::string> Offer(std::string name) {
  if (!IsOfferablePortName(name)) return std::nullopt;
  return name;
}

// "file:/p", "file:///p", "file://localhost/p" -> "/p"; another host is not
// ours to write to.
std::optional<std::string> PathFromFileUri(const std::string& rest) {
  std::string path = rest;
  if (path.compare(0, 2, "//") == 0) {
    std::size_t slash = path.find('/', 2);
    if (slash == std::string::npos) return std::nullopt;
    const std::string host = ToLower(path.substr(2, slash - 2));
    if (!host.empty() && host != "localhost") return std::nullopt;
    path = path.substr(slash);
  }
  path = PercentDecode(path);
  if (path.empty() || path[0] != '/') return std::nullopt;
  return path;
}

// "socket://host:9100/?waiteof=false" -> "socket://host:9100". The options
// belong to the print service's backend; our port writes raw bytes anyway.
std::optional<std::string> SocketPortFromUri(const std::string& rest) {
  std::string hostPort = rest.substr(0, rest.find_first_of("?#"));
  while (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
  if (hostPort.empty() || hostPort.find('/') != std::string::npos ||
      hostPort.find('@') != std::string::npos) {
    return std::nullopt;
  }
  const PortTarget target = ParsePortDevice("socket://" + hostPort);
  if (target.kind != PortKind::Socket) return std::nullopt;
  // Spelled out with its port, so the user sees where the bytes go.
  const std::string host =
      target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
  return "socket://" + host + ":" + std::to_string(target.port);
}

using DeviceIdFields = std::map<std::string, std::string>;

// "MFG:VORNA;MDL:Tamrel 200;SN:42;" -> {MFG: VORNA, MDL: Tamrel 200, SN: 42}
DeviceIdFields ParseDeviceId(const std::string& id) {
  DeviceIdFields fields;
  std::stringstream in(id);
  std::string item;
  while (std::getline(in, item, ';')) {
    std::size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    std::string key = Trim(item.substr(0, colon));
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!key.empty() && !fields.count(key)) fields[key] = Trim(item.substr(colon + 1));
  }
  return fields;
}

std::string FirstField(const DeviceIdFields& fields,
                       std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = fields.find(key);
    if (it != fields.end() && !it->second.empty()) return it->second;
  }
  return "";
}

// The print service shortens a few makers' names when it builds usb:// URIs.
std::string UriMakeFor(const std::string& deviceIdMake) {
  const std::string lower = ToLower(deviceIdMake);
  if (lower == "hewlett-packard") return "hp";
  if (lower == "lexmark international") return "lexmark";
  return lower;
}

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  return Trim(line);
}

std::string QueryValue(const std::string& query, const std::string& key) {
  std::stringstream in(query);
  std::string pair;
  while (std::getline(in, pair, '&')) {
    std::size_t eq = pair.find('=');
    if (eq != std::string::npos && ToLower(pair.substr(0, eq)) == key)
      return PercentDecode(pair.substr(eq + 1));
  }
  return "";
}

}  // namespace

bool UsbUriMatchesNode(const std::string& uri, const UsbPrinterNode& node) {
  if (!StartsWithNoCase(uri, "usb://")) return false;
  const std::string rest = uri.substr(6);
  const std::size_t question = rest.find('?');
  const std::string path = rest.substr(0, question);
  const std::string query = question == std::string::npos ? "" : rest.substr(question + 1);
  const std::size_t slash = path.find('/');
  if (slash == std::string::npos) return false;
  const std::string make = ToLower(Trim(PercentDecode(path.substr(0, slash))));
  const std::string model = ToLower(Trim(PercentDecode(path.substr(slash + 1))));
  if (make.empty() || model.empty()) return false;

  const DeviceIdFields fields = ParseDeviceId(node.deviceId);
  const std::string idMake = FirstField(fields, {"MFG", "MANUFACTURER"});
  const std::string idModel = FirstField(fields, {"MDL", "MODEL"});
  if (idMake.empty() || idModel.empty()) return false;
  if (UriMakeFor(idMake) != make && ToLower(idMake) != make) return false;
  if (ToLower(idModel) != model) return false;

  const std::string serial = QueryValue(query, "serial");
  if (serial.empty()) return true;
  const std::string idSerial = FirstField(fields, {"SN", "SERN", "SERIALNUMBER"});
  return serial == idSerial || serial == node.usbSerial;
}

std::optional<std::string> PortNameFromDeviceUri(
    const std::string& rawUri, const std::vector<UsbPrinterNode>& usbNodes) {
  const std::string uri = Trim(rawUri);
  if (StartsWithNoCase(uri, "parallel:")) {
    std::string path = uri.substr(9);
    // "parallel:///dev/lp0" is the same device as "parallel:/dev/lp0".
    if (path.compare(0, 3, "///") == 0) path.erase(0, 2);
    path = PercentDecode(path);
    if (path.empty() || path[0] != '/') return std::nullopt;
    return Offer(path);
  }
  if (StartsWithNoCase(uri, "file:")) {
    auto path = PathFromFileUri(uri.substr(5));
    if (!path) return std::nullopt;
    return Offer(*path);
  }
  if (StartsWithNoCase(uri, "socket://")) {
    auto port = SocketPortFromUri(uri.substr(9));
    if (!port) return std::nullopt;
    return Offer(*port);
  }
  if (StartsWithNoCase(uri, "usb://")) {
    // Two identical printers without serial numbers cannot be told apart:
    // offering either could send a job to the wrong one.
    const UsbPrinterNode* found = nullptr;
    for (const UsbPrinterNode& node : usbNodes) {
      if (!UsbUriMatchesNode(uri, node)) continue;
      if (found) return std::nullopt;
      found = &node;
    }
    if (!found) return std::nullopt;
    return Offer(found->devicePath);
  }
  return std::nullopt;
}

std::vector<InstalledPrinter> ComposeInstalledPrinters(
    const std::vector<InstalledPrinter>& profileDevices,
    const std::vector<CupsQueue>& queues,
    const std::vector<UsbPrinterNode>& usbNodes) {
  std::vector<InstalledPrinter> out = profileDevices;
  for (const CupsQueue& queue : queues) {
    if (queue.name.empty()) continue;
    const std::string lowerName = ToLower(queue.name);
    const bool shadowed = std::any_of(out.begin(), out.end(), [&](const InstalledPrinter& p) {
      return ToLower(p.printerName) == lowerName;
    });
    if (shadowed) continue;
    auto port = PortNameFromDeviceUri(queue.deviceUri, usbNodes);
    if (!port) continue;
    out.push_back({queue.name, *port});
  }
  return out;
}

std::vector<UsbPrinterNode> ListUsbPrinterNodes(const std::string& classDir,
                                                const std::string& devDir) {
  std::vector<std::pair<int, UsbPrinterNode>> found;
  DIR* dir = ::opendir(classDir.c_str());
  if (!dir) return {};
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    // usblp numbers its nodes from 0; a few digits are all it ever uses.
    if (name.size() < 3 || name.size() > 8 || name.compare(0, 2, "lp") != 0) continue;
    if (!std::all_of(name.begin() + 2, name.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    UsbPrinterNode node;
    node.devicePath = devDir + "/" + name;
    node.deviceId = ReadFirstLine(classDir + "/" + name + "/device/ieee1284_id");
    // device/ is the printer interface; its parent is the USB device, which
    // carries the descriptor's serial number.
    node.usbSerial = ReadFirstLine(classDir + "/" + name + "/device/../serial");
    found.emplace_back(std::atoi(name.c_str() + 2), std::move(node));
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<UsbPrinterNode> nodes;
  for (auto& [number, node] : found) nodes.push_back(std::move(node));
  return nodes;
}

namespace cups {

#ifdef KELVANE_HAVE_CUPS

namespace {

// Resolves every function the listing calls; false when one is missing.
bool ResolveFunctions(void* handle, Library& lib) {
  bool complete = true;
  auto resolve = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
        ::dlsym(handle, name));
    if (!function) complete = false;
  };
  resolve(lib.cupsSetPasswordCB2, "cupsSetPasswordCB2");
  resolve(lib.cupsServer, "cupsServer");
  resolve(lib.ippPort, "ippPort");
  resolve(lib.cupsEncryption, "cupsEncryption");
  resolve(lib.httpConnect2, "httpConnect2");
  resolve(lib.httpSetTimeout, "httpSetTimeout");
  resolve(lib.httpClose, "httpClose");
  resolve(lib.ippNewRequest, "ippNewRequest");
  resolve(lib.ippAddStrings, "ippAddStrings");
  resolve(lib.cupsDoRequest, "cupsDoRequest");
  resolve(lib.ippGetStatusCode, "ippGetStatusCode");
  resolve(lib.ippDelete, "ippDelete");
  resolve(lib.ippFirstAttribute, "ippFirstAttribute");
  resolve(lib.ippNextAttribute, "ippNextAttribute");
  resolve(lib.ippGetGroupTag, "ippGetGroupTag");
  resolve(lib.ippGetName, "ippGetName");
  resolve(lib.ippGetString, "ippGetString");
  return complete;
}

}  // namespace

const Library* LoadCupsLibrary(const char* soname) {
  // One entry per name ever loaded: a handful at most (tests name others).
  static std::mutex mutex;
  static std::map<std::string, Library> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto it = loaded.find(soname); it != loaded.end()) return &it->second;
  // RTLD_LOCAL: its symbols (and those of gnutls and the rest it brings)
  // stay out of the way of anything loaded later.
  void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  Library lib{};
  if (!ResolveFunctions(handle, lib)) {
    ::dlclose(handle);  // not libcups 2 after all: nothing of it was called
    return nullptr;
  }
  return &loaded.emplace(soname, lib).first->second;
}

#else  // configured without the print service: there is never one to ask

const Library* LoadCupsLibrary(const char*) { return nullptr; }

#endif

}  // namespace cups

bool HaveCupsSupport() { return cups::LoadCupsLibrary() != nullptr; }

bool ListCupsQueues(std::vector<CupsQueue>& out, unsigned timeoutMs) {
  return ListCupsQueuesFrom(cups::kLibraryName, out, timeoutMs);
}

bool ListCupsQueuesFrom(const char* library, std::vector<CupsQueue>& out,
                        unsigned timeoutMs) {
  out.clear();
  const cups::Library* lib = cups::LoadCupsLibrary(library);
  if (!lib) return false;
  // Never prompt on a terminal for a password: this runs behind a settings
  // page or a headless spooler. The callback is per thread in libcups.
  lib->cupsSetPasswordCB2([](const char*, cups::Http*, const char*, const char*, void*)
                              -> const char* { return nullptr; },
                          nullptr);
  cups::Http* http = lib->httpConnect2(lib->cupsServer(), lib->ippPort(), nullptr, AF_UNSPEC,
                                       lib->cupsEncryption(), 1,
                                       static_cast<int>(timeoutMs), nullptr);
  if (!http) return false;
  // A server that accepts and then says nothing must not hold the caller
  // (the settings page runs on the user-interface thread).
  lib->httpSetTimeout(http, timeoutMs / 1000.0,
                      [](cups::Http*, void*) -> int { return 0; }, nullptr);

  cups::Ipp* request = lib->ippNewRequest(cups::kOpCupsGetPrinters);
  static const char* const kAttributes[] = {"printer-name", "device-uri"};
  lib->ippAddStrings(request, cups::kTagOperation, cups::kTagKeyword, "requested-attributes",
                     2, nullptr, kAttributes);
  cups::Ipp* response = lib->cupsDoRequest(http, request, "/");  // frees the request
  lib->httpClose(http);
  if (!response) return false;

  const int status = lib->ippGetStatusCode(response);
  if (status == cups::kStatusErrorNotFound) {  // a server with no queues
    lib->ippDelete(response);
    return true;
  }
  if (status > cups::kStatusOkConflicting) {
    lib->ippDelete(response);
    return false;
  }
  CupsQueue current;
  auto flush = [&] {
    if (!current.name.empty()) out.push_back(current);
    current = CupsQueue{};
  };
  for (cups::Attribute* attr = lib->ippFirstAttribute(response); attr;
       attr = lib->ippNextAttribute(response)) {
    // Each printer's attributes form one group; separators end it.
    if (lib->ippGetGroupTag(attr) != cups::kTagPrinter) {
      flush();
      continue;
    }
    const char* name = lib->ippGetName(attr);
    if (!name) continue;
    const char* value = lib->ippGetString(attr, 0, nullptr);
    if (!value) continue;
    if (std::string(name) == "printer-name") current.name = value;
    else if (std::string(name) == "device-uri") current.deviceUri = value;
  }
  flush();
  lib->ippDelete(response);
  return true;
}

SystemPrinterSource::SystemPrinterSource()
    : SystemPrinterSource([](std::vector<CupsQueue>& out) { return ListCupsQueues(out); },
                          [] { return ListUsbPrinterNodes(); }) {}

SystemPrinterSource::SystemPrinterSource(QueueLister queues, UsbLister usb)
    : queues_(std::move(queues)), usb_(std::move(usb)) {}

bool SystemPrinterSource::List(std::vector<InstalledPrinter>& out) {
  std::vector<InstalledPrinter> profile;
  if (!ListProfileDevices(profile)) return false;
  std::vector<CupsQueue> queues;
  if (!queues_ || !queues_(queues)) {
    // No print service: exactly what the profile says.
    out = std::move(profile);
    return true;
  }
  // sysfs is read only when some queue needs it.
  const bool needUsb = std::any_of(queues.begin(), queues.end(), [](const CupsQueue& q) {
    return StartsWithNoCase(Trim(q.deviceUri), "usb://");
  });
  std::vector<UsbPrinterNode> usb;
  if (needUsb && usb_) usb = usb_();
  out = ComposeInstalledPrinters(profile, queues, usb);
  return true;
}

// Without an installed source the list is the [devices] one: the print
// service joins it only where a program asks for it (UseSystemPrinters).
bool ListDefaultPrinters(std::vector<InstalledPrinter>& out) {
  return ListProfileDevices(out);
}

bool IsPrinterListInProfile() { return true; }

void UseSystemPrinters() {
  static SystemPrinterSource source;
  SetPrinterSource(&source);
}

}  // namespace plat
