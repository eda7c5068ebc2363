#pragma once

#include <string_view>

namespace tessavirn_host {

// A file of the view's page, compiled into the program from tools/host/web.
struct WebAsset {
  std::string_view path;  // "/", "/view.js", "/view.css"
  std::string_view content_type;
  std::string_view body;
};

// The page's file at path, or null.
const WebAsset* FindWebAsset(std::string_view path);

}  // namespace tessavirn_host
