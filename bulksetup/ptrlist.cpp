#include "ptrlist.h"

#include <stdlib.h>

#include <new>

CRITICAL_SECTION& QueueLock::Section() {
  // Created on the monitor thread before any other thread can reach a list, and kept to the very
  // end of the process: lists that are destroyed at exit may still be in use until then.
  static CRITICAL_SECTION* section = [] {
    CRITICAL_SECTION* cs = new CRITICAL_SECTION;
    InitializeCriticalSection(cs);
    return cs;
  }();
  return *section;
}

PtrList::~PtrList() {
  if (OwnsItems && Tail) {
    PtrNode* node = Tail->Next;
    for (;;) {
      if (node->Item) free(node->Item);
      if (node == Tail) break;
      node = node->Next;
    }
  }
  OwnsItems = false;
  Clear();
}

int PtrList::Add(void* item) {
  PtrNode* node = new (std::nothrow) PtrNode;
  if (!node) return -1;
  node->Item = item;
  QueueLock hold;
  if (!Tail) {
    node->Prev = node;
    node->Next = node;
    Tail = node;
  } else {
    // A caller that left Cursor null on a non-empty list gets an append rather than a crash.
    PtrNode* after = Cursor ? Cursor : Tail;
    node->Prev = after;
    node->Next = after->Next;
    after->Next->Prev = node;
    after->Next = node;
    if (after == Tail) Tail = node;
  }
  Cursor = node;
  ++Count;
  return 0;
}

void* PtrList::RemoveCurrent() {
  PtrNode* node;
  {
    QueueLock hold;
    if (!Tail || !Cursor) return NULL;
    node = Cursor;
    if (node != Tail) {
      node->Prev->Next = node->Next;
      node->Next->Prev = node->Prev;
      Cursor = node->Next;
    } else if (Count == 1 || node->Next == node) {
      Tail = NULL;
      Cursor = NULL;
    } else {
      node->Prev->Next = node->Next;
      node->Next->Prev = node->Prev;
      Tail = node->Prev;
      Cursor = node->Prev;
    }
    --Count;
  }
  void* item = node->Item;
  delete node;
  return item;
}

void PtrList::Clear() {
  if (Tail) {
    // Break the ring before Tail so the walk has an end whatever Count says.
    PtrNode* node = Tail;
    Tail->Prev->Next = NULL;
    while (node) {
      PtrNode* next = node->Next;
      delete node;
      node = next;
    }
  }
  Tail = NULL;
  Cursor = NULL;
  Count = 0;
}
