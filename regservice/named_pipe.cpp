#include "regservice/named_pipe.h"

#include "regservice/wire_format.h"
#include "runtime/codepage.h"
#include "runtime/win32.h"

CNamedPipeException::CNamedPipeException(DWORD dwError) : CException(TRUE), m_dwError(dwError) {}

BOOL CNamedPipeException::GetErrorMessage(LPSTR pszError, UINT nMaxError,
                                          PUINT pnHelpContext) const {
  if (pnHelpContext != nullptr) *pnHelpContext = 0;
  // Unlike Tesmar's report lines (ErrorText): inserts expanded, in the system's default language.
  const std::u16string words = runtime::SystemWords(
      m_dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), runtime::Inserts::kExpanded);
  if (words.empty()) {
    if (nMaxError > 0) pszError[0] = '\0';
    return FALSE;
  }
  // In the ANSI code page, as FormatMessageA gives its text.
  lstrcpynA(pszError, runtime::ToAnsi(words).c_str(), static_cast<int>(nMaxError));
  return TRUE;
}

CNamedPipe::CNamedPipe() : m_hPipe(INVALID_HANDLE_VALUE), m_bOwnsHandle(TRUE) {}

CNamedPipe::~CNamedPipe() {
  Close();
}

BOOL CNamedPipe::Create(const std::string& name, DWORD dwOpenMode, DWORD dwPipeMode,
                        DWORD dwMaxInstances, DWORD dwOutBufferSize, DWORD dwInBufferSize,
                        DWORD dwDefaultTimeOut, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  m_bOwnsHandle = TRUE;
  if (name.size() > kMaxNameLength) {
    m_hPipe = INVALID_HANDLE_VALUE;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  m_hPipe =
      CreateNamedPipeA(tesmar::FullPipeName(name).c_str(), dwOpenMode, dwPipeMode, dwMaxInstances,
                       dwOutBufferSize, dwInBufferSize, dwDefaultTimeOut, lpSecurityAttributes);
  return m_hPipe != INVALID_HANDLE_VALUE;
}

void CNamedPipe::Close() {
  if (m_hPipe == INVALID_HANDLE_VALUE) return;
  if (m_bOwnsHandle) CloseHandle(m_hPipe);
  m_hPipe = INVALID_HANDLE_VALUE;
}

BOOL CNamedPipe::Connect(LPOVERLAPPED lpOverlapped) {
  return ConnectNamedPipe(m_hPipe, lpOverlapped);
}

BOOL CNamedPipe::Disconnect() {
  return DisconnectNamedPipe(m_hPipe);
}

BOOL CNamedPipe::Flush() {
  return FlushFileBuffers(m_hPipe);
}

BOOL CNamedPipe::Write(const void* lpBuffer, DWORD dwNumberOfBytesToWrite,
                       DWORD& dwNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  dwNumberOfBytesWritten = 0;
  // An overlapped call is given no count: WriteFile's page asks for NULL then, as the count it
  // would store may be wrong; GetOverlappedResult has the true one.
  return WriteFile(m_hPipe, lpBuffer, dwNumberOfBytesToWrite,
                   lpOverlapped != nullptr ? nullptr : &dwNumberOfBytesWritten, lpOverlapped);
}

BOOL CNamedPipe::Read(void* lpBuffer, DWORD dwNumberOfBytesToRead, DWORD& dwNumberOfBytesRead,
                      LPOVERLAPPED lpOverlapped) {
  dwNumberOfBytesRead = 0;
  // As in Write: no count for an overlapped call.
  return ReadFile(m_hPipe, lpBuffer, dwNumberOfBytesToRead,
                  lpOverlapped != nullptr ? nullptr : &dwNumberOfBytesRead, lpOverlapped);
}

BOOL CNamedPipe::SetReadMode(BOOL bByteMode, BOOL bBlocking) {
  DWORD mode = bByteMode ? PIPE_READMODE_BYTE : PIPE_READMODE_MESSAGE;
  if (!bBlocking) mode |= PIPE_NOWAIT;
  if (!SetNamedPipeHandleState(m_hPipe, &mode, nullptr, nullptr)) ThrowPipeError();
  return TRUE;
}

DWORD CNamedPipe::HandleState() const {
  DWORD state = 0;
  if (!GetNamedPipeHandleStateA(m_hPipe, &state, nullptr, nullptr, nullptr, nullptr, 0)) {
    ThrowPipeError();
  }
  return state;
}

BOOL CNamedPipe::IsBlocking() const {
  return (HandleState() & PIPE_NOWAIT) == 0;
}

BOOL CNamedPipe::IsMessageReadMode() const {
  return (HandleState() & PIPE_READMODE_MESSAGE) != 0;
}

DWORD CNamedPipe::CurrentInstances() const {
  DWORD instances = 0;
  if (!GetNamedPipeHandleStateA(m_hPipe, nullptr, &instances, nullptr, nullptr, nullptr, 0)) {
    ThrowPipeError();
  }
  return instances;
}

DWORD CNamedPipe::Flags() const {
  DWORD flags = 0;
  if (!GetNamedPipeInfo(m_hPipe, &flags, nullptr, nullptr, nullptr)) ThrowPipeError();
  return flags;
}

BOOL CNamedPipe::IsServerEnd() const {
  return (Flags() & PIPE_SERVER_END) != 0;
}

DWORD CNamedPipe::OutBufferSize() const {
  DWORD size = 0;
  if (!GetNamedPipeInfo(m_hPipe, nullptr, &size, nullptr, nullptr)) ThrowPipeError();
  return size;
}

DWORD CNamedPipe::InBufferSize() const {
  DWORD size = 0;
  if (!GetNamedPipeInfo(m_hPipe, nullptr, nullptr, &size, nullptr)) ThrowPipeError();
  return size;
}

DWORD CNamedPipe::MaxInstances() const {
  DWORD instances = 0;
  if (!GetNamedPipeInfo(m_hPipe, nullptr, nullptr, nullptr, &instances)) ThrowPipeError();
  return instances;
}

void CNamedPipe::ThrowPipeError(DWORD dwError) {
  if (dwError == 0) dwError = GetLastError();
  throw new CNamedPipeException(dwError);
}
