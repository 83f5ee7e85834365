// vexel-mdimport: plays the indexing service, which loads the
// importer plug-in and imports files with it.
//
//   vexel-mdimport [--plugin PATH] [--json] FILE...
//
// Text mode prints each imported file's text content and a line feed (on a
// terminal with control characters replaced, as the preview host does, so
// that a name inside an archive cannot drive the terminal);
// --json prints [{"path": ..., "imported": ..., "text": ...}, ...].
// Exit status: 0 every file imported (and for --help), 1 some file not
// imported, 2 usage error, 3 the plug-in could not be loaded or gave no
// importer.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "corefoundation/core_foundation.h"
#include "corefoundation/md_importer.h"
#include "foundation/json_serialization.h"
#include "host/host_usage.h"
#include "internal/cf_ref.h"
#include "text/utf8.h"

namespace {

using vexel::spotlight_internal::CFRef;

constexpr int kExitImported = 0;
constexpr int kExitNotImported = 1;
constexpr int kExitNoPlugIn = 3;

constexpr vexel::platform::HostUsage kUsage{
    "vexel-mdimport", "usage: vexel-mdimport [--plugin PATH] [--json] FILE...\n"};

struct Options {
  std::string plugIn;  // empty: the default one
  bool json = false;
  std::vector<std::string> files;
};

// ParsedOptions: the options to run with, or the exit status to end with.
using ParsedOptions = std::variant<Options, int>;

ParsedOptions parseOptions(int argc, char** argv) {
  Options options;
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      options.files.emplace_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (vexel::platform::HostUsage::isHelpOption(arg)) {
      return kUsage.help();
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--plugin") {
      if (i + 1 >= argc) return kUsage.error("--plugin needs a PATH");
      options.plugIn = argv[++i];
    } else if (arg.starts_with("--plugin=")) {
      options.plugIn = arg.substr(std::string_view("--plugin=").size());
    } else {
      return kUsage.error("unknown option " + std::string(arg));
    }
  }
  if (options.files.empty()) return kUsage.error("no FILE given");
  return options;
}

// The importer built beside this program, or where it is installed.
std::string defaultPlugIn() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::filesystem::path dir = error ? std::filesystem::path(".") : self.parent_path();
  for (const char* relative : {VEXEL_MDIMPORT_PLUGIN_BESIDE, VEXEL_MDIMPORT_PLUGIN_INSTALLED}) {
    const std::filesystem::path candidate = dir / relative;
    if (std::filesystem::exists(candidate, error)) return candidate.string();
  }
  return (dir / VEXEL_MDIMPORT_PLUGIN_BESIDE).string();
}

// Output: stdout through one large buffer; a million lines are written in a
// few large writes.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { flush(); }

  std::string& buffer() { return mBuffer; }
  void append(std::string_view text) {
    if (text.size() >= kChunk) {
      flush();
      write(text);
      return;
    }
    mBuffer += text;
    flushIfFull();
  }
  void flushIfFull() {
    if (mBuffer.size() >= kChunk) flush();
  }
  void flush() {
    write(mBuffer);
    mBuffer.clear();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 20;
  static void write(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return;  // a closed pipe: nobody is reading
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
  }
  std::string mBuffer;
};

struct LibraryCloser {
  void operator()(void* handle) const noexcept { dlclose(handle); }
};

// Importer: one instance of the plug-in's importer, released to zero on
// destruction as the plug-in system does.
class Importer {
 public:
  explicit Importer(MDImporterInterfaceStruct** interface) : mInterface(interface) {}
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;
  ~Importer() {
    // The factory's reference and the one the query added.
    while ((*mInterface)->Release(mInterface) != 0) {
    }
  }

  // import: imports `path` and hands its text content to `useText` while
  // the attributes still hold it (no copy of a text that may be tens of
  // megabytes). False when the file was not imported.
  template <typename UseText>
  bool import(const std::string& path, UseText&& useText) const {
    // File names are bytes: the path string keeps them, UTF-8 or not.
    const CFRef<CFStringRef> file(
        CFStringCreateWithFileSystemRepresentation(kCFAllocatorDefault, path.c_str()));
    if (!file) return false;
    const CFRef<CFMutableDictionaryRef> attributes(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    // The importer does not read the content type; the generic one will do.
    if (!(*mInterface)
             ->ImporterImportData(mInterface, attributes.get(), CFSTR("public.data"), file.get())) {
      return false;
    }
    const void* value = CFDictionaryGetValue(attributes.get(), kMDItemTextContent);
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
      useText(std::string_view());
      return true;
    }
    const auto text = static_cast<CFStringRef>(value);
    if (const char* bytes = CFStringGetCStringPtr(text, kCFStringEncodingUTF8)) {
      useText(std::string_view(bytes));
      return true;
    }
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) buffer.clear();
    useText(std::string_view(buffer.c_str()));
    return true;
  }

 private:
  MDImporterInterfaceStruct** mInterface;
};

// forTerminal: `text` line by line made printable (text::printable), the
// line feeds kept.
std::string forTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    out += vexel::text::printable(text.substr(0, end));
    if (end == std::string_view::npos) break;
    out += '\n';
    text.remove_prefix(end + 1);
  }
  return out;
}

int fail(std::string_view message) {
  std::string line = "vexel-mdimport: ";
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  return kExitNoPlugIn;
}

int run(const Options& options) {
  std::string plugInPath = options.plugIn.empty() ? defaultPlugIn() : options.plugIn;
  // A bare file name means the file here, not a search of the library path.
  if (plugInPath.find('/') == std::string::npos) plugInPath.insert(0, "./");
  // Never unmapped, as plug-in systems keep loaded code: the archive core
  // keeps process-wide objects (its UTF-8 locale) that an unload would strand.
  const std::unique_ptr<void, LibraryCloser> library(
      dlopen(plugInPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!library) return fail(std::string("cannot load the importer: ") + dlerror());
  const auto factory = reinterpret_cast<MDImporterFactoryFunction>(
      dlsym(library.get(), "MetadataImporterPluginFactory"));
  if (factory == nullptr) return fail("the importer has no MetadataImporterPluginFactory");

  auto* instance = static_cast<IUnknownVTbl**>(factory(kCFAllocatorDefault, kMDImporterTypeID));
  if (instance == nullptr) return fail("the importer refused the importer type");
  MDImporterInterfaceStruct** interface = nullptr;
  if ((*instance)->QueryInterface(instance, CFUUIDGetUUIDBytes(kMDImporterInterfaceID),
                                  reinterpret_cast<LPVOID*>(&interface)) != S_OK ||
      interface == nullptr) {
    (*instance)->Release(instance);
    return fail("the importer has no importer interface");
  }
  int status = kExitImported;
  const bool toTerminal = ::isatty(STDOUT_FILENO) == 1;
  const bool errorsToTerminal = ::isatty(STDERR_FILENO) == 1;
  {
    const Importer importer(interface);
    Output out;
    if (options.json) out.append("[");
    bool first = true;
    for (const std::string& path : options.files) {
      if (options.json) {
        std::string& buffer = out.buffer();
        buffer += first ? "\n  {\"path\": " : ",\n  {\"path\": ";
        vexel::platform::appendJSONString(buffer, path);
        const bool imported = importer.import(path, [&](std::string_view text) {
          buffer += ", \"imported\": true, \"text\": ";
          vexel::platform::appendJSONString(buffer, text);
        });
        if (!imported) buffer += ", \"imported\": false, \"text\": null";
        buffer += '}';
        out.flushIfFull();
        if (!imported) status = kExitNotImported;
      } else {
        const bool imported = importer.import(path, [&](std::string_view text) {
          out.append(toTerminal ? forTerminal(text) : text);
          out.append("\n");
        });
        if (!imported) {
          status = kExitNotImported;
          std::string line = "vexel-mdimport: not imported: " +
                             (errorsToTerminal ? vexel::text::printable(path) : path) + "\n";
          std::fwrite(line.data(), 1, line.size(), stderr);
        }
      }
      first = false;
    }
    if (options.json) out.append(first ? "]\n" : "\n]\n");
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  vexel::platform::prepareHostProcess();
  const ParsedOptions parsed = parseOptions(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  vexel::platform::boundListingHost();
  vexel::platform::endListingHost(run(std::get<Options>(parsed)));
}
