// upkit build upkit.toml -o Setup.exe: the update executable for a manifest.
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <thread>

#include "codec/error.h"
#include "pack/build.h"
#include "pack/elevation.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"
#include "tools/upkit/cli.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace upkit::cli {
namespace {

int RunBuild(const Args& args);

const Command kBuild{"build", "build the update executable for a manifest",
                     "usage: upkit build upkit.toml -o Setup.exe [--stub PATH] [--container OUT]\n"
                     "\n"
                     "Reads the manifest and its payload files, writes the package and puts it\n"
                     "into a copy of the installer stub as the resource RCDATA \"LR5\"; the\n"
                     "stub's manifest asks for the [project] elevation (admin or user).\n"
                     "\n"
                     "  -o FILE          the update executable to write\n"
                     "  --stub PATH      the installer stub; otherwise $UPKIT_STUB, then\n"
                     "                   upkit-stub.exe beside upkit, then the stub of this\n"
                     "                   source tree's win32 build (build/win32/app)\n"
                     "  --container OUT  also (or only, without -o) write the bare package\n"
                     "  --jobs N         threads that pack big payloads (default: every core);\n"
                     "                   the output is the same for any N\n"
                     "  --overlay-from BYTES  replace payloads of this size or more go after the\n"
                     "                   image (default 64 MiB; lower it only to test)\n"
                     "\n"
                     "Without a fixed [package] key every build draws a fresh random key;\n"
                     "with one, equal inputs give byte-identical output.\n",
                     &RunBuild};
UPKIT_COMMAND(kBuild);

std::filesystem::path OwnExecutable() {
#ifdef _WIN32
  wchar_t buffer[32768];
  DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
  if (n == 0 || n >= 32768) return {};
  return std::filesystem::path(std::wstring(buffer, n));
#else
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
#endif
}

std::string FindStub(const std::string& given, std::vector<std::string>& tried) {
  if (!given.empty()) return given;
  if (const char* env = std::getenv("UPKIT_STUB"); env && *env) return env;
  std::error_code ec;
  std::filesystem::path self = OwnExecutable();
  if (!self.empty()) {
    std::filesystem::path beside = self.parent_path() / "upkit-stub.exe";
    if (std::filesystem::is_regular_file(beside, ec)) return pack::Utf8Path(beside);
    tried.push_back(pack::Utf8Path(beside));
  }
  // This file lives at <source>/tools/upkit/: the win32 build of the same tree.
  std::filesystem::path source = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  if (source.is_absolute()) {
    std::filesystem::path built = source / "build" / "win32" / "app" / "upkit-stub.exe";
    if (std::filesystem::is_regular_file(built, ec)) return pack::Utf8Path(built);
    tried.push_back(pack::Utf8Path(built));
  }
  return {};
}

int RunBuild(const Args& args) {
  std::string manifest_path, out, stub_arg, container_out, number;
  pack::BuildOptions options;
  options.jobs = std::max(1u, std::thread::hardware_concurrency());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (++i == args.size()) return false;
      into = args[i];
      return true;
    };
    if (a == "-o" || a == "--output") {
      if (!value(out)) return UsageError(kBuild, "-o needs a file name");
    } else if (a == "--stub") {
      if (!value(stub_arg)) return UsageError(kBuild, "--stub needs a path");
    } else if (a == "--container") {
      if (!value(container_out)) return UsageError(kBuild, "--container needs a file name");
    } else if (a == "--jobs" || a == "--overlay-from") {
      char* end = nullptr;
      if (!value(number) || number.empty() || number[0] == '-') return UsageError(kBuild, a + " needs a number");
      unsigned long long n = std::strtoull(number.c_str(), &end, 10);
      if (*end != 0 || n == 0 || (a == "--jobs" && n > 256)) return UsageError(kBuild, a + " needs a number (1 or more)");
      if (a == "--jobs") options.jobs = static_cast<unsigned>(n);
      else options.overlay_from = n;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError(kBuild, "unknown option " + a);
    } else if (manifest_path.empty()) {
      manifest_path = a;
    } else {
      return UsageError(kBuild, "only one manifest");
    }
  }
  if (manifest_path.empty()) return UsageError(kBuild, "needs a manifest");
  if (out.empty() && container_out.empty()) return UsageError(kBuild, "needs -o FILE or --container FILE");

  // Find the stub before the (possibly long) package build.
  std::vector<uint8_t> stub;
  std::string stub_path;
  if (!out.empty()) {
    std::vector<std::string> tried;
    stub_path = FindStub(stub_arg, tried);
    if (stub_path.empty()) {
      std::string list;
      for (const auto& t : tried) list += "\n  " + t;
      throw Error("no installer stub found; give --stub PATH or set UPKIT_STUB (looked at:" + list + ")");
    }
    stub = pack::ReadHostFile(stub_path);
    try {
      pack::CheckGuiExecutable(stub);
    } catch (const Error& e) {
      throw Error(stub_path + ": " + e.Message());
    }
  }

  pack::Manifest manifest = pack::LoadManifest(manifest_path);
  if (out.empty()) {
    std::vector<uint8_t> container = pack::BuildContainer(manifest);
    pack::WriteHostFile(container_out, container);
    std::printf("%s: package %zu bytes (%zu items)\n", container_out.c_str(), container.size(),
                manifest.items.size());
    return 0;
  }
  pack::BuildResult result;
  try {
    // The manifest's elevation goes into the stub's own manifest first.
    pack::PeWriteReport elevation_report;
    std::vector<uint8_t> elevated = pack::SetElevation(stub, manifest.elevation, &elevation_report);
    std::vector<uint8_t>().swap(stub);
    result = pack::BuildExecutable(manifest, elevated, out, options, container_out);
    result.certificate_dropped |= elevation_report.certificate_dropped;
  } catch (const Error& e) {
    throw Error(stub_path + ": " + e.Message());
  }
  if (result.certificate_dropped)
    std::fprintf(stderr, "upkit: note: %s was signed; its signature was dropped (sign %s afterwards)\n",
                 stub_path.c_str(), out.c_str());
  std::printf("%s: %llu bytes (%zu items, package %llu bytes", out.c_str(),
              static_cast<unsigned long long>(result.file_size), manifest.items.size(),
              static_cast<unsigned long long>(result.package_size));
  if (result.overlay_items != 0)
    std::printf(", %zu big payloads %llu bytes after the image", result.overlay_items,
                static_cast<unsigned long long>(result.overlay_bytes));
  std::printf(")\n");
  return 0;
}

}  // namespace
}  // namespace upkit::cli
