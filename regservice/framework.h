// The few application-framework pieces Tesmar relies on: a start-up hook that receives the
// parsed command line, a list of strings and an exception base that frees itself.
#pragma once

#include <windows.h>

#include <list>
#include <string>

// Base of exceptions thrown by pointer: the catcher owns the object and releases it with Delete.
class CException {
 public:
  virtual ~CException() = default;
  // Frees the object when it was allocated on the heap (auto-delete set at construction).
  void Delete();

 protected:
  explicit CException(BOOL bAutoDelete) : m_bAutoDelete(bAutoDelete) {}

  BOOL m_bAutoDelete;
};

// List of ANSI strings appended at the tail.
class CStringList {
 public:
  void AddTail(const std::string& text) { m_items.push_back(text); }
  void RemoveAll() { m_items.clear(); }
  size_t GetCount() const { return m_items.size(); }
  std::list<std::string>::const_iterator begin() const { return m_items.begin(); }
  std::list<std::string>::const_iterator end() const { return m_items.end(); }

 private:
  std::list<std::string> m_items;
};

// The command line as the framework sees it: the first argument that is not a switch.
struct CCommandLineInfo {
  std::string m_strFileName;
};

// Base of the one application object, whose InitInstance the program's entry point calls.
class CWinApp {
 public:
  CWinApp() = default;
  virtual ~CWinApp() = default;
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual BOOL InitInstance() = 0;

  // Fills rInfo from the arguments as the runtime library split them: an argument starting with
  // '-' or '/' is a switch; the first other argument becomes the file name, later ones are ignored.
  void ParseCommandLine(CCommandLineInfo& rInfo) const;
};
