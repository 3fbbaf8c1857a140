#include "sock/ByteStream.h"

int ByteStream::Ready(bool forWrite, int ms, const ByteStream* also) const
{
    if (!forWrite && Pending())
        return 1;
    if (also && also->Pending())
        return 2;
    return winsock::selectEither(Handle(), NeedsWritable(forWrite), also ? also->Handle() : INVALID_SOCKET, ms);
}
