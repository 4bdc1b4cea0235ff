// The link to the reader, worked beside the window: one thread makes every
// library call of the program, one at a time and in the order asked, and
// hands each result back to the thread that owns the worker. A reader that
// does not answer then holds up this thread for the library's wait, never
// the window.
#pragma once

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// What the library answered to one request.
struct TLinkResult {
    // The library's result; 0 when the request made no call.
    int result = 0;
    // Read: the registers' values, as many as asked for (zeros after a failure).
    std::vector<std::uint16_t> words;
    // Device information: the whole block the program reserves for it.
    std::vector<unsigned char> info;
    // Whether the serial link this program opened was open when the request
    // came up: what the window's link-open flag says at that point of the
    // order, not at the moment of the click.
    bool wasOpen = false;

    bool ok() const { return result > 0; }
};

class TLinkWorker : public QObject {
    Q_OBJECT
public:
    // Runs on the owner's thread once the request has ended, in the order
    // the requests were made.
    using Reply = std::function<void(const TLinkResult &)>;
    // Whose request it is: a poll is no request of the user's and does not
    // count in UserWaiting().
    enum class Asker { User, Poll };

    explicit TLinkWorker(QObject *parent = nullptr);
    // Drops the requests that have not started and waits for the one that
    // runs (at most the library's wait); no reply is delivered any more.
    ~TLinkWorker() override;
    TLinkWorker(const TLinkWorker &) = delete;
    TLinkWorker &operator=(const TLinkWorker &) = delete;

    // Each Queue… puts one request behind those asked before and returns at
    // once; its arguments are taken now.
    // QV_ComInitial(port, rate).
    void QueueOpen(int port, int rate, Reply reply);
    // QV_ComFree, only while the link opened here is open; wasOpen tells.
    void QueueClose(Reply reply);
    // QV_ReadRegister of count registers.
    void QueueRead(int station, int address, int count, Reply reply, Asker asker = Asker::User);
    // QV_WriteRegister.
    void QueueWrite(int station, int address, int value, Reply reply);
    // QV_WriteMultiRegister of words.size() registers.
    void QueueWriteWords(int station, int address, std::vector<std::uint16_t> words, Reply reply);
    // QV_GetDeviceInfo, only while the link opened here is open.
    void QueueDeviceInfo(int station, Reply reply);
    // No call: only reports wasOpen at this point of the order.
    void QueueLinkState(Reply reply);

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
    // What one request does on the link's thread, into a result whose
    // wasOpen is already set.
    using Call = std::function<void(TLinkResult &)>;
    struct Pending {
        Reply reply;
        Asker asker;
    };

    void Queue(Call call, Reply reply, Asker asker = Asker::User);
    void Run();                               // the link's thread
    void Deliver(const TLinkResult &result);  // the owner's thread

    // Owner's thread only.
    std::deque<Pending> FReplies;
    int FUserWaiting = 0;

    // Shared with the link's thread, under FLock.
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<Call> FToDo;
    bool FStopping = false;

    // The link's thread only: the link opened by this program is open.
    bool FOpen = false;

    std::thread FThread;
};
