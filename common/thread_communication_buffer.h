// A Queue with two counting semaphores: Send can wait for room and Receive
// can wait for an element, or either can be told not to wait.
#pragma once

#include <vector>

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
    int Send(const T& element, int wait) { return SendWithin(element, wait ? platform::kWaitForever : 0); }

    // 1 when an element was taken; 0 when wait is 0 and the buffer is empty.
    int Receive(T& element, int wait) { return ReceiveWithin(element, wait ? platform::kWaitForever : 0); }

    // Like a waiting Send, but gives up after the time: 0 then, nothing stored.
    // Lets a producer notice a stop request while the buffer stays full.
    // With 0 it only looks for a free slot, without touching the queue's lock.
    int SendWithin(const T& element, int milliseconds) {
        if (!freeSlots_.Wait(milliseconds)) {
            if (milliseconds < 0) platform::Fatal("Error at CThreadCommunicationBuffer Send");
            return 0;
        }
        queue_.Post(element);
        if (!usedSlots_.Release()) platform::Fatal("Error at CThreadCommunicationBuffer Send");
        return 1;
    }

    // Sends elements[first] up to elements[first + n - 1] in order, waiting
    // up to the time for room for each, and tells the receiver about them
    // together: one wake-up for the lot instead of one each. How many were
    // stored (fewer when room did not come in time).
    int SendManyWithin(const std::vector<T>& elements, int first, int n, int milliseconds) {
        int pending = 0;
        int sent = 0;
        for (; sent < n; ++sent) {
            if (!freeSlots_.Wait(0)) {
                // Full: what is stored but not yet told must be seen first,
                // or the receiver could never make room.
                Publish(pending);
                if (!freeSlots_.Wait(milliseconds)) {
                    if (milliseconds < 0) platform::Fatal("Error at CThreadCommunicationBuffer Send");
                    break;
                }
            }
            queue_.Post(elements[static_cast<std::size_t>(first + sent)]);
            ++pending;
        }
        Publish(pending);
        return sent;
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

    // Takes every element there is, up to most, into the first of the
    // caller's (in order) with one round on the queue's lock; how many. With
    // wait it waits for the first without limit, otherwise 0 when empty.
    int ReceiveAll(std::vector<T>& elements, int most, int wait) {
        if (most <= 0) return 0;
        int n = 0;
        if (wait) {
            if (!usedSlots_.Wait(platform::kWaitForever)) platform::Fatal("Error at CThreadCommunicationBuffer Receive");
            n = 1 + usedSlots_.TakeUpTo(most - 1);
        } else {
            n = usedSlots_.TakeUpTo(most);
            if (n == 0) return 0;
        }
        if (queue_.PopMany(elements, n) != n || !freeSlots_.Release(n)) platform::Fatal("Error at CThreadCommunicationBuffer Receive");
        return n;
    }

    // Empties the buffer as a new one is. Only while no other thread uses it.
    void Reset() {
        queue_.Reset();
        freeSlots_.Renew(bufferCapacity_ - 1, bufferCapacity_ - 1);
        usedSlots_.Renew(0, bufferCapacity_ - 1);
    }

    int GetSize() { return queue_.GetSize(); }
    // Elements a non-waiting Send would still store, read without a lock. While
    // a Receive is under way it may count that element's slot as still taken.
    int FreeSlots() const { return freeSlots_.Count(); }
    int Capacity() const { return bufferCapacity_; }

private:
    void Publish(int& pending) {
        if (pending > 0 && !usedSlots_.Release(pending)) platform::Fatal("Error at CThreadCommunicationBuffer Send");
        pending = 0;
    }

    Queue<T> queue_;
    int bufferCapacity_;
    platform::Semaphore freeSlots_;
    platform::Semaphore usedSlots_;
};
