// The link's thread: the only place in the program that calls the library.
#include "LinkWorker.h"

#include <utility>

#include "qvmodbusrtu.h"
#include "qvregisters.h"

TLinkWorker::TLinkWorker(QObject *parent) : QObject(parent) {
    FThread = std::thread([this] { Run(); });
}

TLinkWorker::~TLinkWorker() {
    {
        const std::lock_guard<std::mutex> hold(FLock);
        FStopping = true;
        FToDo.clear();
    }
    FWake.notify_all();
    FThread.join();
    // Results posted before the stop are dropped with this object's events.
}

void TLinkWorker::Open(int port, int rate, Reply reply) {
    Request r;
    r.op = Request::Op::Open;
    r.address = port;
    r.value = rate;
    Post(std::move(r), std::move(reply));
}

void TLinkWorker::Close(Reply reply) {
    Request r;
    r.op = Request::Op::Close;
    Post(std::move(r), std::move(reply));
}

void TLinkWorker::Read(int station, int address, int count, Reply reply, bool poll) {
    Request r;
    r.op = Request::Op::Read;
    r.station = station;
    r.address = address;
    r.count = count;
    Post(std::move(r), std::move(reply), !poll);
}

void TLinkWorker::Write(int station, int address, int value, Reply reply) {
    Request r;
    r.op = Request::Op::Write;
    r.station = station;
    r.address = address;
    r.value = value;
    Post(std::move(r), std::move(reply));
}

void TLinkWorker::WriteMulti(int station, int address, std::vector<unsigned char> data, Reply reply) {
    Request r;
    r.op = Request::Op::WriteMulti;
    r.station = station;
    r.address = address;
    r.count = static_cast<int>(data.size() / 2);
    r.data = std::move(data);
    Post(std::move(r), std::move(reply));
}

void TLinkWorker::DeviceInfo(int station, Reply reply) {
    Request r;
    r.op = Request::Op::DeviceInfo;
    r.station = station;
    Post(std::move(r), std::move(reply));
}

void TLinkWorker::LinkState(Reply reply) {
    Post(Request(), std::move(reply));
}

void TLinkWorker::Post(Request request, Reply reply, bool user) {
    FReplies.push_back({std::move(reply), user});
    {
        const std::lock_guard<std::mutex> hold(FLock);
        FToDo.push_back(std::move(request));
    }
    FWake.notify_one();
    if (user) {
        ++FUserWaiting;
        emit userWaitingChanged();
    }
}

void TLinkWorker::Run() {
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> hold(FLock);
            FWake.wait(hold, [this] { return FStopping || !FToDo.empty(); });
            if (FStopping) return;
            request = std::move(FToDo.front());
            FToDo.pop_front();
        }
        TLinkResult result = Execute(request);
        {
            const std::lock_guard<std::mutex> hold(FLock);
            if (FStopping) return;
            FDone.push_back(std::move(result));
        }
        // The owner cannot be gone yet: its destructor waits for this thread.
        QMetaObject::invokeMethod(
            this, [this] { Deliver(); }, Qt::QueuedConnection);
    }
}

TLinkResult TLinkWorker::Execute(const Request &r) {
    TLinkResult out;
    out.wasOpen = FOpen;
    switch (r.op) {
        case Request::Op::Open:
            // Opening replaces the serial link whatever its state.
            FOpen = false;
            out.result = QV_ComInitial(r.address, r.value);
            FOpen = out.result > 0;
            break;
        case Request::Op::Close:
            if (!FOpen) break;
            out.result = QV_ComFree();
            FOpen = false;
            break;
        case Request::Op::Read:
            out.data.assign(static_cast<size_t>(2 * r.count), 0);
            out.result = QV_ReadRegister(r.station, r.address, r.count, out.data.data());
            break;
        case Request::Op::Write:
            out.result = QV_WriteRegister(r.station, r.address, r.value);
            break;
        case Request::Op::WriteMulti:
            out.result = QV_WriteMultiRegister(r.station, r.address, r.count, r.data.data());
            break;
        case Request::Op::DeviceInfo:
            if (!FOpen) break;
            out.data.assign(qvreg::kInfoReserved, 0);
            out.result = QV_GetDeviceInfo(r.station, out.data.data());
            break;
        case Request::Op::LinkState:
            break;
    }
    return out;
}

void TLinkWorker::Deliver() {
    TLinkResult result;
    {
        const std::lock_guard<std::mutex> hold(FLock);
        if (FDone.empty()) return;
        result = std::move(FDone.front());
        FDone.pop_front();
    }
    // Taken off the list before it runs, so a reply may make new requests.
    Pending done = std::move(FReplies.front());
    FReplies.pop_front();
    if (done.user) --FUserWaiting;
    if (done.reply) done.reply(result);
    if (done.user) emit userWaitingChanged();
}
