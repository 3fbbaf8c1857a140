#include "sock/SocketStream.h"

SocketStream::~SocketStream()
{
    Close();
}

int SocketStream::Outcome(int result)
{
    if (result >= 0)
        return result;
    const int code = winsock::WSAGetLastError();
    if (code == WSAEWOULDBLOCK)
        return WouldBlock;
    error_ = code;
    return Broken;
}

int SocketStream::Read(char* into, int size)
{
    return Outcome(winsock::recv(socket_, into, size, 0));
}

int SocketStream::Write(const char* from, int size)
{
    return Outcome(winsock::send(socket_, from, size, 0));
}

void SocketStream::Close()
{
    if (socket_ == INVALID_SOCKET)
        return;
    winsock::closesocket(socket_);
    socket_ = INVALID_SOCKET;
}
