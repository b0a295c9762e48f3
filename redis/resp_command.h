// A command on the wire: an array of bulk strings. Every argument goes out
// with its length in front, so names and texts of any bytes (CR, LF, NUL,
// quotes) are carried as data and can never be read as protocol.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qc::redis {

class RespCommand {
public:
    RespCommand() = default;
    explicit RespCommand(std::string_view name) { Add(name); }

    RespCommand& Add(std::string_view argument);
    RespCommand& Add(long long number);

    // The bytes to send: the array's header and every argument.
    std::string Encoded() const;

private:
    std::string m_arguments;
    std::size_t m_count = 0;
};

}  // namespace qc::redis
