// Stand-in for the SDK header <winerror.h>.
#pragma once
#include "windows.h"
