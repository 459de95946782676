// Stand-in for the SDK header <shellapi.h>.
#pragma once
#include "windows.h"
