#include "regservice/framework.h"

#include <cstdlib>

namespace {
CWinApp* g_app = nullptr;
}  // namespace

void CException::Delete() {
  if (m_bAutoDelete) delete this;
}

CWinApp::CWinApp() {
  g_app = this;
}

CWinApp::~CWinApp() {
  g_app = nullptr;
}

CWinApp* CWinApp::Current() {
  return g_app;
}

void CWinApp::ParseCommandLine(CCommandLineInfo& rInfo) const {
  for (int i = 1; i < __argc; ++i) {
    const char* arg = __argv[i];
    const bool isSwitch = arg[0] == '-' || arg[0] == '/';
    if (!isSwitch && rInfo.m_strFileName.empty()) rInfo.m_strFileName = arg;
  }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  CWinApp::Current()->InitInstance();
  return 0;
}
