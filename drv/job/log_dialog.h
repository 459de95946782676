// The log dialog (template 101): the run's whole operation log in a
// read-only edit box, with a caption that says whether it is an error log.
#pragma once
#include "win.h"
#include "job/install_job.h"

#define IDD_LOG_DIALOG 101
#define IDC_LOG_TEXT 1001

namespace svd {

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Shows the dialog modally for the job, owned by parent (or none).
void ShowLogDialog(HWND parent, InstallJob* job);

}  // namespace svd
