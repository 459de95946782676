// Stand-in for the SDK header <winspool.h>: the print spooler API.
#pragma once
#include "windows.h"
