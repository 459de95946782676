// Stand-in for the SDK header <winbase.h>.
#pragma once
#include "windows.h"
