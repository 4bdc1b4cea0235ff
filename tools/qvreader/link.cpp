#include "link.h"

#include <cstdio>

#include "errors.h"
#include "platform.h"
#include "qvcodes.h"
#include "qvmodbusrtu.h"

namespace qvreader {

std::string ExceptionWords(int code) {
    const int exception = code - QV_E_EXCEPTION_BASE;
    char number[8];
    std::snprintf(number, sizeof number, "%02X", exception & 0xFF);
    const std::string name = qvcodes::ExceptionName(exception);
    return std::string("exception ") + number + (name.empty() ? "" : ", " + name);
}

std::string OutcomeWords(int code, bool serial) {
    if (code >= QV_E_EXCEPTION_BASE && code <= QV_E_EXCEPTION_BASE + 0xFF)
        return "the reader refused the request: " + ExceptionWords(code);
    switch (code) {
        case QV_E_LINKLOST:
            return serial ? "the line went away: adapter unplugged?" : "the connection was lost: reader off, or the network?";
        case QV_E_NOREPLY:
            return "no reply within 2 s";
        default: {
            const std::string meaning = qvcodes::Meaning(code);
            return meaning.empty() ? "failed (code " + std::to_string(code) + ")" : meaning;
        }
    }
}

void Link::Open(int baud) {
    if (!opt_.tcpHost.empty()) {
        const int r = QV_TCPConnect(opt_.tcpHost.c_str(), opt_.tcpPort);
        const int code = platform::LastCode();
        tcpOpen_ = true;  // QV_TCPFree also after a failed connect
        if (platform::Interrupted()) throw Interrupted();
        if (r != QV_OK) throw LinkError("cannot connect to " + Where() + ": " + platform::SystemMessage(code));
        return;
    }
    if (opt_.port.empty()) throw UsageError("no reader named: give --port PORT (see 'qvreader ports') or --tcp HOST");
    number_ = platform::PortNumber(opt_.port);
    std::string device;
    if (!number_) {
        if (!platform::DevicePathsSupported() || opt_.port.find('/') == std::string::npos)
            throw UsageError("--port '" + opt_.port + "' is not a port: give COMn, n (1-255)" +
                             (platform::DevicePathsSupported() ? " or a device path" : ""));
        device = opt_.port;
        number_ = platform::EnterDevice(device);
    }
    Reopen(baud ? baud : baud_);
}

void Link::Reopen(int baud) {
    baud_ = baud;
    const int r = QV_ComInitial(number_, baud);
    const int code = platform::LastCode();
    serialOpen_ = true;
    if (r == QV_OK) return;
    const bool path = !platform::PortNumber(opt_.port);
    throw LinkError("cannot open " + Where() + ": " + platform::WhyNotOpened(number_, path ? opt_.port : "", code));
}

void Link::Close() {
    if (serialOpen_) QV_ComFree();
    if (tcpOpen_) QV_TCPFree();
    serialOpen_ = tcpOpen_ = false;
    platform::LeaveDevice();
}

std::string Link::Where() const {
    if (!Serial()) return opt_.tcpHost + ":" + std::to_string(opt_.tcpPort);
    const int n = platform::PortNumber(opt_.port);
    const std::string name = n ? "COM" + std::to_string(n) : opt_.port;
    return name + " at " + std::to_string(baud_) + " bit/s";
}

void Link::Failed(int station, const std::string &what, int code) const {
    // A wait cut short by Ctrl-C is no fault of the reader's.
    if (platform::Interrupted()) throw Interrupted();
    throw Failure(what + ": " + OutcomeWords(code, Serial()) + " (station " + std::to_string(station) + ", " +
                      Where() + ")",
                  code == QV_E_NOREPLY && Serial() ? "'find' looks for the reader's rate and station" : "", code);
}

std::vector<std::uint16_t> Link::Read(int station, int address, int count, const std::string &what) {
    if (!IsOpen()) Open();
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
    if (platform::Interrupted()) throw Interrupted();
    return values;
}

void Link::Write(int station, int address, std::uint16_t value, const std::string &what) {
    if (!IsOpen()) Open();
    if (QV_WriteRegister(station, address, value) != QV_OK) Failed(station, what, platform::LastCode());
    if (platform::Interrupted()) throw Interrupted();
}

void Link::WriteMany(int station, int address, const std::vector<std::uint16_t> &values, const std::string &what) {
    if (!IsOpen()) Open();
    std::vector<unsigned char> buf;
    for (std::uint16_t v : values) {
        buf.push_back(static_cast<unsigned char>(v >> 8));
        buf.push_back(static_cast<unsigned char>(v & 0xFF));
    }
    if (QV_WriteMultiRegister(station, address, static_cast<int>(values.size()), buf.data()) != QV_OK)
        Failed(station, what, platform::LastCode());
    if (platform::Interrupted()) throw Interrupted();
}

std::vector<std::uint8_t> Link::Info(int station, const std::string &what) {
    if (!IsOpen()) Open();
    std::vector<std::uint8_t> buf(QV_DEVICE_INFO_SIZE, 0);
    const int r = QV_GetDeviceInfo(station, buf.data());
    if (r <= 0) Failed(station, what, platform::LastCode());
    buf.resize(static_cast<std::size_t>(r < QV_DEVICE_INFO_SIZE ? r : QV_DEVICE_INFO_SIZE));
    if (platform::Interrupted()) throw Interrupted();
    return buf;
}

}  // namespace qvreader
