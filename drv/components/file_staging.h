// Copying component files into place and reading their build numbers.
#pragma once
#include "win.h"
#include "job/install_job.h"

namespace svd {

HANDLE CreateDestinationFile(InstallJob* job, LPCWSTR path);
// Copies fileName from the job's SourceDir into targetDirectory. When given,
// destinationPathOut (MAX_PATH units) receives the destination path before
// any file is opened. Returns S_OK or E_FAIL.
HRESULT CopyFile(InstallJob* job, LPCWSTR targetDirectory, LPCWSTR fileName,
                 LPWSTR destinationPathOut, bool reportErrors);
// Fourth number of the file's product version, or -1 without a version.
int GetFileBuildNumber(LPCWSTR path);

}  // namespace svd
