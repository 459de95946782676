// The log dialog: shows the job's operation log, read-only, in control 1001.
#include "job/log_dialog.h"

#include "job/log_format.h"
#include "job/product.h"

namespace svd {

namespace {

const size_t kCaptionUnits = 264;

void FillLogDialog(HWND dialog, const InstallJob* job) {
  SetDlgItemTextW(dialog, IDC_LOG_TEXT, Text(job->OperationLog));
  WCHAR caption[kCaptionUnits];
  size_t used = FormatLogText(caption, kCaptionUnits, TEXT("Solvendale build %d- Install"),
                              BUILD_NUMBER);
  FormatLogText(caption + used, kCaptionUnits - used,
                job->ErrorCount != 0 ? TEXT(" error log!") : TEXT(" log."));
  SetWindowTextW(dialog, caption);
}

}  // namespace

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      FillLogDialog(dialog, reinterpret_cast<const InstallJob*>(lParam));
      // FALSE: the system does not set the default keyboard focus.
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          EndDialog(dialog, 1);
          break;
        case IDCANCEL:
          EndDialog(dialog, 0);
          break;
        default:
          break;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void ShowLogDialog(HWND parent, InstallJob* job) {
  // The result (1 for Close, 0 for Escape or the close command, -1 when
  // the dialog could not be made) changes nothing for the run.
  DialogBoxParamW(InstanceHandle, MAKEINTRESOURCEW(IDD_LOG_DIALOG), parent, LogDialogProc,
                  reinterpret_cast<LPARAM>(job));
}

}  // namespace svd
