#include "support/Raised.h"
#include "support/ScriptServer.h"
#include "support/SocketFixture.h"
#include "tcpip/T_TcpIp.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::ScriptServer;

namespace {

// A layer as TLS is one: bytes it already took off the socket come first, and
// it can fail in words of its own.
class HeldStream final : public ByteStream {
public:
    HeldStream(std::unique_ptr<ByteStream> inner, std::string held)
        : inner_(std::move(inner)), held_(std::move(held))
    {
    }
    int Read(char* into, int size) override
    {
        if (!failure.empty())
            throw ESockException(failure);
        if (held_.empty())
            return inner_->Read(into, size);
        const int n = std::min(size, int(held_.size()));
        held_.copy(into, size_t(n));
        held_.erase(0, size_t(n));
        return n;
    }
    int Write(const char* from, int size) override { return inner_->Write(from, size); }
    bool Pending() const override { return !held_.empty(); }
    bool NeedsWritable(bool forWrite) const override { return inner_->NeedsWritable(forWrite); }
    int Error() const override { return inner_->Error(); }
    SOCKET Handle() const override { return inner_->Handle(); }
    void Close() override { inner_->Close(); }

    std::string failure;

private:
    std::unique_ptr<ByteStream> inner_;
    std::string held_;
};

class Client final : public T_TcpIp {
public:
    using T_TcpIp::Control;
    using T_TcpIp::ReadLine;
    using T_TcpIp::WaitUntilReady;
    using T_TcpIp::WrapControl;
};

using StreamSeam = SocketFixture;

} // namespace

TEST_F(StreamSeam, ALayerSlidUnderALiveConnectionIsWaitedOnReadAndFailsInItsOwnWords)
{
    using S = ScriptServer;
    ScriptServer server({S::Send("+OK plain\r\nread before the change\r\n"), S::Hold()});
    Client client;
    client.Hostname = "127.0.0.1";
    client.RemotePort = server.port();
    client.ReplyTimeoutMs = 2000;
    client.Login();
    std::string line;
    ASSERT_TRUE(client.ReadLine(line));
    EXPECT_EQ(line, "+OK plain");

    HeldStream* layer = nullptr;
    client.WrapControl([&layer](std::unique_ptr<ByteStream> plain) {
        auto made = std::make_unique<HeldStream>(std::move(plain), "+OK held inside\r\n");
        layer = made.get();
        return made;
    });
    // The socket has nothing more to read: only the layer's own bytes end the wait.
    EXPECT_NO_THROW(client.WaitUntilReady(client.Control(), false, "waiting for its answer"));
    ASSERT_TRUE(client.ReadLine(line));
    EXPECT_EQ(line, "+OK held inside") << "a line read in plain passed for one read through the layer";

    const std::string words = "The server's certificate is not trusted; check the host name.";
    layer->failure = words;
    EXPECT_EQ(testsupport::Raised<ETcpIpError>([&] { client.ReadLine(line); }), words);
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.LoggedIn);
}
