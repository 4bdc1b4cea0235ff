// Words for the failure codes of qvmodbusrtu.h (QV_E_*) and for Modbus
// exception codes: one table for the library's trace and the tools.
#pragma once

#include "qvmodbusrtu.h"

namespace qvcodes {

// "illegal data address" for 2; "" for a code Modbus does not name.
inline const char *ExceptionName(int code) {
    switch (code) {
        case 1:
            return "illegal function";
        case 2:
            return "illegal data address";
        case 3:
            return "illegal data value";
        case 4:
            return "server device failure";
        case 5:
            return "acknowledge";
        case 6:
            return "server device busy";
        case 8:
            return "memory parity error";
        case 10:
            return "gateway path unavailable";
        case 11:
            return "gateway target device failed to respond";
        default:
            return "";
    }
}

// Whether code is a failure code of the library (an exception reply's too).
inline bool IsFailureCode(long code) {
    return (code >= QV_E_NOLINK && code <= QV_E_NODATA) ||
           (code >= QV_E_EXCEPTION_BASE && code <= QV_E_EXCEPTION_BASE + 0xFF);
}

// The code's name as the header spells it ("QV_E_NOREPLY"); exception replies
// all answer "QV_E_EXCEPTION_BASE"; "" for any other code.
inline const char *Name(long code) {
    switch (code) {
        case QV_E_NOLINK:
            return "QV_E_NOLINK";
        case QV_E_ARGUMENT:
            return "QV_E_ARGUMENT";
        case QV_E_SEND:
            return "QV_E_SEND";
        case QV_E_NOREPLY:
            return "QV_E_NOREPLY";
        case QV_E_LINKLOST:
            return "QV_E_LINKLOST";
        case QV_E_INCOMPLETE:
            return "QV_E_INCOMPLETE";
        case QV_E_CRC:
            return "QV_E_CRC";
        case QV_E_FUNCTION:
            return "QV_E_FUNCTION";
        case QV_E_NODATA:
            return "QV_E_NODATA";
        default:
            return IsFailureCode(code) ? "QV_E_EXCEPTION_BASE" : "";
    }
}

// What a failure code means, for people: "no reply within the wait".
// Exception replies say only "the reader refused the request"; their code
// and ExceptionName tell more.
inline const char *Meaning(long code) {
    switch (code) {
        case QV_E_NOLINK:
            return "no link is open";
        case QV_E_ARGUMENT:
            return "an argument was refused; nothing was sent";
        case QV_E_SEND:
            return "the request could not be sent";
        case QV_E_NOREPLY:
            return "no reply within the wait";
        case QV_E_LINKLOST:
            return "the line went away";
        case QV_E_INCOMPLETE:
            return "the reply stopped short";
        case QV_E_CRC:
            return "the reply failed its check (CRC; on TCP its length field)";
        case QV_E_FUNCTION:
            return "a reply of another function came back";
        case QV_E_NODATA:
            return "the reply carries no data";
        default:
            return IsFailureCode(code) ? "the reader refused the request" : "";
    }
}

}  // namespace qvcodes
