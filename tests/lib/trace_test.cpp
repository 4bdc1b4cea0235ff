// The traffic trace: the frames of a good exchange, and one line that names
// the reason of every kind of failure, with the result left as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "Trace.h"
#include "pty_port.h"
#include "qvmodbusrtu.h"
#include "tcp_peer.h"

using namespace testsupport;

namespace {

class Trace : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = dir_.path() + "/trace.log";
        trace::Configure(file_.c_str());
    }
    void TearDown() override {
        QV_ComFree();
        QV_TCPFree();
        trace::Configure(nullptr);
    }
    std::vector<std::string> Lines() const {
        std::ifstream in(file_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // The one line that reports a failure.
    std::string FailureLine() const {
        std::string found;
        for (const std::string &l : Lines())
            if (l.find(" ! ") != std::string::npos) {
                EXPECT_TRUE(found.empty()) << "a second failure line: " << l;
                found = l;
            }
        return found;
    }
    PortsDir dir_;
    std::string file_;
};

// What follows a line's time stamp "2026-12-07 23:44:45.123 ", or "" when
// the line does not start with one.
std::string AfterStamp(const std::string &line) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < shape.size()) return "";
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) return "";
    return line.substr(shape.size());
}

// Every way an exchange can fail against a reader: the result, the code left
// in errno and the trace line, the same whether the trace is on or off.
struct OutcomeCase {
    const char *name;
    bool tcp;
    const char *reply;  // "" for none
    bool hangUp;        // the reader's side goes away after the reply (or instead of one)
    int code;
    bool waits;  // the whole reply wait passes: nothing, or too little, tells the reply is over
    std::vector<const char *> reason;
    bool deviceInfo = false;  // the call is QV_GetDeviceInfo, not a register read
};

const OutcomeCase kOutcomes[] = {
    {"no reply", false, "", false, QV_E_NOREPLY, true, {"no reply within 2000 ms"}},
    {"CRC swapped", false, "01 03 02 12 34 33 B5", false, QV_E_CRC, false, {"CRC mismatch", "33 B5", "B5 33"}},
    {"short serial reply", false, "01 03 02 12", false, QV_E_INCOMPLETE, true, {"incomplete reply", "4 of 7 bytes"}},
    {"bad CRC, length unknown", false, "01 46 00 51 56 AA BB", false, QV_E_CRC, true, {"CRC mismatch", "AA BB"}},
    {"serial exception",
     false,
     "01 83 02 C0 F1",
     false,
     QV_E_EXCEPTION_BASE + 2,
     false,
     {"exception reply, code 02", "illegal data address"}},
    {"line gone mid-wait", false, "", true, QV_E_LINKLOST, false, {"the line went away"}},
    {"line gone mid-reply", false, "01 03 02", true, QV_E_LINKLOST, false, {"the line went away"}},
    {"no data", false, "01 46 81 D2", false, QV_E_NODATA, false, {"the reply carries no data"}, true},
    {"TCP exception",
     true,
     "00 00 00 00 00 03 01 83 04",
     false,
     QV_E_EXCEPTION_BASE + 4,
     false,
     {"exception reply, code 04", "server device failure"}},
    {"another function",
     true,
     "00 00 00 00 00 07 01 04 04 00 01 00 02",
     false,
     QV_E_FUNCTION,
     false,
     {"expected function 03, received 04"}},
    {"short TCP reply",
     true,
     "00 00 00 00 00 07 01 03 04 00 01",
     false,
     QV_E_INCOMPLETE,
     true,
     {"incomplete reply", "11 of the 13 bytes"}},
    {"TCP length too small",
     true,
     "00 00 00 00 00 06 01 03 04 00 01 00 02",
     false,
     QV_E_CRC,
     false,
     {"reply of 13 bytes, but its length field announces 12"}},
    {"connection closed", true, "", true, QV_E_LINKLOST, false, {"the connection was lost", "closed the connection"}},
    {"connection closed mid-reply",
     true,
     "00 00 00 00 00 07 01 03 04",
     true,
     QV_E_LINKLOST,
     false,
     {"the connection was lost"}},
};

double ThreadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

TEST_F(Trace, GoodExchangeShowsBothFramesWithTimeAndLink) {
    PtyPort com(dir_, 3);
    ASSERT_EQ(QV_ComInitial(3, 19200), 1);
    std::thread reader([&] {
        com.Read(8, 3000);
        com.Write(Hex("01 03 02 12 34 B5 33"));
    });
    std::uint8_t buf[2];
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), 2);
    reader.join();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(AfterStamp(lines[0]), "COM3 open " + com.slavePath() + " at 19200 bit/s, 8N1") << lines[0];
    EXPECT_EQ(AfterStamp(lines[1]), "COM3 > 01 03 00 01 00 01 D5 CA") << lines[1];
    EXPECT_EQ(AfterStamp(lines[2]), "COM3 < 01 03 02 12 34 B5 33") << lines[2];
}

TEST_F(Trace, EachOutcomeHasItsCodeAndLineTracedOrNot) {
    for (const bool traced : {false, true}) {
        for (const OutcomeCase &c : kOutcomes) {
            SCOPED_TRACE(std::string(c.name) + (traced ? ", traced" : ", untraced"));
            trace::Configure(nullptr);
            unlink(file_.c_str());
            trace::Configure(traced ? file_.c_str() : nullptr);
            std::unique_ptr<PtyPort> com;
            std::unique_ptr<TcpPeer> peer;
            int conn = -1;
            if (c.tcp) {
                peer = std::make_unique<TcpPeer>();
                ASSERT_EQ(QV_TCPConnect("127.0.0.1", peer->port()), 1);
                conn = peer->Accept();
            } else {
                com = std::make_unique<PtyPort>(dir_, 1);
                ASSERT_EQ(QV_ComInitial(1, 19200), 1);
            }
            const Bytes reply = Hex(c.reply);
            std::thread reader([&] {
                if (c.tcp) {
                    TcpPeer::ReadFrame(conn);
                    if (!reply.empty()) TcpPeer::Send(conn, reply);
                    if (c.hangUp) close(conn);
                } else {
                    com->Read(1, 3000);
                    com->Drain(15);
                    if (!reply.empty()) com->Write(reply);
                    if (c.hangUp) com.reset();  // the adapter pulled out
                }
            });
            std::uint8_t buf[QV_DEVICE_INFO_SIZE];
            const double t0 = NowMs(), cpu0 = ThreadCpuMs();
            errno = 0;
            EXPECT_EQ(c.deviceInfo ? QV_GetDeviceInfo(1, buf) : QV_ReadRegister(1, 1, c.tcp ? 2 : 1, buf), -1);
            const int code = errno;
            const double ms = NowMs() - t0, cpu = ThreadCpuMs() - cpu0;
            reader.join();
            EXPECT_EQ(code, c.code) << std::hex << code;
            if (c.waits) {
                EXPECT_GE(ms, 1950);
                EXPECT_LT(ms, 2600);
            } else {
                EXPECT_LT(ms, 1000);  // an answer, or a line that went away, ends the wait at once
            }
            EXPECT_LT(cpu, 50);  // waiting costs no CPU, whatever the line does
            if (traced) {
                const std::string line = FailureLine();
                EXPECT_NE(line.find(c.tcp ? "127.0.0.1:" : " COM1 "), std::string::npos) << line;
                EXPECT_NE(line.find(c.deviceInfo ? "QV_GetDeviceInfo(station 1)"
                                                 : "QV_ReadRegister(station 1, address 1, count"),
                          std::string::npos)
                    << line;
                for (const char *word : c.reason)
                    EXPECT_NE(line.find(word), std::string::npos) << word << " in: " << line;
                if (!reply.empty() && !c.hangUp) {  // what came is shown as it came (a hang-up may flush it)
                    bool shown = false;
                    for (const std::string &l : Lines())
                        shown = shown || l.find("< " + ToHex(reply)) != std::string::npos;
                    EXPECT_TRUE(shown);
                }
            } else {
                EXPECT_TRUE(Lines().empty());
            }
            if (c.code == QV_E_LINKLOST) {  // the calls after fail at once, the same way
                const double t1 = NowMs();
                errno = 0;
                EXPECT_EQ(QV_WriteRegister(1, 1, 1), -1);
                EXPECT_EQ(errno, QV_E_LINKLOST);
                EXPECT_LT(NowMs() - t1, 100);
            }
            QV_ComFree();
            QV_TCPFree();
        }
    }
}

TEST_F(Trace, LinksThatCannotBeOpenedSayWhy) {
    errno = 0;
    EXPECT_EQ(QV_ComInitial(200, 19200), 0);
    EXPECT_EQ(errno, ENOENT);  // the system's own code, not one of ours
    std::string line = FailureLine();
    EXPECT_NE(line.find("COM200 ! QV_ComInitial(200, 19200) gives 0"), std::string::npos) << line;
    EXPECT_NE(line.find("no device is COM200"), std::string::npos) << line;

    int closedPort;
    {
        TcpPeer gone;
        closedPort = gone.port();
    }
    trace::Configure(nullptr);
    unlink(file_.c_str());
    trace::Configure(file_.c_str());
    errno = 0;
    EXPECT_EQ(QV_TCPConnect("127.0.0.1", closedPort), -2);
    EXPECT_EQ(errno, ECONNREFUSED);
    line = FailureLine();
    EXPECT_NE(line.find("Connection refused"), std::string::npos) << line;

    // A command without a link, and arguments refused before sending.
    std::uint8_t buf[2];
    QV_TCPFree();
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), -1);
    EXPECT_EQ(errno, QV_E_NOLINK);
    EXPECT_EQ(QV_ReadRegister(1, 1, 0, buf), -1);
    EXPECT_EQ(errno, QV_E_ARGUMENT);
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("no link is open"), std::string::npos) << lines[lines.size() - 2];
    EXPECT_NE(lines.back().find("count must be 1 to 125; nothing sent"), std::string::npos) << lines.back();
}

TEST_F(Trace, PortWithoutPermissionNamesDeviceReasonAndRemedy) {
    if (geteuid() == 0) GTEST_SKIP() << "root may open any device";
    // Group may read and write, the owner (this user) may not: only
    // membership of the group would help, as with a dialout device.
    const std::string device = dir_.path() + "/ttyFAKE0";
    int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0060);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(device.c_str(), 0060);
    dir_.Link("COM7", device);
    EXPECT_EQ(QV_ComInitial(7, 19200), 0);
    EXPECT_EQ(errno, EACCES);
    const std::string line = FailureLine();
    for (const char *word : {"ttyFAKE0", "(COM7)", "Permission denied", "usermod -aG"})
        EXPECT_NE(line.find(word), std::string::npos) << word << " in: " << line;
}

TEST_F(Trace, KeysAndPermissionsNeverShowOnlyTheirCount) {
    PtyPort com(dir_, 2);
    ASSERT_EQ(QV_ComInitial(2, 19200), 1);
    const std::uint8_t key[16] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0xA7, 0xB8,
                                  0xC9, 0xDA, 0xEB, 0xFC, 0xAD, 0xBE, 0xCF, 0xD0};
    const std::string six = "** ** ** ** ** **", sixteen = six + " " + six + " ** ** ** **";
    struct {
        std::function<int()> call;
        std::string request;  // as traced, without its CRC
    } calls[] = {
        {[&] { return QV_DownKey(1, key); }, "> 01 46 01 " + six + " "},
        {[&] { return QV_DownKeyEx(1, 0x07, key); }, "> 01 46 01 07 " + sixteen + " "},
        {[&] { return QV_SetPermission(1, 0x5A, key); }, "> 01 46 04 " + sixteen + " ** "},
    };
    for (auto &c : calls) {
        std::thread reader([&] {  // a reader that echoes what it received
            Bytes request = com.Read(1, 3000);
            const Bytes rest = com.Drain(15);
            request.insert(request.end(), rest.begin(), rest.end());
            com.Write(request);
        });
        EXPECT_EQ(c.call(), 1);
        reader.join();
    }
    const auto lines = Lines();
    std::string all;
    for (const std::string &l : lines) all += l + "\n";
    for (auto &c : calls) {
        EXPECT_NE(all.find(c.request), std::string::npos) << c.request << " in:\n" << all;
        std::string echo = c.request;
        echo[0] = '<';
        EXPECT_NE(all.find(echo), std::string::npos) << echo << " in:\n" << all;
    }
    for (const char *secret : {"A1", "B2", "C3", "D4", "E5", "F6", "5A"})
        EXPECT_EQ(all.find(std::string(" ") + secret), std::string::npos) << secret << " in:\n" << all;
}

TEST_F(Trace, FileIsPrivateNotInheritedAndFailuresLevelKeepsNoFrames) {
    trace::Configure(nullptr);
    unlink(file_.c_str());
    const mode_t old = umask(022);
    trace::Configure(file_.c_str(), "FAILURES");
    PtyPort com(dir_, 1);
    ASSERT_EQ(QV_ComInitial(1, 19200), 1);  // writes the open line, creating the file
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    bool found = false;  // the descriptor behind the trace closes on exec
    for (int fd = 3; fd < 1024; ++fd) {
        char link[64], target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0 || std::string(target, static_cast<size_t>(n)) != file_) continue;
        found = true;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_TRUE(found);
    std::thread reader([&] {
        com.Read(8, 3000);
        com.Write(Hex("01 03 02 12 34 B5 33"));
        com.Read(8, 3000);
        com.Write(Hex("01 83 02 C0 F1"));
    });
    std::uint8_t buf[2];
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), 2);
    EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), -1);
    reader.join();
    QV_ComFree();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);  // open, the failure, closed: no frames
    EXPECT_NE(lines[0].find("COM1 open"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("! QV_ReadRegister"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("COM1 closed"), std::string::npos) << lines[2];
}

TEST_F(Trace, NoRegularFileMeansStandardErrorWithoutBlockingOrCreatingFiles) {
    const std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    for (const char *value : {fifo.c_str(), "/dev/null", "STDERR", "Stderr", "1"}) {
        SCOPED_TRACE(value);
        testing::internal::CaptureStderr();
        // Nobody reads the FIFO: opening it must not wait for a reader.
        auto configured = std::async(std::launch::async, [value] { trace::Configure(value); });
        ASSERT_EQ(configured.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        QV_ComFree();  // a failure line on standard error
        EXPECT_EQ(QV_WriteRegister(1, 1, 1), -1);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("! QV_WriteRegister"), std::string::npos) << err;
        const bool file = value[0] == '/';
        EXPECT_EQ(err.find("tracing to standard error") != std::string::npos, file) << err;
    }
    for (const char *name : {"STDERR", "Stderr", "1"}) EXPECT_NE(access(name, F_OK), 0) << name;
    trace::Configure(nullptr);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Trace, ReplyWaitIsReadAtEachOpenAndRefusedValuesSaySo) {
    struct {
        const char *value;
        bool tcp;
        double ms;   // the wait a silent reader then costs
        bool named;  // the value is refused in the trace
    } cases[] = {
        {"300", false, 300, false},
        {"250", true, 250, false},
        {"9", false, 2000, true},
        {"2s", true, 2000, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.value) + (c.tcp ? " tcp" : " serial"));
        trace::Configure(nullptr);
        unlink(file_.c_str());
        trace::Configure(file_.c_str());
        setenv("QV_REPLY_WAIT_MS", c.value, 1);
        std::unique_ptr<PtyPort> com;
        std::unique_ptr<TcpPeer> peer;
        if (c.tcp) {
            peer = std::make_unique<TcpPeer>();
            ASSERT_EQ(QV_TCPConnect("127.0.0.1", peer->port()), 1);
        } else {
            com = std::make_unique<PtyPort>(dir_, 1);
            ASSERT_EQ(QV_ComInitial(1, 19200), 1);
        }
        unsetenv("QV_REPLY_WAIT_MS");  // read at the open: changing it now changes nothing
        std::uint8_t buf[2];
        const double t0 = NowMs();
        EXPECT_EQ(QV_ReadRegister(1, 1, 1, buf), -1);
        const double ms = NowMs() - t0;
        EXPECT_EQ(errno, QV_E_NOREPLY);
        EXPECT_GE(ms, c.ms - 50);
        EXPECT_LT(ms, c.ms + 500);
        const auto lines = Lines();
        bool named = false;
        for (const std::string &l : lines) named = named || l.find("QV_REPLY_WAIT_MS=") != std::string::npos;
        EXPECT_EQ(named, c.named);
        EXPECT_NE(FailureLine().find("no reply within " + std::to_string(static_cast<int>(c.ms)) + " ms"),
                  std::string::npos);
        QV_ComFree();
        QV_TCPFree();
    }
}
