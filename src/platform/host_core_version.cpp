#include "platform/host_core_version.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>

#include <charconv>
#include <memory>

namespace kalmora {
namespace {

std::string_view BaseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The file a library path finally resolves to, after symbolic links.
std::string ResolvedPath(const char* path) {
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path, nullptr), &::free);
  return real ? std::string(real.get()) : std::string(path);
}

struct LoadedSearch {
  std::string_view wanted;
  std::string found;
};

int FindLoaded(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<LoadedSearch*>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  const std::string_view base = BaseName(info->dlpi_name);
  // libbrelkit.so itself, or one of its versioned names (libbrelkit.so.6, ...).
  if (base.substr(0, search->wanted.size()) == search->wanted &&
      (base.size() == search->wanted.size() || base[search->wanted.size()] == '.')) {
    search->found = info->dlpi_name;
    return 1;
  }
  return 0;
}

std::string LocateLibrary(const char* library_name) {
  LoadedSearch search{library_name, {}};
  dl_iterate_phdr(&FindLoaded, &search);
  if (!search.found.empty()) return ResolvedPath(search.found.c_str());

  void* handle = ::dlopen(library_name, RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return {};
  std::string path;
  link_map* map = nullptr;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
    path = ResolvedPath(map->l_name);
  }
  ::dlclose(handle);
  return path;
}

}  // namespace

std::optional<HostCoreVersion> ParseHostCoreVersion(std::string_view file_name) {
  std::string_view name = BaseName(file_name);
  const auto so = name.find(".so.");
  if (so == std::string_view::npos) return std::nullopt;
  name.remove_prefix(so + 4);

  std::uint16_t parts[4] = {0, 0, 0, 0};
  int count = 0;
  while (true) {
    if (count == 4) return std::nullopt;
    const char* first = name.data();
    const char* last = name.data() + name.size();
    auto [end, error] = std::from_chars(first, last, parts[count]);
    if (error != std::errc() || end == first) return std::nullopt;
    ++count;
    name.remove_prefix(static_cast<size_t>(end - first));
    if (name.empty()) break;
    if (name.front() != '.') return std::nullopt;
    name.remove_prefix(1);
  }
  return HostCoreVersion{parts[0], parts[1], parts[2], parts[3]};
}

HostCoreVersion ReadHostCoreVersion(const char* library_name) {
  if (library_name == nullptr) return kDefaultHostCoreVersion;
  const std::string path = LocateLibrary(library_name);
  if (path.empty()) return kDefaultHostCoreVersion;
  return ParseHostCoreVersion(path).value_or(kDefaultHostCoreVersion);
}

}  // namespace kalmora
