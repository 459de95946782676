// The log dialog (template 101): the run's whole operation log in a
// read-only edit box, with a caption that says whether it is an error log.
#pragma once
#include "win.h"
#include "job/install_job.h"

#define IDD_LOG_DIALOG 101
#define IDC_LOG_TEXT 1001

namespace svd {

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// True only when the process's window station is known to be visible to a
// user. A service or scheduled-task session has an invisible one, where a
// modal dialog would wait for ever for a click nobody can make, and where a
// started program shows nothing to anyone.
bool InteractiveWindowStation();
// The first error line of a log: the position of its "Error(" and of its
// end (before CR LF), in UTF-16 units. False when the log has none.
bool FindFirstErrorLine(LPCWSTR log, size_t* start, size_t* end);
// Shows the dialog modally for the job, owned by parent (or none).
void ShowLogDialog(HWND parent, InstallJob* job);

}  // namespace svd
