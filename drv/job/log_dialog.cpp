// Not built yet: every operation here fails loudly until it is written.
#include "job/log_dialog.h"
#include "job/not_built.h"

namespace svd {

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  NotBuiltYet("LogDialogProc");
}

void ShowLogDialog(HWND parent, InstallJob* job) {
  NotBuiltYet("ShowLogDialog");
}

}  // namespace svd
