// The end of one overlapped read or write on a pipe, waited for with a time-out: the service's and
// the clients' one way of bounding a wait for the other side.
#pragma once

#include <windows.h>

namespace tesmar {

// Waits for the read or write that `overlapped` (with its manual-reset event) began on `handle`
// just now; `started` is what ReadFile or WriteFile returned. When timeoutMs passes first, the
// I/O is cancelled and its end waited for, since the system may write the OVERLAPPED and the
// buffer until then (they must stay valid for the whole operation); the last error is then
// WAIT_TIMEOUT. True when it succeeded; otherwise the last error says why, ERROR_MORE_DATA (a
// message longer than the read) with `bytes` its first part.
inline bool FinishOverlapped(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD& bytes,
                             DWORD timeoutMs) {
  bytes = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
    return false;
  }
  if (!started && GetLastError() == ERROR_IO_PENDING &&
      WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
    CancelIoEx(handle, &overlapped);
    GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
    SetLastError(WAIT_TIMEOUT);
    return false;
  }
  return GetOverlappedResult(handle, &overlapped, &bytes, FALSE) != FALSE;
}

}  // namespace tesmar
