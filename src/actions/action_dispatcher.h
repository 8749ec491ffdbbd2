// ActionDispatcher: carries out one user action on a live element, a UI
// Automation pattern first and a Win32 fallback where there is one.
#pragma once

namespace Ostrand {

// Stateless: what an action does depends only on its arguments.
class ActionDispatcher {};

}  // namespace Ostrand
