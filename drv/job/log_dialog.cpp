// The log dialog: shows the job's operation log, read-only, in control 1001.
#include "job/log_dialog.h"

#include "job/log_format.h"
#include "job/product.h"

namespace svd {

namespace {

const size_t kCaptionUnits = 264;
const WCHAR kErrorMark[] = {'E', 'r', 'r', 'o', 'r', '(', 0};

bool StartsWith(LPCWSTR text, LPCWSTR prefix) {
  for (; *prefix != 0; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

// Selects the first error line and scrolls it into view. The edit box hides
// its selection while it has no focus, so it gets the focus too (and
// WM_INITDIALOG then returns FALSE, as it always does).
void ShowFirstErrorLine(HWND dialog, LPCWSTR log) {
  size_t start = 0;
  size_t end = 0;
  if (!FindFirstErrorLine(log, &start, &end)) return;
  SendDlgItemMessageW(dialog, IDC_LOG_TEXT, EM_SETSEL, static_cast<WPARAM>(start),
                      static_cast<LPARAM>(end));
  SendDlgItemMessageW(dialog, IDC_LOG_TEXT, EM_SCROLLCARET, 0, 0);
  HWND edit = GetDlgItem(dialog, IDC_LOG_TEXT);
  if (edit != nullptr) SetFocus(edit);
}

void FillLogDialog(HWND dialog, const InstallJob* job) {
  SetDlgItemTextW(dialog, IDC_LOG_TEXT, Text(job->OperationLog));
  if (job->ErrorCount != 0) ShowFirstErrorLine(dialog, Text(job->OperationLog));
  WCHAR caption[kCaptionUnits];
  size_t used = FormatLogText(caption, kCaptionUnits, TEXT("Solvendale build %d- Install"),
                              BUILD_NUMBER);
  FormatLogText(caption + used, kCaptionUnits - used,
                JobFailed(job) ? TEXT(" error log!") : TEXT(" log."));
  SetWindowTextW(dialog, caption);
}

}  // namespace

bool FindFirstErrorLine(LPCWSTR log, size_t* start, size_t* end) {
  if (log == nullptr) return false;
  size_t line = 0;  // where the current line begins
  for (;;) {
    size_t text = line;
    while (log[text] == ' ') ++text;
    size_t next = text;
    while (log[next] != 0 && log[next] != '\r' && log[next] != '\n') ++next;
    if (StartsWith(log + text, kErrorMark)) {
      *start = text;
      *end = next;
      return true;
    }
    if (log[next] == 0) return false;
    line = next + (log[next] == '\r' && log[next + 1] == '\n' ? 2 : 1);
  }
}

bool InteractiveWindowStation() {
  HWINSTA station = GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) {
    return false;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

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
