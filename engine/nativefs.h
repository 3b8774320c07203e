// The platform's own file system, `NativeFileSystem`: each platform declares
// it in its own folder, with what only that platform can be handed.
#pragma once

#ifdef _WIN32
#include "engine/windows/nativefs.h"
#else
#include "engine/linux/nativefs.h"
#endif
