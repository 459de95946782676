// Stand-in for the SDK header <winver.h>.
#pragma once
#include "windows.h"
