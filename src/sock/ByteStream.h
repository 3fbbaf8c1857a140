#pragma once

#include "platform/winsock.h"

#include <functional>
#include <memory>

// The bytes of one connection, whatever carries them: a plain socket, or a
// layer (TLS, say) over one. Nothing blocks: a call that cannot go on now
// says so, and Ready says when it can. A failure the user has to act on (a
// refused handshake, a certificate not trusted) is raised as ESockException
// in words saying what to do; a connection that merely broke is Broken.
class ByteStream {
public:
    // What Read and Write give besides a byte count (Read gives 0 when the
    // peer ended the stream).
    static constexpr int Broken = SOCKET_ERROR; // Error() says how
    static constexpr int WouldBlock = -2;       // nothing moves now: wait with Ready

    // Makes the stream that takes a live one's place, usually a layer over it.
    using Wrapper = std::function<std::unique_ptr<ByteStream>(std::unique_ptr<ByteStream>)>;

    ByteStream() = default;
    virtual ~ByteStream() = default;
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    virtual int Read(char* into, int size) = 0;
    virtual int Write(const char* from, int size) = 0;
    // Bytes held inside the stream that Read hands out without the socket,
    // which therefore does not show them as readable.
    virtual bool Pending() const = 0;
    // Whether the socket must become writable (rather than readable) before
    // the stream can go on reading (forWrite false) or writing: a layer may
    // have to write to read, or read to write.
    virtual bool NeedsWritable(bool forWrite) const = 0;
    // The Winsock code of the last Broken.
    virtual int Error() const = 0;
    // The socket underneath, for notifications and polls.
    virtual SOCKET Handle() const = 0;
    // Ends the stream (a layer says goodbye first) and closes the socket.
    virtual void Close() = 0;

    // Waits at most ms until Read (or, forWrite, Write) can go on, or `also`
    // has something to read: 1 for this stream, 2 for `also` only, 0 for
    // neither, SOCKET_ERROR on failure. Bytes held inside count at once.
    int Ready(bool forWrite, int ms, const ByteStream* also = nullptr) const;
};
