#pragma once

#include "sock/ByteStream.h"

// A byte stream straight on a connected, non-blocking socket, which it owns.
class SocketStream final : public ByteStream {
public:
    explicit SocketStream(SOCKET s) : socket_(s) {}
    ~SocketStream() override;

    int Read(char* into, int size) override;
    int Write(const char* from, int size) override;
    bool Pending() const override { return false; }
    bool NeedsWritable(bool forWrite) const override { return forWrite; }
    int Error() const override { return error_; }
    SOCKET Handle() const override { return socket_; }
    void Close() override;

private:
    int Outcome(int result);

    SOCKET socket_;
    int error_ = 0;
};
