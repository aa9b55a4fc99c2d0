// Library documents in vmpkg's JSON form, for the end-to-end tests that make
// libraries with `vmpkg create`.
#ifndef TAVIK_TESTS_LIBRARY_JSON_H_
#define TAVIK_TESTS_LIBRARY_JSON_H_

#include <nlohmann/json.hpp>
#include <string>

namespace tavik_test {

// One asset named `name` whose "QSN"/"refs" group holds, for each member of
// `lists` (property name -> array of references), a string-array property.
inline nlohmann::json Asset(const std::string& name,
                            const nlohmann::json& lists) {
  nlohmann::json properties = nlohmann::json::array();
  for (const auto& [property, entries] : lists.items()) {
    properties.push_back(
        {{"name", property}, {"type", "string_array"}, {"value", entries}});
  }
  return {{"name", name},
          {"groups",
           {{{"name", "QSN"},
             {"groups", {{{"name", "refs"}, {"properties", properties}}}}}}}};
}

}  // namespace tavik_test

#endif  // TAVIK_TESTS_LIBRARY_JSON_H_
