#include "perception/cache_manager.h"

namespace Ostrand {

const char* perceptionModeText(PerceptionMode mode) {
    switch (mode) {
        case PerceptionMode::Win32: return "win32";
        case PerceptionMode::Uia: return "uia";
        default: return "auto";
    }
}

}  // namespace Ostrand
