#pragma once
// CDevDlg (133): which of the cameras to test is the station (wired to audio and serial).
#include "app/window/field_dialog.h"

#include <vector>

#include "core/camera.h"

namespace mardo {

// The cameras as "MAC IP", as the test took them; "确定" gives the index of the one picked, −1
// when none.
class CDevDlg final : public field_dialog {
 public:
  CDevDlg(QWidget* parent, const std::vector<camera_t>& cameras);
  int result_index() const;
};

}  // namespace mardo
