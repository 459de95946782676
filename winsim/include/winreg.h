// Stand-in for the SDK header <winreg.h>.
#pragma once
#include "windows.h"
