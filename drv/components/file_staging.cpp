// Not built yet: every operation here fails loudly until it is written.
#include "components/file_staging.h"
#include "job/not_built.h"

namespace svd {

HANDLE CreateDestinationFile(InstallJob* job, LPCWSTR path) {
  NotBuiltYet("CreateDestinationFile");
}

HRESULT CopyFile(InstallJob* job, LPCWSTR targetDirectory, LPCWSTR fileName,
                 LPWSTR destinationPathOut, bool reportErrors) {
  NotBuiltYet("CopyFile");
}

int GetFileBuildNumber(LPCWSTR path) {
  NotBuiltYet("GetFileBuildNumber");
}

}  // namespace svd
