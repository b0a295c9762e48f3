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
    // For a command that carries a secret: room for `bytes` of arguments
    // from the start, so that no growth leaves a copy behind in freed
    // memory; Wipe it once it is sent.
    void Reserve(std::size_t bytes) { m_arguments.reserve(bytes); }

    RespCommand& Add(std::string_view argument);
    RespCommand& Add(long long number);

    // The bytes to send: the array's header and every argument.
    std::string Encoded() const;
    // The same bytes, added to *wire.
    void AppendTo(std::string* wire) const;

    // Overwrites the arguments, and empties the command.
    void Wipe();

private:
    std::string m_arguments;
    std::size_t m_count = 0;
};

}  // namespace qc::redis
