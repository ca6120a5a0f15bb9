// The registration service on its named pipe: one request per client connection.
#pragma once

#include <string>

// Serves "\\.\PIPE\" + name until a quit request, a short payload or a pipe failure ends it.
// Throws nothing.
void RunPipeService(const std::string& name);
