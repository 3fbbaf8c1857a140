#pragma once

#include "support/SocketFixture.h"
#include "tcpip/T_TcpIp.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

// The socket layer and what the clients under test traced, which a failing
// test writes out: the conversation is what explains the failure.
class ClientFixture : public SocketFixture {
protected:
    void TearDown() override
    {
        if (HasFailure())
            for (const auto& [level, line] : trace)
                std::cerr << "trace " << level << ": " << line << "\n";
        SocketFixture::TearDown();
    }
    void Follow(T_TcpIp& client)
    {
        client.OnTrace = [this](const std::string& s, TTraceLevel level) { trace.emplace_back(level, s); };
    }
    bool Traced(TTraceLevel level, const std::string& line) const
    {
        return std::find(trace.begin(), trace.end(), std::make_pair(level, line)) != trace.end();
    }
    bool TracedPart(const std::string& part) const
    {
        return std::any_of(trace.begin(), trace.end(), [&](const auto& t) { return t.second.find(part) != std::string::npos; });
    }
    int Count(const std::string& line) const
    {
        return int(std::count_if(trace.begin(), trace.end(), [&](const auto& t) { return t.second == line; }));
    }
    int CountStarting(const std::string& prefix) const
    {
        return int(std::count_if(trace.begin(), trace.end(),
                                 [&](const auto& t) { return t.second.rfind(prefix, 0) == 0; }));
    }
    std::vector<std::pair<TTraceLevel, std::string>> trace;
};

namespace testsupport {

// Bytes no transfer could get right by chance (xorshift from the seed).
inline std::string Pattern(size_t size, uint32_t seed = 2463534242u)
{
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return bytes;
}

inline std::string FileBytes(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("(missing)");
}

} // namespace testsupport
