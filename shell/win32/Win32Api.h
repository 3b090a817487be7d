#pragma once

// The Windows headers for the Win32 front end. The framework names the message-box constants
// the system's headers define as macros (with the same values), so it comes first.
#include "framework/Dialog.h"
#include "framework/Host.h"

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

// The framework's and the frame's functions of these names; the system's are called by their
// "A" names.
#undef MessageBox
#undef DrawText
#undef TranslateAccelerator
