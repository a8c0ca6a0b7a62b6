// Force-included ahead of the tool's sources in the test build only: every Windows and
// runtime call of hook_list.h is renamed to its hook (hooks.cpp), which calls the real
// function by default and which the tests can observe and steer (hook_control.h).
#pragma once
// stdio.h first: once a header reaches the C++ library, mingw switches the printf family
// to its ISO variant, in which "%s" in a wide format takes a narrow string.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <locale.h>
#include <process.h>
#include <stdarg.h>
#include <stdlib.h>

#define HOOK(type, name, params, ...) type Hook_##name params;
#define HOOK_OWN(type, name, params) type Hook_##name params;
#define LOOKED_UP(...)
#include "tests/inprocess/hook_list.h"
#undef HOOK
#undef HOOK_OWN
#undef LOOKED_UP

// "#define <name> Hook_<name>" for every hook of the list; last, so that the system headers
// above keep declaring the real functions.
#include "hook_renames.h"
