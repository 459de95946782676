// Stand-in for the SDK header <winuser.h>: windows, messages, dialogs.
#pragma once
#include "windows.h"
