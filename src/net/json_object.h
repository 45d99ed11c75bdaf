#pragma once
// Top-level members of a JSON answer, each read by exact, case-sensitive key. A member that
// is missing or of another type reads as "" (0 for a number); so does every member of a
// text that does not parse.
#include <string>
#include <string_view>

struct cJSON;

namespace mardo {

class json_object {
 public:
  explicit json_object(std::string_view text);
  ~json_object();
  json_object(const json_object&) = delete;
  json_object& operator=(const json_object&) = delete;

  bool parsed() const { return root_ != nullptr; }
  std::string str(const char* key) const;
  int num(const char* key) const;

 private:
  cJSON* root_;
};

}  // namespace mardo
