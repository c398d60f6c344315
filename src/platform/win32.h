// The one seam between the library and its operating system. Library code calls the Win32
// operations it needs by their Win32 names; on Windows they are the real ones, elsewhere the
// small POSIX layer in platform/posix provides exactly that subset with Windows semantics.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// setupapi.h needs windows.h first.
#include <setupapi.h>
#else
#include "platform/posix/win32_posix.h"
#endif
