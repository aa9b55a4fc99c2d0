#include "tools/output.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace vmpkg {

bool WriteAll(const std::string& text, std::FILE* out, std::FILE* err) {
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
      std::fflush(out) != 0) {
    std::fprintf(err, "vmpkg: can't write the output\n");
    return false;
  }
  return true;
}

std::string JsonQuoted(const std::string& text) {
  using Json = nlohmann::ordered_json;
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vmpkg
