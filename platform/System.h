// The conventions of the system this build is for. The one place outside the
// build files that picks a system: each system's values live in its folder.
#pragma once

#if defined(_WIN32)
#include "platform/windows/System.h"
#else
#include "platform/posix/System.h"
#endif
