// The live page's own files, compiled in (tools/scanlink/web).
#pragma once

#include <string_view>
#include <vector>

namespace scanlink::cli {

struct WebAsset {
  const char* path;  // as requested, e.g. "/app.js"
  const char* type;  // Content-Type
  std::string_view body;
};

const std::vector<WebAsset>& WebAssets();

}  // namespace scanlink::cli
