// The pointer list: its ring and cursor after each operation, the two queue patterns, and the
// re-entrant process-wide lock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "ptrlist.h"

namespace {

// Checks that the ring is closed both ways with Count nodes, and returns the items from the
// oldest to the newest.
std::vector<void*> Items(const PtrList& list) {
  std::vector<void*> items;
  if (!list.Tail) {
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(list.Cursor, nullptr);
    return items;
  }
  const PtrNode* node = list.Tail->Next;
  for (LONG i = 0; i < list.Count; ++i) {
    EXPECT_EQ(node->Next->Prev, node) << "node " << i;
    items.push_back(node->Item);
    if (node == list.Tail) break;
    node = node->Next;
  }
  EXPECT_EQ(node, list.Tail) << "Count doesn't match the ring";
  EXPECT_EQ(static_cast<LONG>(items.size()), list.Count);
  return items;
}

void Append(PtrList& list, void* item) {
  if (list.Tail) list.Cursor = list.Tail;
  ASSERT_EQ(list.Add(item), 0);
}

void* TakeOldest(PtrList& list) {
  if (list.Tail) list.Cursor = list.Tail->Next;
  return list.RemoveCurrent();
}

int a = 1, b = 2, c = 3, d = 4;

TEST(PtrList, EmptyList) {
  PtrList list;
  EXPECT_EQ(list.Tail, nullptr);
  EXPECT_EQ(list.Cursor, nullptr);
  EXPECT_EQ(list.Count, 0);
  EXPECT_FALSE(list.OwnsItems);
  EXPECT_EQ(list.Current(), nullptr);
  EXPECT_EQ(list.RemoveCurrent(), nullptr);
  EXPECT_EQ(list.Count, 0);
  list.Clear();
  EXPECT_EQ(Items(list), std::vector<void*>{});
}

TEST(PtrList, FirstNodeLinksToItself) {
  PtrList list;
  ASSERT_EQ(list.Add(&a), 0);
  ASSERT_NE(list.Tail, nullptr);
  EXPECT_EQ(list.Tail->Next, list.Tail);
  EXPECT_EQ(list.Tail->Prev, list.Tail);
  EXPECT_EQ(list.Cursor, list.Tail);
  EXPECT_EQ(list.Count, 1);
  EXPECT_EQ(list.Current(), &a);
}

TEST(PtrList, AppendAndTakeOldestIsFirstInFirstOut) {
  PtrList list;
  Append(list, &a);
  Append(list, &b);
  Append(list, &c);
  EXPECT_EQ(Items(list), (std::vector<void*>{&a, &b, &c}));
  EXPECT_EQ(list.Current(), &c);
  EXPECT_EQ(TakeOldest(list), &a);
  EXPECT_EQ(list.Current(), &b) << "the node after the removed one becomes Cursor";
  Append(list, &d);
  EXPECT_EQ(TakeOldest(list), &b);
  EXPECT_EQ(TakeOldest(list), &c);
  EXPECT_EQ(TakeOldest(list), &d);
  EXPECT_EQ(Items(list), std::vector<void*>{});
  EXPECT_EQ(TakeOldest(list), nullptr);
}

TEST(PtrList, AddInsertsAfterCursor) {
  PtrList list;
  Append(list, &a);
  Append(list, &c);
  list.Cursor = list.Tail->Next;  // at a
  ASSERT_EQ(list.Add(&b), 0);
  EXPECT_EQ(list.Current(), &b);
  EXPECT_EQ(list.Tail->Item, &c) << "Tail moves only when Cursor was Tail";
  EXPECT_EQ(Items(list), (std::vector<void*>{&a, &b, &c}));

  // A Cursor left null on a non-empty list appends.
  list.Cursor = nullptr;
  ASSERT_EQ(list.Add(&d), 0);
  EXPECT_EQ(list.Tail->Item, &d);
  EXPECT_EQ(Items(list), (std::vector<void*>{&a, &b, &c, &d}));
}

TEST(PtrList, RemoveCurrentMovesTailAndCursor) {
  struct Case {
    const char* name;
    int at;  // position of Cursor, 0 = oldest
    std::vector<void*> left;
    void* tail;
    void* cursor;
  } cases[] = {
      {"tail of three", 2, {&a, &b}, &b, &b},
      {"middle", 1, {&a, &c}, &c, &c},
      {"oldest", 0, {&b, &c}, &c, &b},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    PtrList list;
    Append(list, &a);
    Append(list, &b);
    Append(list, &c);
    list.Cursor = list.Tail->Next;
    for (int i = 0; i < k.at; ++i) list.Cursor = list.Cursor->Next;
    void* removed = list.Cursor->Item;
    EXPECT_EQ(list.RemoveCurrent(), removed);
    EXPECT_EQ(Items(list), k.left);
    EXPECT_EQ(list.Tail->Item, k.tail);
    EXPECT_EQ(list.Current(), k.cursor);
  }

  PtrList one;
  ASSERT_EQ(one.Add(&a), 0);
  EXPECT_EQ(one.RemoveCurrent(), &a);
  EXPECT_EQ(Items(one), std::vector<void*>{});
}

// Nodes go with the list; items only when the list owns them (ASan reports a stray free of the
// ints here, LeakSanitizer an owned item left behind).
TEST(PtrList, DestructionAndClear) {
  {
    PtrList list;
    Append(list, &a);
    Append(list, &b);
    list.Clear();
    EXPECT_EQ(Items(list), std::vector<void*>{});
    Append(list, &c);
    EXPECT_EQ(Items(list), std::vector<void*>{&c});
  }
  EXPECT_EQ(a + b + c, 6);
  {
    PtrList list;
    list.OwnsItems = true;
    Append(list, malloc(16));
    Append(list, nullptr);
    Append(list, malloc(16));
  }
}

// A holder of QueueLock may change lists: Add and RemoveCurrent enter the lock again.
TEST(PtrList, LockIsReentrant) {
  PtrList list;
  {
    QueueLock outer;
    QueueLock inner;
    Append(list, &a);
    Append(list, &b);
    EXPECT_EQ(TakeOldest(list), &a);
  }
  QueueLock::Enter();
  Append(list, &c);
  QueueLock::Leave();
  EXPECT_EQ(Items(list), (std::vector<void*>{&b, &c}));
}

}  // namespace
