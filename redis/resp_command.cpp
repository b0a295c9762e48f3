#include "redis/resp_command.h"

namespace qc::redis {

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
    std::string encoded = "*" + std::to_string(m_count) + "\r\n";
    encoded += m_arguments;
    return encoded;
}

}  // namespace qc::redis
