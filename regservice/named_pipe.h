// Server end of a Win32 named pipe. Transfers report failure by their result and the thread's
// last error; queries and mode changes throw CNamedPipeException* (the catcher calls Delete).
#pragma once

#include <windows.h>

#include <string>

#include "regservice/framework.h"

class CNamedPipeException : public CException {
 public:
  explicit CNamedPipeException(DWORD dwError);

  // The system's text for m_dwError in pszError (at most nMaxError - 1 characters); FALSE and an
  // empty text when the system has none.
  BOOL GetErrorMessage(LPSTR pszError, UINT nMaxError, PUINT pnHelpContext = nullptr) const;

  DWORD m_dwError;
};

class CNamedPipe {
 public:
  // Longest pipe name accepted: "\\.\PIPE\" and the name must fit 260 bytes with the terminator.
  static constexpr size_t kMaxNameLength = 250;

  CNamedPipe();
  virtual ~CNamedPipe();
  CNamedPipe(const CNamedPipe&) = delete;
  CNamedPipe& operator=(const CNamedPipe&) = delete;

  // Creates the server end of "\\.\PIPE\" + name. A name longer than kMaxNameLength is refused
  // (last error ERROR_FILENAME_EXCED_RANGE) rather than cut to a different pipe's name.
  BOOL Create(const std::string& name, DWORD dwOpenMode, DWORD dwPipeMode, DWORD dwMaxInstances,
              DWORD dwOutBufferSize, DWORD dwInBufferSize, DWORD dwDefaultTimeOut,
              LPSECURITY_ATTRIBUTES lpSecurityAttributes);
  void Close();

  // With lpOverlapped (a handle created with FILE_FLAG_OVERLAPPED), Connect, Write and Read
  // return at once, and the byte count stays 0: GetOverlappedResult gives it.
  BOOL Connect(LPOVERLAPPED lpOverlapped = nullptr);
  BOOL Disconnect();
  // Returns once the client has read all that was written, however long that takes.
  BOOL Flush();
  BOOL Write(const void* lpBuffer, DWORD dwNumberOfBytesToWrite, DWORD& dwNumberOfBytesWritten,
             LPOVERLAPPED lpOverlapped = nullptr);
  BOOL Read(void* lpBuffer, DWORD dwNumberOfBytesToRead, DWORD& dwNumberOfBytesRead,
            LPOVERLAPPED lpOverlapped = nullptr);

  BOOL SetReadMode(BOOL bByteMode, BOOL bBlocking);
  BOOL IsBlocking() const;
  BOOL IsServerEnd() const;
  BOOL IsMessageReadMode() const;
  DWORD CurrentInstances() const;
  DWORD OutBufferSize() const;
  DWORD InBufferSize() const;
  DWORD MaxInstances() const;
  // The flags word of the pipe information (PIPE_SERVER_END, PIPE_TYPE_MESSAGE).
  DWORD Flags() const;

  [[noreturn]] static void ThrowPipeError(DWORD dwError = 0);

  HANDLE m_hPipe;
  BOOL m_bOwnsHandle;

 private:
  DWORD HandleState() const;
};
