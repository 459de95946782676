// Stand-in for the SDK header <winsvc.h>: the service control manager.
#pragma once
#include "windows.h"
