// The registration service on its named pipe: one request per client connection.
#pragma once

#include <windows.h>

#include <string>

// Request commands (first 32-bit word of a request).
enum : DWORD { REQ_PING = 10, REQ_OPTIONS = 11, REQ_FILE = 12, REQ_QUIT = 100 };

// Serves "\\.\PIPE\" + name until a quit request, a short payload or a pipe failure ends it.
// Throws nothing.
void RunPipeService(const std::string& name);
