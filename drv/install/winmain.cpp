// Process entry of the program (wide entry point, no console).
#include "win.h"
#include "install/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  return svd::InstallerMain(instance);
}
