// ElementRecord: one perceived element, whichever path perceived it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/winapi.h"

namespace Ostrand {

struct ElementRecord {
    WString name;
    WString automation_id;
    WString class_name;
    int32_t control_type = UIA_CustomControlTypeId;
    int32_t bounding_rect[4] = {0, 0, 0, 0};  // left, top, right, bottom
    bool is_enabled = false;
    std::string runtime_id_key;
    int64_t updated_at = 0;  // steady clock, nanoseconds
};

}  // namespace Ostrand
