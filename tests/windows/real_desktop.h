// The real window system behind the shared scenarios' desktop.
#pragma once

#include "../shared/test_desktop.h"

namespace ostrand_test {

// The body of this program started with --host: a process that owns the
// windows of the other-process desktop until its command window closes.
int runDesktopHost();

}  // namespace ostrand_test
