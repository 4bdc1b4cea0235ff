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

void TLinkWorker::QueueOpen(int port, int rate, Reply reply) {
    Queue(
        [this, port, rate](TLinkResult &out) {
            // Opening replaces the serial link whatever its state.
            FOpen = false;
            out.result = QV_ComInitial(port, rate);
            FOpen = out.ok();
        },
        std::move(reply));
}

void TLinkWorker::QueueClose(Reply reply) {
    Queue(
        [this](TLinkResult &out) {
            if (!FOpen) return;
            out.result = QV_ComFree();
            FOpen = false;
        },
        std::move(reply));
}

void TLinkWorker::QueueRead(int station, int address, int count, Reply reply, Asker asker) {
    Queue(
        [station, address, count](TLinkResult &out) {
            const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
            std::vector<unsigned char> bytes(2 * n, 0);
            out.result = QV_ReadRegister(station, address, count, bytes.data());
            out.words.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                out.words[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        },
        std::move(reply), asker);
}

void TLinkWorker::QueueWrite(int station, int address, int value, Reply reply) {
    Queue([station, address, value](TLinkResult &out) { out.result = QV_WriteRegister(station, address, value); },
          std::move(reply));
}

void TLinkWorker::QueueWriteWords(int station, int address, std::vector<std::uint16_t> words, Reply reply) {
    Queue(
        [station, address, words = std::move(words)](TLinkResult &out) {
            std::vector<unsigned char> bytes;
            bytes.reserve(2 * words.size());
            for (std::uint16_t w : words) {
                bytes.push_back(static_cast<unsigned char>(w >> 8));
                bytes.push_back(static_cast<unsigned char>(w));
            }
            out.result = QV_WriteMultiRegister(station, address, static_cast<int>(words.size()), bytes.data());
        },
        std::move(reply));
}

void TLinkWorker::QueueDeviceInfo(int station, Reply reply) {
    Queue(
        [this, station](TLinkResult &out) {
            if (!FOpen) return;
            out.info.assign(qvreg::kInfoReserved, 0);
            out.result = QV_GetDeviceInfo(station, out.info.data());
        },
        std::move(reply));
}

void TLinkWorker::QueueLinkState(Reply reply) {
    Queue([](TLinkResult &) {}, std::move(reply));
}

void TLinkWorker::Queue(Call call, Reply reply, Asker asker) {
    FReplies.push_back({std::move(reply), asker});
    {
        const std::lock_guard<std::mutex> hold(FLock);
        FToDo.push_back(std::move(call));
    }
    FWake.notify_one();
    if (asker == Asker::User) {
        ++FUserWaiting;
        emit userWaitingChanged();
    }
}

void TLinkWorker::Run() {
    for (;;) {
        Call call;
        {
            std::unique_lock<std::mutex> hold(FLock);
            FWake.wait(hold, [this] { return FStopping || !FToDo.empty(); });
            if (FStopping) return;
            call = std::move(FToDo.front());
            FToDo.pop_front();
        }
        TLinkResult result;
        result.wasOpen = FOpen;
        call(result);
        {
            // Checked again so that nothing is posted once the owner stops.
            const std::lock_guard<std::mutex> hold(FLock);
            if (FStopping) return;
        }
        // The owner cannot be gone yet: its destructor waits for this thread.
        // One thread posting to one object: the results arrive in order.
        QMetaObject::invokeMethod(
            this, [this, result = std::move(result)] { Deliver(result); }, Qt::QueuedConnection);
    }
}

void TLinkWorker::Deliver(const TLinkResult &result) {
    // Taken off the list before it runs, so a reply may make new requests.
    Pending done = std::move(FReplies.front());
    FReplies.pop_front();
    const bool user = done.asker == Asker::User;
    if (user) --FUserWaiting;
    if (done.reply) done.reply(result);
    if (user) emit userWaitingChanged();
}
