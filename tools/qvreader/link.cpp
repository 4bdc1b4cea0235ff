#include "link.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "errors.h"
#include "platform.h"
#include "qvcodes.h"
#include "qvmodbusrtu.h"
#include "serialports.h"

namespace qvreader {

namespace {

// The port a -p value names: "COM3", "com3", "\\.\COM3", or the number alone.
int PortNumberOf(const std::string &text) {
    if (!text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos)
        return text[0] == '0' ? 0 : std::atoi(text.c_str());
    return serialports::PortNumber(text);
}

const char kReplyWait[] = "QV_REPLY_WAIT_MS";

// The library's reply wait as it reads it at each open: "2 s", "300 ms".
std::string ReplyWaitText() {
    const char *text = std::getenv(kReplyWait);
    char *end = nullptr;
    long ms = text && *text ? std::strtol(text, &end, 10) : 0;
    if (!text || !*text || *end || ms < 10 || ms > 60000) ms = 2000;
    return ms % 1000 ? std::to_string(ms) + " ms" : std::to_string(ms / 1000) + " s";
}

}  // namespace

bool IsException(int code) {
    return code >= QV_E_EXCEPTION_BASE && code <= QV_E_EXCEPTION_BASE + 0xFF;
}

std::string ExceptionWords(int code) {
    const int exception = code - QV_E_EXCEPTION_BASE;
    char number[8];
    std::snprintf(number, sizeof number, "%02X", exception & 0xFF);
    const std::string name = qvcodes::ExceptionName(exception);
    return std::string("exception ") + number + (name.empty() ? "" : ", " + name);
}

std::string OutcomeWords(int code, bool serial) {
    if (IsException(code)) return "the reader refused the request: " + ExceptionWords(code);
    switch (code) {
        case QV_E_LINKLOST:
            return serial ? "the line went away: adapter unplugged?"
                          : "the connection was lost: reader off, or the network?";
        case QV_E_NOREPLY:
            return "no reply within " + ReplyWaitText();
        default: {
            const std::string meaning = qvcodes::Meaning(code);
            return meaning.empty() ? "failed (code " + std::to_string(code) + ")" : meaning;
        }
    }
}

void Link::Open(int baud) {
    if (!opt_.tcpHost.empty()) return Connect();
    if (opt_.port.empty()) throw UsageError("no reader named: give --port PORT (see 'qvreader ports') or --tcp HOST");
    number_ = PortNumberOf(opt_.port);
    if (!number_) {
        if (!platform::DevicePathsSupported() || opt_.port.find('/') == std::string::npos)
            throw UsageError("--port '" + opt_.port + "' is not a port: give COMn or n" +
                             (platform::DevicePathsSupported() ? ", or a device path" : ""));
        number_ = platform::EnterDevice(opt_.port);
    }
    Reopen(baud ? baud : baud_);
}

// The system's connect can take minutes to give up on a host that never
// answers; Ctrl-C must not have to wait for it. The connect runs on a thread
// of its own, and an interrupt ends the program at once.
void Link::Connect() {
    struct Attempt {
        std::atomic<bool> done{false};
        int result = 0, code = 0;
    };
    auto attempt = std::make_shared<Attempt>();
    const std::string host = opt_.tcpHost;
    const int port = opt_.tcpPort;
    tcpOpen_ = true;  // QV_TCPFree also after a failed connect
    std::thread([attempt, host, port] {
        attempt->result = QV_TCPConnect(host.c_str(), port);
        attempt->code = platform::LastCode();
        attempt->done = true;
    }).detach();
    while (!attempt->done) {
        if (platform::Interrupted()) {
            std::fprintf(stderr, "qvreader: interrupted while connecting to %s\n", Where().c_str());
            std::fflush(nullptr);
            std::_Exit(130);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (attempt->result != QV_OK)
        throw LinkError("cannot connect to " + Where() + ": " + platform::SystemMessage(attempt->code));
}

void Link::Reopen(int baud) {
    baud_ = baud;
    // What the name stands for now: an adapter plugged in again may be another device.
    device_ = PortNumberOf(opt_.port) ? platform::DeviceOf(number_) : "";
    const int r = QV_ComInitial(number_, baud);
    const int code = platform::LastCode();
    serialOpen_ = true;
    if (r == QV_OK) return;
    const bool path = !PortNumberOf(opt_.port);
    throw LinkError("cannot open " + Where() + ": " + platform::WhyNotOpened(number_, path ? opt_.port : "", code));
}

void Link::Reconnect() {
    if (Serial() && number_)
        Reopen(baud_);
    else if (!Serial())
        Connect();
    else
        Open();
}

void Link::SetReplyWait(int ms) {
    static const std::string users = std::getenv(kReplyWait) ? std::getenv(kReplyWait) : "";
    platform::SetEnv(kReplyWait, ms ? std::to_string(ms).c_str() : users.c_str());
    if (IsOpen()) Reconnect();
}

void Link::Close() {
    if (serialOpen_) QV_ComFree();
    if (tcpOpen_) QV_TCPFree();
    serialOpen_ = tcpOpen_ = false;
    platform::LeaveDevice();
}

std::string Link::Where() const {
    if (!Serial()) return opt_.tcpHost + ":" + std::to_string(opt_.tcpPort);
    const int n = PortNumberOf(opt_.port);
    const std::string name = n ? serialports::PortName(n) : opt_.port;
    return name + (device_.empty() ? "" : " (" + device_ + ")") + " at " + std::to_string(baud_) + " bit/s";
}

void Link::Failed(int station, const std::string &what, int code) const {
    // A wait cut short by Ctrl-C is no fault of the reader's.
    if (platform::Interrupted()) throw Interrupted();
    throw Failure(
        what + ": " + OutcomeWords(code, Serial()) + " (station " + std::to_string(station) + ", " + Where() + ")",
        code == QV_E_NOREPLY && Serial() ? "'find' looks for the reader's rate and station" : "", code);
}

void Link::After() const {
    if (platform::Interrupted()) throw Interrupted();
}

std::vector<std::uint16_t> Link::Read(int station, int address, int count, const std::string &what) {
    Before();
    std::vector<unsigned char> buf(static_cast<std::size_t>(2 * count), 0);
    const int r = QV_ReadRegister(station, address, count, buf.data());
    if (r <= 0) Failed(station, what, platform::LastCode());
    if (r != 2 * count)
        throw Failure(what + ": the reply holds " + std::to_string(r) + " bytes instead of " +
                      std::to_string(2 * count));
    std::vector<std::uint16_t> values;
    for (int i = 0; i < count; ++i)
        values.push_back(static_cast<std::uint16_t>(buf[static_cast<std::size_t>(2 * i)] << 8 |
                                                    buf[static_cast<std::size_t>(2 * i + 1)]));
    After();
    return values;
}

void Link::Write(int station, int address, std::uint16_t value, const std::string &what) {
    Before();
    if (QV_WriteRegister(station, address, value) != QV_OK) Failed(station, what, platform::LastCode());
    After();
}

void Link::WriteMany(int station, int address, const std::vector<std::uint16_t> &values, const std::string &what) {
    Before();
    std::vector<unsigned char> buf;
    for (std::uint16_t v : values) {
        buf.push_back(static_cast<unsigned char>(v >> 8));
        buf.push_back(static_cast<unsigned char>(v & 0xFF));
    }
    if (QV_WriteMultiRegister(station, address, static_cast<int>(values.size()), buf.data()) != QV_OK)
        Failed(station, what, platform::LastCode());
    After();
}

std::vector<std::uint8_t> Link::Info(int station, const std::string &what) {
    Before();
    std::vector<std::uint8_t> buf(QV_DEVICE_INFO_SIZE, 0);
    const int r = QV_GetDeviceInfo(station, buf.data());
    if (r <= 0) Failed(station, what, platform::LastCode());
    buf.resize(static_cast<std::size_t>(r < QV_DEVICE_INFO_SIZE ? r : QV_DEVICE_INFO_SIZE));
    After();
    return buf;
}

}  // namespace qvreader
