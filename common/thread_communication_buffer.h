// A Queue with two counting semaphores: Send can wait for room and Receive
// can wait for an element, or either can be told not to wait.
#pragma once

#include "common/queue.h"
#include "platform/message_box.h"
#include "platform/sync.h"

template <typename T>
class CThreadCommunicationBuffer {
public:
    explicit CThreadCommunicationBuffer(int capacity)
        : queue_(capacity),
          bufferCapacity_(queue_.Capacity()),
          freeSlots_(bufferCapacity_ - 1, bufferCapacity_ - 1),
          usedSlots_(0, bufferCapacity_ - 1) {}
    CThreadCommunicationBuffer(const CThreadCommunicationBuffer&) = delete;
    CThreadCommunicationBuffer& operator=(const CThreadCommunicationBuffer&) = delete;

    // 1 when stored; 0 when wait is 0 and the buffer is full.
    int Send(const T& element, int wait) {
        if (!wait && queue_.GetSize() == bufferCapacity_ - 1) return 0;
        return SendWithin(element, platform::kWaitForever);
    }

    // 1 when an element was taken; 0 when wait is 0 and the buffer is empty.
    int Receive(T& element, int wait) {
        if (!wait && queue_.GetSize() == 0) return 0;
        return ReceiveWithin(element, platform::kWaitForever);
    }

    // Like a waiting Send, but gives up after the time: 0 then, nothing stored.
    // Lets a producer notice a stop request while the buffer stays full.
    int SendWithin(const T& element, int milliseconds) {
        if (!freeSlots_.Wait(milliseconds)) {
            if (milliseconds < 0) platform::Fatal("Error at CThreadCommunicationBuffer Send");
            return 0;
        }
        queue_.Post(element);
        if (!usedSlots_.Release()) platform::Fatal("Error at CThreadCommunicationBuffer Send");
        return 1;
    }

    // Like a waiting Receive, but gives up after the time: 0 then.
    int ReceiveWithin(T& element, int milliseconds) {
        if (!usedSlots_.Wait(milliseconds)) {
            if (milliseconds < 0) platform::Fatal("Error at CThreadCommunicationBuffer Receive");
            return 0;
        }
        if (!queue_.Pop(element)) platform::Fatal("Error at CThreadCommunicationBuffer Receive");
        if (!freeSlots_.Release()) platform::Fatal("Error at CThreadCommunicationBuffer Receive");
        return 1;
    }

    // Empties the buffer as a new one is. Only while no other thread uses it.
    void Reset() {
        queue_.Reset();
        freeSlots_.Renew(bufferCapacity_ - 1, bufferCapacity_ - 1);
        usedSlots_.Renew(0, bufferCapacity_ - 1);
    }

    int GetSize() { return queue_.GetSize(); }
    int Capacity() const { return bufferCapacity_; }

private:
    Queue<T> queue_;
    int bufferCapacity_;
    platform::Semaphore freeSlots_;
    platform::Semaphore usedSlots_;
};
