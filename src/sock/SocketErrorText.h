#pragma once

#include <string>

// The Winsock constant name of an error code, or "UNKNOWN ERROR".
std::string SocketErrorText(int code);
