// flashtool through a real serial server: ser2net serves unitsim's pseudo-terminal on the
// loopback, once over RFC 2217 and once as a raw socket.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/UnitSimProcess.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// A port on the loopback that nothing listens on at the moment.
int FreePort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected =
        connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return connected;
}

// ser2net in the foreground with a configuration of the test's own: one RFC 2217 and one raw
// accepter in front of the same device. Character delay off: by default the server holds the
// unit's answers back to gather more, which costs every acknowledged frame a few milliseconds.
class SerialServer {
public:
    SerialServer(const fs::path& dir, const std::string& device)
        : m_rfc2217Port(FreePort()), m_rawPort(FreePort()) {
        const fs::path config = dir / "ser2net.yaml";
        std::ofstream file(config);
        for (const auto& [name, accepter, port] :
             {std::tuple{"rfc", "telnet(rfc2217),tcp", m_rfc2217Port},
              std::tuple{"raw", "tcp", m_rawPort}}) {
            file << "connection: &" << name << "\n"
                 << "    accepter: " << accepter << ",127.0.0.1," << port << "\n"
                 << "    enable: on\n"
                 << "    connector: serialdev," << device << ",9600n81,local\n"
                 << "    options:\n"
                 << "        chardelay: false\n\n";
        }
        file.close();
        m_pid = fork();
        if (m_pid == 0) {
            const std::string log = (dir / "ser2net.log").string();
            if (std::freopen(log.c_str(), "w", stdout) == nullptr ||
                std::freopen(log.c_str(), "a", stderr) == nullptr) {
                _exit(126);
            }
            execlp("ser2net", "ser2net", "-n", "-d", "-c", config.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !(Accepts(m_rfc2217Port) && Accepts(m_rawPort)); ++i) {
            std::this_thread::sleep_for(milliseconds(50));
        }
    }
    ~SerialServer() { Stop(); }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    std::string Rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(m_rfc2217Port); }
    std::string Raw() const { return "tcp://127.0.0.1:" + std::to_string(m_rawPort); }

private:
    int m_rfc2217Port;
    int m_rawPort;
    pid_t m_pid = -1;
};

class FlashtoolOverNetwork : public ::testing::Test {
protected:
    FlashtoolOverNetwork() {
        m_dir = fs::temp_directory_path() /
                ("flashtool-net-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir / "flash");
        // 16 rows, every other byte 0xFF: the telnet layer doubles and undoubles them all.
        std::ofstream file(m_dir / "LB1~4K_net.mot");
        for (int row = 0; row < 16; ++row) {
            unsigned sum = 0x13 + static_cast<unsigned>(row * 16);
            char line[64];
            std::string data;
            for (int i = 0; i < 16; ++i) {
                const unsigned byte = i % 2 == 0 ? 0xFF : static_cast<unsigned>(row * 16 + i);
                std::snprintf(line, sizeof line, "%02X", byte);
                data += line;
                sum += byte;
                m_image.push_back(static_cast<char>(byte));
            }
            std::snprintf(line, sizeof line, "S113%04X", row * 16);
            file << line << data;
            std::snprintf(line, sizeof line, "%02X\n", ~sum & 0xFF);
            file << line;
        }
        file << "S9030000FC\n";
    }
    ~FlashtoolOverNetwork() override { fs::remove_all(m_dir); }

    std::string Command(const std::string& port) const {
        return "cd '" + m_dir.string() +
               "' && exec " FLASHTOOL_BIN " flash LB1~4K_net.mot --port " + port +
               " >out.txt 2>err.txt";
    }
    int Flashtool(const std::string& port) const {
        const int raw = std::system(Command(port).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::string Err() const { return ReadFile(m_dir / "err.txt"); }
    std::string ControlFlash() const {
        return ReadFile(m_dir / "flash/control.bin").substr(0, m_image.size());
    }

    fs::path m_dir;
    std::string m_image;
};

TEST_F(FlashtoolOverNetwork, FlashesThroughRfc2217AndRawTcp) {
    UnitSimProcess unit({"--model", "VX310R", "--version", "A1.03", "--restart-ms", "200",
                         "--flash-dir", (m_dir / "flash").string()});
    const std::string device = unit.ReadLine();
    ASSERT_FALSE(device.empty());
    SerialServer server(m_dir, device);
    for (const std::string& port : {server.Rfc2217(), server.Raw()}) {
        fs::remove(m_dir / "flash/control.bin");
        EXPECT_EQ(Flashtool(port), 0) << port << "\n" << Err();
        EXPECT_NE(Err().find("Programming successfully !"), std::string::npos) << Err();
        EXPECT_EQ(ControlFlash(), m_image) << port;
        std::this_thread::sleep_for(milliseconds(300));  // the unit restarts after a block
    }
    // The boot road needs modem lines, which a raw socket has not.
    const int raw = std::system(("cd '" + m_dir.string() +
                                 "' && " FLASHTOOL_BIN " boot LB1~4K_net.mot --port " +
                                 server.Raw() + " >out.txt 2>err.txt")
                                    .c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_NE(Err().find("has no modem lines"), std::string::npos) << Err();
}

TEST_F(FlashtoolOverNetwork, ConnectionFailuresAndALostServerAreReported) {
    // Nothing listens: refused at once.
    const int closed = FreePort();
    EXPECT_EQ(Flashtool("rfc2217://127.0.0.1:" + std::to_string(closed)), 1);
    EXPECT_NE(Err().find("cannot connect: Connection refused"), std::string::npos) << Err();
    EXPECT_EQ(Flashtool("tcp://no-such-host.invalid:2000"), 1);
    EXPECT_NE(Err().find("cannot find the host no-such-host.invalid"), std::string::npos) << Err();
    EXPECT_EQ(Flashtool("tcp://127.0.0.1"), 1);  // no port
    EXPECT_NE(Err().find("not an address of the form"), std::string::npos) << Err();

    // The server goes away in the middle of the transfer.
    UnitSimProcess unit(
        {"--model", "VX310R", "--version", "A1.03", "--flash-dir", (m_dir / "flash").string()});
    const std::string device = unit.ReadLine();
    SerialServer server(m_dir, device);
    const pid_t run = fork();
    if (run == 0) {
        execl("/bin/sh", "sh", "-c", Command(server.Rfc2217()).c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200 && ReadFile(m_dir / "out.txt").find("Programming") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    server.Stop();
    int status = 0;
    waitpid(run, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    // An orderly close or a reset, depending on when the server went.
    EXPECT_TRUE(Err().find("the server closed the connection") != std::string::npos ||
                Err().find("the connection to the server was lost") != std::string::npos)
        << Err();
    EXPECT_EQ(Err().find("successfully"), std::string::npos) << Err();
}

}  // namespace
