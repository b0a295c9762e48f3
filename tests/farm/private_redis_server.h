// A Redis server of one test's own, started and stopped by the project's
// script (native builds only: it runs the script through the shell), for
// tests that stop the server midway or give it a password.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace qc::farm {

class PrivateRedisServer {
public:
    // OPTIONS go to redis-server as they are, e.g. "--requirepass secret".
    explicit PrivateRedisServer(std::string options = {})
        : m_dir(std::string(QC_FARM_TEST_WORK_DIR) + "/" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()),
          m_options(std::move(options)) {
        Run("start " + m_dir + " -- " + m_options);
        std::ifstream(m_dir + "/port") >> m_port;
    }
    ~PrivateRedisServer() { Stop(); }
    PrivateRedisServer(const PrivateRedisServer&) = delete;
    PrivateRedisServer& operator=(const PrivateRedisServer&) = delete;

    unsigned short Port() const { return m_port; }
    void Stop() { Run("stop " + m_dir); }
    // Starts it again on its port, empty (it keeps nothing on disk).
    void Restart() { Run("start " + m_dir + " " + std::to_string(m_port) + " -- " + m_options); }

private:
    static void Run(const std::string& arguments) {
        const std::string command = std::string(QC_REDIS_SERVER_SCRIPT) + " " + arguments;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string m_dir;
    std::string m_options;
    unsigned short m_port = 0;
};

}  // namespace qc::farm
