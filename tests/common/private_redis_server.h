// A Redis server of one test's own, started and stopped by the project's
// script (native builds only: it runs the script through the shell), for
// tests that stop or pause the server midway or give it a password.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace qc::farm {

class PrivateRedisServer {
public:
    // OPTIONS go to redis-server as they are, e.g. "--requirepass secret";
    // SCRIPT_OPTIONS to the script, e.g. "--tls CERT KEY".
    explicit PrivateRedisServer(std::string options = {}, std::string scriptOptions = {})
        : m_dir(std::string(QC_FARM_TEST_WORK_DIR) + "/" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()),
          m_options(std::move(options)),
          m_scriptOptions(std::move(scriptOptions)) {
        Run("start " + m_dir + " " + m_scriptOptions + " -- " + m_options);
        std::ifstream(m_dir + "/port") >> m_port;
    }
    ~PrivateRedisServer() {
        Resume();  // a paused server would not hear the stop
        Stop();
    }
    PrivateRedisServer(const PrivateRedisServer&) = delete;
    PrivateRedisServer& operator=(const PrivateRedisServer&) = delete;

    // Certificates for TLS servers, made afresh for this test by the script
    // beside the server's (redis-test-certs.sh); their directory, with a
    // '/' after it. "--tls " + dir + "localhost.crt " + dir + "server.key"
    // as SCRIPT_OPTIONS starts a server showing localhost.crt.
    static std::string MakeCertificates() {
        const std::string serverScript = QC_REDIS_SERVER_SCRIPT;
        const std::string dir = std::string(QC_FARM_TEST_WORK_DIR) + "/" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-certs";
        const std::string command =
            serverScript.substr(0, serverScript.rfind('/') + 1) + "redis-test-certs.sh " + dir;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return dir + "/";
    }

    unsigned short Port() const { return m_port; }
    void Stop() { Run("stop " + m_dir); }
    // Starts it again on its port, empty (it keeps nothing on disk).
    void Restart() {
        Run("start " + m_dir + " " + std::to_string(m_port) + " " + m_scriptOptions + " -- " + m_options);
    }
    // Pauses the process: the system still takes its connections and the
    // requests sent on them, and nothing answers until Resume.
    void Pause() { Signal(SIGSTOP); }
    void Resume() { Signal(SIGCONT); }
    // Whether a request sent to it waits unread: a client is waiting for it
    // (Linux: the receive queues of the server's connections).
    bool HasUnreadRequest() const {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            // sl local_address rem_address st tx_queue:rx_queue ...
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            const auto colon = local.find(':');
            if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != m_port ||
                state != "01")  // established
                continue;
            if (std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16) != 0) return true;
        }
        return false;
    }

private:
    void Signal(int signal) const {
        pid_t pid = 0;
        if (std::ifstream(m_dir + "/pid") >> pid) ::kill(pid, signal);
    }
    static void Run(const std::string& arguments) {
        const std::string command = std::string(QC_REDIS_SERVER_SCRIPT) + " " + arguments;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string m_dir;
    std::string m_options;
    std::string m_scriptOptions;
    unsigned short m_port = 0;
};

}  // namespace qc::farm
