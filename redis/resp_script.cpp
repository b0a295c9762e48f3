#include "redis/resp_script.h"

#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/sha1.h"
#include "support/hresult_of.h"

namespace qc::redis {
namespace {

std::string ScriptCommand(std::string_view verb, std::string_view body, std::initializer_list<std::string_view> keys,
                          std::initializer_list<std::string_view> arguments) {
    RespCommand command(verb);
    command.Add(body).Add(static_cast<long long>(keys.size()));
    for (const std::string_view key : keys) command.Add(key);
    for (const std::string_view argument : arguments) command.Add(argument);
    return command.Encoded();
}

}  // namespace

RespScript::RespScript(std::string text) : m_text(std::move(text)), m_sha1(Sha1Hex(m_text)) {}

HRESULT RespScript::Run(IRespExecutor& pool, std::initializer_list<std::string_view> keys,
                        std::initializer_list<std::string_view> arguments, RespReply* reply) const noexcept {
    return HResultOf([&] {
        const Deadline deadline = pool.NewDeadline();
        const HRESULT cached = pool.Execute(ScriptCommand("EVALSHA", m_sha1, keys, arguments), deadline, reply);
        if (FAILED(cached) || !reply->IsError() || !IsNoScriptReply(reply->text)) return cached;
        return pool.Execute(ScriptCommand("EVAL", m_text, keys, arguments), deadline, reply);
    });
}

}  // namespace qc::redis
