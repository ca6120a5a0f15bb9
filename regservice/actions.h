// Registration actions: type libraries, in-process servers (DllRegisterServer /
// DllUnregisterServer) and local servers (started with " /RegServer" / " /UnRegServer"). Each
// register action collects report lines "title: text" in MessageList for the reply.
#pragma once

#include <windows.h>

#include <string>

#include "regservice/framework.h"

// Report lines of the current request; the request loop empties it before every request.
extern CStringList MessageList;
// Non-zero: RegisterFile waits 8 ms before looking up the registration entry of a module.
extern BYTE RegisterDelay;

// Title of the line that explains why a request was refused before any action ran.
inline constexpr char kRefusedTitle[] = "Tesmar-Refused";
// Title of the line that explains why a request failed part-way (out of memory, say).
inline constexpr char kFailedTitle[] = "Tesmar-Failed";

// 1 when the file was registered, 0 when not.
BYTE RegisterFile(const char* path);
// Always 0; collects no report lines. Leaves the current directory at the file's directory.
BYTE UnregisterFile(const char* path);

// True only when the library loaded and RegisterTypeLib succeeded; the thread's last error tells
// why not.
bool RegisterTypeLibrary(const char* path);
void UnregisterTypeLibrary(const char* path);

// "name " followed by the system's text for code ("" when force is false and the code is 0 or
// 183, ERROR_ALREADY_EXISTS).
std::string ErrorText(DWORD code, const std::string& name, bool force);
void AddMessage(const std::string& title, const std::string& text);
// First position of sub in str, both upper-cased; -1 when absent.
int FindNoCase(const std::string& str, const std::string& sub);
void PumpMessages();
