#ifndef DLIST_H
#define DLIST_H

#include <stddef.h>

// Intrusive circular doubly linked list. An empty list is a head whose links point at itself;
// the first entry is head->next, the last head->prev.
typedef struct DListEntry
{
    struct DListEntry* prev;
    struct DListEntry* next;
} OSW_DLIST_HEAD;

static inline void OSW_DListInit(OSW_DLIST_HEAD* head)
{
    head->prev = head;
    head->next = head;
}

static inline int OSW_DListIsEmpty(const OSW_DLIST_HEAD* head)
{
    return head->next == head;
}

static inline void OSW_DListInsertTail(OSW_DLIST_HEAD* head, OSW_DLIST_HEAD* entry)
{
    entry->prev = head->prev;
    entry->next = head;
    head->prev->next = entry;
    head->prev = entry;
}

static inline void OSW_DListRemove(OSW_DLIST_HEAD* entry)
{
    entry->prev->next = entry->next;
    entry->next->prev = entry->prev;
    entry->prev = NULL;
    entry->next = NULL;
}

#endif
