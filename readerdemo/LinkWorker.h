// The link to the reader, worked beside the window: one thread makes every
// library call of the program, one at a time and in the order asked, and
// hands each result back to the thread that owns the worker. A reader that
// does not answer then holds up this thread for the library's wait, never
// the window.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// What the library answered to one request.
struct TLinkResult {
    // The library's result; 0 when the request made no call.
    int result = 0;
    // Read: the 2 x count bytes of the registers; device information: the
    // whole block the program reserves for it.
    std::vector<unsigned char> data;
    // Whether the serial link this program opened was open when the request
    // came up: what the window's link-open flag says at that point of the
    // order, not at the moment of the click.
    bool wasOpen = false;
};

class TLinkWorker : public QObject {
    Q_OBJECT
public:
    // Runs on the owner's thread once the request has ended, in the order
    // the requests were made.
    using Reply = std::function<void(const TLinkResult &)>;

    explicit TLinkWorker(QObject *parent = nullptr);
    // Drops the requests that have not started and waits for the one that
    // runs (at most the library's wait); no reply is delivered any more.
    ~TLinkWorker() override;
    TLinkWorker(const TLinkWorker &) = delete;
    TLinkWorker &operator=(const TLinkWorker &) = delete;

    // QV_ComInitial(port, rate).
    void Open(int port, int rate, Reply reply);
    // QV_ComFree, only while the link opened here is open; wasOpen tells.
    void Close(Reply reply);
    // QV_ReadRegister into 2 x count bytes. A poll is no request of the
    // user's: it does not count in UserWaiting().
    void Read(int station, int address, int count, Reply reply, bool poll = false);
    // QV_WriteRegister.
    void Write(int station, int address, int value, Reply reply);
    // QV_WriteMultiRegister with data.size() / 2 registers.
    void WriteMulti(int station, int address, std::vector<unsigned char> data, Reply reply);
    // QV_GetDeviceInfo, only while the link opened here is open.
    void DeviceInfo(int station, Reply reply);
    // No call: only reports wasOpen at this point of the order.
    void LinkState(Reply reply);

    // Nothing asked for is still waiting for its reply.
    bool Idle() const { return FReplies.empty(); }
    // Requests of the user's (all but polls) still waiting for their reply.
    int UserWaiting() const { return FUserWaiting; }
    // A poll still waiting for its reply.
    bool PollWaiting() const { return FReplies.size() > static_cast<std::size_t>(FUserWaiting); }

signals:
    // UserWaiting() changed.
    void userWaitingChanged();

private:
    struct Request {
        enum class Op { Open, Close, Read, Write, WriteMulti, DeviceInfo, LinkState };
        Op op = Op::LinkState;
        int station = 0;
        int address = 0;  // the port number for Open
        int count = 0;
        int value = 0;  // the bit rate for Open
        std::vector<unsigned char> data;
    };
    struct Pending {
        Reply reply;
        bool user;
    };

    void Post(Request request, Reply reply, bool user = true);
    void Run();                             // the link's thread
    TLinkResult Execute(const Request &r);  // the link's thread
    void Deliver();                         // the owner's thread

    // Owner's thread only.
    std::deque<Pending> FReplies;
    int FUserWaiting = 0;

    // Shared with the link's thread, under FLock.
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<Request> FToDo;
    std::deque<TLinkResult> FDone;
    bool FStopping = false;

    // The link's thread only: the link opened by this program is open.
    bool FOpen = false;

    std::thread FThread;
};
