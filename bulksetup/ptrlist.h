// The installer's one list container: a circular, doubly linked list of untyped item pointers
// with a current position. It serves as the arrival queue and as an INF file's hardware-ID list.
#pragma once

#include <windows.h>

#include "unique_resource.h"

struct PtrNode {
  PtrNode* Prev;
  PtrNode* Next;
  void* Item;
};

// The one lock of every PtrList in the process, a re-entrant critical section created on first
// use. A QueueLock object holds it for its lifetime; Enter and Leave are for the rare caller whose
// holding does not follow a scope.
class QueueLock : public ScopedLock {
 public:
  QueueLock() : ScopedLock(Section()) {}
  static void Enter() { EnterCriticalSection(&Section()); }
  static void Leave() { LeaveCriticalSection(&Section()); }

 private:
  static CRITICAL_SECTION& Section();
};

// A first-in, first-out queue when used the usual way:
//   append:          Cursor = Tail (when not empty), then Add
//   take the oldest: Cursor = Tail->Next, then RemoveCurrent
// A walk starts at Tail->Next and follows Next until Tail has been visited. Walks and Current()
// don't lock; a caller that walks and changes the list as one step holds QueueLock around it.
class PtrList {
 public:
  PtrList() : Tail(NULL), Cursor(NULL), Count(0), OwnsItems(false) {}
  // With OwnsItems set, the items go with the list; they must then come from malloc or calloc,
  // since the list cannot know their type.
  ~PtrList();

  // Inserts ITEM after Cursor and makes it the new Cursor (and Tail when Cursor was Tail).
  // 0, or -1 when no node could be allocated (the list is then unchanged).
  int Add(void* item);
  // Unlinks the Cursor node and returns its item, which is not freed; null on an empty list.
  void* RemoveCurrent();
  void* Current() const { return Cursor ? Cursor->Item : NULL; }
  // Frees every node, not the items.
  void Clear();

  PtrNode* Tail;
  PtrNode* Cursor;
  LONG Count;
  bool OwnsItems;

 private:
  PtrList(const PtrList&);
  PtrList& operator=(const PtrList&);
};
