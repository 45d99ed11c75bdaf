#pragma once
// CSetProduct (135): the product and hardware model texts and the parameter package.
#include "app/window/field_dialog.h"

#include <functional>

#include "testing/product_model.h"

namespace mardo {

// CSetProduct (135): the two model texts and the package path; "浏览" (1037) picks the file
// through `choose`, "确定" (1038) takes the texts unchecked, "取消" (1039).
class CSetProduct final : public field_dialog {
 public:
  using choose_fn = std::function<QString(QWidget* parent)>;
  CSetProduct(QWidget* parent, choose_fn choose);
  product_fields_t fields() const;
};

}  // namespace mardo
