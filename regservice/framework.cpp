#include "regservice/framework.h"

#include <cstdlib>

void CException::Delete() {
  if (m_bAutoDelete) delete this;
}

void CWinApp::ParseCommandLine(CCommandLineInfo& rInfo) const {
  for (int i = 1; i < __argc; ++i) {
    const char* arg = __argv[i];
    const bool isSwitch = arg[0] == '-' || arg[0] == '/';
    if (!isSwitch && rInfo.m_strFileName.empty()) rInfo.m_strFileName = arg;
  }
}
