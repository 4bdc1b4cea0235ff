// read and write: holding registers by address.
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

std::string ReadHelp() {
    return R"(Usage: qvreader [options] read ADDRESS [COUNT]
Reads COUNT (1-)" +
           std::to_string(qvreg::kMaxReadCount) +
           R"(, default 1) holding registers from protocol address
ADDRESS. Numbers are decimal or hex (0x...). A decimal 40000-49999 names
register 40000 + N, as the demo does (40004 = address 4); write a protocol
address in that range in hex.
  qvreader --port COM1 read 40001
  qvreader --port COM1 read 4 4
)";
}

std::vector<std::string> Operands(const char *command, const Args &args) {
    Words w(command, args, {});
    std::vector<std::string> operands;
    while (w.Next()) operands.push_back(w.Operand());
    return operands;
}

void EndsInRange(const char *command, int address, std::size_t count) {
    if (address + static_cast<long>(count) - 1 > 65535)
        throw UsageError(std::string(command) + ": the registers end at address 65535");
}

int Read(Link &link, const Options &opt, const Args &args) {
    const std::vector<std::string> operands = Operands("read", args);
    if (operands.empty() || operands.size() > 2) throw UsageError("read: give ADDRESS [COUNT]");
    const int address = ParseAddress("read", operands[0]);
    unsigned long count = 1;
    if (operands.size() == 2 && (!ParseNumber(operands[1], qvreg::kMaxReadCount, count) || count < 1))
        throw UsageError("read: count '" + operands[1] + "' is not a number from 1 to " +
                         std::to_string(qvreg::kMaxReadCount));
    EndsInRange("read", address, count);
    const std::vector<std::uint16_t> v = link.Read(opt.station, address, static_cast<int>(count), "read");
    for (std::size_t i = 0; i < v.size(); ++i) {
        const int at = address + static_cast<int>(i);
        if (opt.json) {
            Emit(JsonObject().Num("address", at).Num("value", v[i]).Str("hex", Hex4(v[i])).Text());
        } else {
            std::string dec = std::to_string(v[i]);
            dec.insert(0, 5 - dec.size(), ' ');
            Emit(Column(RegisterName(at), "0x" + Hex4(v[i]) + "  " + dec, 8));
        }
    }
    return 0;
}

std::string WriteHelp() {
    return R"(Usage: qvreader [options] write ADDRESS VALUE...
Writes holding registers from ADDRESS on (numbered as for read): one value
with a single-register write, 2 to )" +
           std::to_string(qvreg::kMaxWriteCount) + R"( values with one block write. Values
0-65535, decimal or hex (0x...).
  qvreader --port COM1 write 40003 0x0611
  qvreader --port COM1 write 40004 0 0 0 0
)";
}

int Write(Link &link, const Options &opt, const Args &args) {
    const std::vector<std::string> operands = Operands("write", args);
    if (operands.size() < 2) throw UsageError("write: give ADDRESS VALUE...");
    const int address = ParseAddress("write", operands[0]);
    std::vector<std::uint16_t> values;
    for (std::size_t i = 1; i < operands.size(); ++i) {
        unsigned long n = 0;
        if (!ParseNumber(operands[i], 0xFFFF, n))
            throw UsageError("write: value '" + operands[i] + "' is not a number from 0 to 65535 (or 0xFFFF)");
        values.push_back(static_cast<std::uint16_t>(n));
    }
    if (values.size() > static_cast<std::size_t>(qvreg::kMaxWriteCount))
        throw UsageError("write: at most " + std::to_string(qvreg::kMaxWriteCount) + " values at once");
    EndsInRange("write", address, values.size());
    // One value goes as a single-register write, several as one block.
    if (values.size() == 1)
        link.Write(opt.station, address, values[0], "write");
    else
        link.WriteMany(opt.station, address, values, "write");
    std::string words, list;
    for (std::uint16_t v : values) {
        words += " 0x" + Hex4(v);
        list += (list.empty() ? "" : ",") + std::to_string(v);
    }
    const int lastAt = address + static_cast<int>(values.size()) - 1;
    if (opt.json)
        Emit(JsonObject().Num("address", address).Raw("values", "[" + list + "]").Text());
    else
        Emit((values.size() == 1 ? RegisterName(address) : RegisterName(address) + "-" + RegisterName(lastAt)) + " =" +
             words + " written");
    return 0;
}

}  // namespace

const Command kReadCommand = {"read", "ADDRESS [COUNT]: read holding registers", ReadHelp, Read};
const Command kWriteCommand = {"write", "ADDRESS VALUE...: write holding registers", WriteHelp, Write};

}  // namespace qvreader
