// A Lua script run on the server as one atomic step.
//
// Names and texts reach the script only as KEYS and ARGV, never inside its
// text, so no name can change what the script does. The script goes out as
// EVALSHA with its SHA-1; a server that has not cached it yet (it restarted,
// or its cache was flushed) answers NOSCRIPT, and the script then goes out
// whole with EVAL, which caches it again. Both within the call's one deadline.
#pragma once

#include "redis/resp_executor.h"

#include <initializer_list>
#include <string>
#include <string_view>

namespace qc::redis {

class RespScript {
public:
    explicit RespScript(std::string text);

    const std::string& Text() const { return m_text; }
    const std::string& Sha1() const { return m_sha1; }

    // S_OK with the script's reply, which may be an error reply; a failure
    // when the server could not be asked.
    HRESULT Run(IRespExecutor& pool, std::initializer_list<std::string_view> keys,
                std::initializer_list<std::string_view> arguments, RespReply* reply) const noexcept;

private:
    std::string m_text;
    std::string m_sha1;
};

}  // namespace qc::redis
