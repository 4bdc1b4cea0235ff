#include "probe.h"

#include <cstdio>

#include "errors.h"
#include "qvmodbusrtu.h"
#include "qvregisters.h"

namespace qvreader {

std::vector<int> RatesToTry(int first) {
    std::vector<int> rates = {first};
    if (first != qvreg::kDefaultBaud) rates.push_back(qvreg::kDefaultBaud);
    for (int r : qvreg::kBaudRates)
        if (r != first && r != qvreg::kDefaultBaud) rates.push_back(r);
    return rates;
}

bool OpenAt(Link &link, int rate, bool &opened, const char *command) {
    try {
        if (opened)
            link.Reopen(rate);
        else
            link.Open(rate);
        opened = true;
        return true;
    } catch (const LinkError &) {
        if (!opened) throw;
        std::fprintf(stderr, "%s: %d bit/s: cannot set this rate on the port\n", command, rate);
        return false;
    }
}

Answer Ask(Link &link, int station, const char *command) {
    try {
        return {Answer::kReader, link.ReadOne(station, qvreg::kBaudStation, command), 0};
    } catch (const Failure &e) {
        if (e.code == QV_E_LINKLOST || e.code == QV_E_NOLINK) throw;
        if (IsException(e.code)) return {Answer::kRefusal, 0, e.code};
        if (e.code == QV_E_NOREPLY) return {Answer::kNothing, 0, e.code};
        return {Answer::kGarbled, 0, e.code};  // CRC, cut short, another function: something is there
    }
}

}  // namespace qvreader
