// Records from the cached values of a cache request's elements.
#pragma once

#include <string>

#include "perception/element_record.h"

namespace Ostrand {

// A record of the element's cached Name, AutomationId, ClassName,
// ControlType, IsEnabled and BoundingRectangle; a value that was not cached
// leaves its field at the default.
ElementRecord recordFromCachedElement(IUIAutomationElement* element, const std::string& key);

}  // namespace Ostrand
