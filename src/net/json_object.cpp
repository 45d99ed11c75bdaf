#include "net/json_object.h"

#include <cjson/cJSON.h>

namespace mardo {

json_object::json_object(std::string_view text)
    : root_(cJSON_ParseWithLength(text.data(), text.size())) {
  if (root_ && !cJSON_IsObject(root_)) {
    cJSON_Delete(root_);
    root_ = nullptr;
  }
}

json_object::~json_object() {
  cJSON_Delete(root_);
}

std::string json_object::str(const char* key) const {
  const cJSON* item = root_ ? cJSON_GetObjectItemCaseSensitive(root_, key) : nullptr;
  if (!cJSON_IsString(item) || !item->valuestring) return {};
  return item->valuestring;
}

int json_object::num(const char* key) const {
  const cJSON* item = root_ ? cJSON_GetObjectItemCaseSensitive(root_, key) : nullptr;
  return cJSON_IsNumber(item) ? item->valueint : 0;
}

}  // namespace mardo
