// The arrival queue's use of the pointer list: one thread appends while another takes the oldest
// entries, both under QueueLock. Run it under ThreadSanitizer (preset linux-tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ptrlist.h"

namespace {

TEST(PtrListThreads, ProducerAndConsumerKeepOrder) {
  const intptr_t kItems = 20000;
  PtrList queue;
  std::atomic<bool> done(false);
  std::vector<intptr_t> taken;

  std::thread consumer([&] {
    for (;;) {
      void* item = nullptr;
      bool empty;
      {
        QueueLock hold;
        empty = queue.Tail == nullptr;
        if (!empty) {
          queue.Cursor = queue.Tail->Next;
          item = queue.RemoveCurrent();
        }
      }
      if (!empty)
        taken.push_back(reinterpret_cast<intptr_t>(item));
      else if (done.load())
        break;
      else
        std::this_thread::yield();
    }
  });
  // The producer also walks the queue, as the duplicate check does, so the walk races with the
  // consumer's removals unless both hold the lock.
  size_t longest = 0;
  for (intptr_t i = 1; i <= kItems; ++i) {
    QueueLock hold;
    size_t seen = 0;
    if (queue.Tail) {
      queue.Cursor = queue.Tail->Next;
      for (;;) {
        ++seen;
        if (queue.Cursor == queue.Tail) break;
        queue.Cursor = queue.Cursor->Next;
      }
    }
    ASSERT_EQ(static_cast<LONG>(seen), queue.Count);
    if (seen > longest) longest = seen;
    if (queue.Tail) queue.Cursor = queue.Tail;
    ASSERT_EQ(queue.Add(reinterpret_cast<void*>(i)), 0);
  }
  done.store(true);
  consumer.join();

  ASSERT_EQ(static_cast<intptr_t>(taken.size()), kItems);
  for (intptr_t i = 0; i < kItems; ++i) ASSERT_EQ(taken[i], i + 1) << "at " << i;
  EXPECT_EQ(queue.Count, 0);
  EXPECT_EQ(queue.Tail, nullptr);
}

}  // namespace
