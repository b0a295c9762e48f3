#include "redis/resp_command.h"

#include "platform/protected_secret.h"

namespace qc::redis {
namespace {

// "*", the count and CRLF.
constexpr std::size_t kHeaderRoom = 24;

}  // namespace

RespCommand& RespCommand::Add(std::string_view argument) {
    m_arguments += '$';
    m_arguments += std::to_string(argument.size());
    m_arguments += "\r\n";
    m_arguments.append(argument.data(), argument.size());
    m_arguments += "\r\n";
    ++m_count;
    return *this;
}

RespCommand& RespCommand::Add(long long number) { return Add(std::to_string(number)); }

std::string RespCommand::Encoded() const {
    std::string encoded;
    encoded.reserve(kHeaderRoom + m_arguments.size());
    AppendTo(&encoded);
    return encoded;
}

void RespCommand::AppendTo(std::string* wire) const {
    *wire += '*';
    *wire += std::to_string(m_count);
    *wire += "\r\n";
    *wire += m_arguments;
}

void RespCommand::Wipe() {
    platform::WipeSecret(&m_arguments);
    m_count = 0;
}

}  // namespace qc::redis
