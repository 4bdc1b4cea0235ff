// Servers that nobody here wrote answer the library: libmodbus and pymodbus,
// over a serial line (pty) and over TCP.
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "tcp_peer.h"

using namespace testsupport;

namespace {

constexpr int kRegisters = 200;
std::uint16_t Initial(int i) {
    return static_cast<std::uint16_t>((i * 257) & 0xFFFF);
}

// The read/write/read-back round the library makes with every server.
void ReadWriteRound(int station) {
    std::uint8_t buf[8];
    ASSERT_EQ(QV_ReadRegister(station, 4, 4, buf), 8);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(buf[2 * i] << 8 | buf[2 * i + 1], Initial(4 + i)) << i;

    ASSERT_EQ(QV_WriteRegister(station, 3, 0x0611), 1);
    ASSERT_EQ(QV_ReadRegister(station, 3, 1, buf), 2);
    EXPECT_EQ(buf[0] << 8 | buf[1], 0x0611);

    std::uint8_t values[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    ASSERT_EQ(QV_WriteMultiRegister(station, 100, 4, values), 1);
    ASSERT_EQ(QV_ReadRegister(station, 100, 4, buf), 8);
    EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), "12 34 56 78 9A BC DE F0");
}

// libmodbus answering on a file descriptor (pty master or accepted socket).
class LibmodbusServer {
public:
    LibmodbusServer(modbus_t *ctx, int fd) : ctx_(ctx) {
        map_ = modbus_mapping_new(0, 0, kRegisters, 0);
        for (int i = 0; i < kRegisters; ++i) map_->tab_registers[i] = Initial(i);
        modbus_set_slave(ctx_, 1);
        modbus_set_socket(ctx_, fd);
        modbus_set_indication_timeout(ctx_, 0, 100000);
        thread_ = std::thread([this] {
            std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
            while (!stop_) {
                int n = modbus_receive(ctx_, query);
                if (n > 0) {
                    modbus_reply(ctx_, query, n, map_);
                } else if (n < 0 && errno != ETIMEDOUT) {
                    modbus_flush(ctx_);
                }
            }
        });
    }
    ~LibmodbusServer() {
        stop_ = true;
        thread_.join();
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }

private:
    modbus_t *ctx_;
    modbus_mapping_t *map_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

pid_t Spawn(std::vector<std::string> argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> a;
        for (auto &s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    return pid;
}

void Kill(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

bool WaitFor(const std::function<bool()> &ok, int timeoutMs) {
    double end = NowMs() + timeoutMs;
    while (NowMs() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string PyServer() {
    return std::string(PEERS_DIR) + "/pymodbus_server.py";
}

int FreePort() {
    TcpPeer p;
    return p.port();
}

}  // namespace

TEST(LibmodbusServer, RtuOverPty) {
    PortsDir dir;
    int master, slave;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    dir.Link("COM1", name);
    {
        LibmodbusServer server(modbus_new_rtu("/dev/null", 19200, 'N', 8, 1), master);
        ASSERT_EQ(QV_ComInitial(1, 19200), 1);
        ReadWriteRound(1);
        // libmodbus stays silent for other stations: the command times out.
        std::uint8_t buf[2];
        EXPECT_EQ(QV_ReadRegister(2, 4, 1, buf), -1);
        QV_ComFree();
    }
    close(slave);
}

TEST(LibmodbusServer, Tcp) {
    TcpPeer listener;
    std::unique_ptr<LibmodbusServer> server;
    std::thread accept([&] {
        int fd = listener.Accept();
        server = std::make_unique<LibmodbusServer>(modbus_new_tcp("127.0.0.1", listener.port()), fd);
    });
    ASSERT_EQ(QV_TCPConnect("127.0.0.1", listener.port()), 1);
    accept.join();
    ReadWriteRound(1);
    std::uint8_t buf[2];
    EXPECT_EQ(QV_ReadRegister(1, 500, 1, buf), -1);  // exception 2 from libmodbus
    QV_TCPFree();
}

TEST(PymodbusServer, RtuOverSocatPair) {
    PortsDir dir;
    std::string a = dir.path() + "/ttyA", b = dir.path() + "/ttyB";
    pid_t socat = Spawn({"/usr/bin/socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
    struct stat st;
    ASSERT_TRUE(WaitFor([&] { return stat(a.c_str(), &st) == 0 && stat(b.c_str(), &st) == 0; }, 5000));
    pid_t py = Spawn({"/usr/bin/python3", PyServer(), "--rtu", a});
    dir.Link("COM1", b);
    ASSERT_EQ(QV_ComInitial(1, 19200), 1);
    // Wait until the server answers (its start-up takes a moment).
    std::uint8_t buf[2];
    EXPECT_TRUE(WaitFor([&] { return QV_ReadRegister(1, 0, 1, buf) == 2; }, 20000));
    ReadWriteRound(1);
    QV_ComFree();
    Kill(py);
    Kill(socat);
}

TEST(PymodbusServer, Tcp) {
    int port = FreePort();
    pid_t py = Spawn({"/usr/bin/python3", PyServer(), "--tcp", std::to_string(port)});
    ASSERT_TRUE(WaitFor([&] { return QV_TCPConnect("127.0.0.1", port) == 1; }, 20000));
    ReadWriteRound(1);
    QV_TCPFree();
    Kill(py);
}
