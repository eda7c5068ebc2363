// Version of the recorder's core library, which decides the log levels the host understands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kalmora {

struct HostCoreVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;

  friend bool operator==(const HostCoreVersion&, const HostCoreVersion&) = default;
};

// Assumed when the core library is absent or its file name carries no version.
inline constexpr HostCoreVersion kDefaultHostCoreVersion{5, 12, 0, 0};

inline constexpr const char* kHostCoreLibraryName = "libbrelkit.so";

// Reads the version from a versioned library file name ("libbrelkit.so.6.3.0.1" → 6.3.0.1; a
// path is allowed). One to four numeric parts; missing parts are 0. Empty when the name has none.
std::optional<HostCoreVersion> ParseHostCoreVersion(std::string_view file_name);

// Finds the core library as the dynamic loader does (already loaded in this process, else the
// loader's search), follows links to the file the name resolves to and reads its version.
// kDefaultHostCoreVersion when there is no such library or no version in its name.
HostCoreVersion ReadHostCoreVersion(const char* library_name = kHostCoreLibraryName);

}  // namespace kalmora
