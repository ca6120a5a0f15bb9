// Tesmar: serves registration requests on the named pipe given on its command line.
#include <windows.h>

#include "regservice/framework.h"
#include "regservice/pipe_service.h"

class CTesmarApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

CTesmarApp theApp;

BOOL CTesmarApp::InitInstance() {
  // No critical-error boxes: a windowless service must get failures back instead.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  SetProcessShutdownParameters(0x100, 0);
  CCommandLineInfo cmdInfo;
  ParseCommandLine(cmdInfo);
  if (cmdInfo.m_strFileName.empty()) return FALSE;
  RunPipeService(cmdInfo.m_strFileName);
  return TRUE;
}

// InitInstance once, then exit with code 0 whatever it returned: the program has no window, so
// there is no run loop to enter.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  theApp.InitInstance();
  return 0;
}
