#include "net/socket/icsbuffer.h"

#include "framework/exception.h"

#include <algorithm>
#include <cstring>
#include <string>

// ---- TIcsBuffer ---------------------------------------------------------------

TIcsBuffer::TIcsBuffer(int size)
    : FSize(size > 0 ? size : DefaultSize), FBuf(std::make_unique<char[]>(FSize)) {}

int TIcsBuffer::Write(const void* data, int len) {
    if (data == nullptr || len <= 0)
        return 0;
    int n = std::min(len, Room());
    if (n > 0) {
        std::memcpy(FBuf.get() + FWriteIndex, data, static_cast<size_t>(n));
        FWriteIndex += n;
    }
    return n;
}

const char* TIcsBuffer::Peek(int& len) const {
    len = Count();
    return FBuf.get() + FReadIndex;
}

int TIcsBuffer::Remove(int len) {
    int n = std::clamp(len, 0, Count());
    FReadIndex += n;
    if (FReadIndex >= FWriteIndex) {
        // Everything read: the whole block is free again.
        FReadIndex = 0;
        FWriteIndex = 0;
    }
    return n;
}

// ---- TIcsBufferLinkedList ---------------------------------------------------

TIcsBufferLinkedList::~TIcsBufferLinkedList() {
    FreeAll();
}

int TIcsBufferLinkedList::Count() const {
    int n = 0;
    for (TIcsBuffer* b = FHead; b; b = b->Next)
        ++n;
    return n;
}

void TIcsBufferLinkedList::AddToListTail(TIcsBuffer* buffer) {
    buffer->Next = nullptr;
    buffer->Prev = FTail;
    if (FTail)
        FTail->Next = buffer;
    else
        FHead = buffer;
    FTail = buffer;
}

void TIcsBufferLinkedList::InsertAtHead(TIcsBuffer* buffer) {
    buffer->Prev = nullptr;
    buffer->Next = FHead;
    if (FHead)
        FHead->Prev = buffer;
    else
        FTail = buffer;
    FHead = buffer;
}

TIcsBuffer* TIcsBufferLinkedList::RemoveFromListHead() {
    TIcsBuffer* b = FHead;
    if (!b)
        return nullptr;
    FHead = b->Next;
    if (FHead)
        FHead->Prev = nullptr;
    else
        FTail = nullptr;
    b->Next = nullptr;
    b->Prev = nullptr;
    return b;
}

void TIcsBufferLinkedList::FreeAll() {
    while (TIcsBuffer* b = RemoveFromListHead())
        delete b;
}

// ---- TIcsBufferHandler ------------------------------------------------------

TIcsBufferHandler::TIcsBufferHandler(TComponent* owner) : TComponent(owner) {
    InitializeCriticalSection(&FSendBufferLock);
}

TIcsBufferHandler::~TIcsBufferHandler() {
    BeginDestruction();
    FInUseList.FreeAll();
    FFreeList.FreeAll();
    DeleteCriticalSection(&FSendBufferLock);
}

TIcsBuffer* TIcsBufferHandler::TakeBlock() {
    if (TIcsBuffer* b = FFreeList.RemoveFromListHead())
        return b;
    return new TIcsBuffer(FBufSize);
}

void TIcsBufferHandler::Write(const void* data, int len) {
    if (data == nullptr || len <= 0)
        return;
    const char* p = static_cast<const char*>(data);
    TIcsBuffer* block = FInUseList.Tail();
    if (!block) {
        block = TakeBlock();
        FInUseList.AddToListTail(block);
    }
    int done = block->Write(p, len);
    while (done < len) {
        block = TakeBlock();
        FInUseList.AddToListTail(block);
        done += block->Write(p + done, len - done);
    }
}

const char* TIcsBufferHandler::Peek(int& len) const {
    TIcsBuffer* head = FInUseList.Head();
    if (!head) {
        len = 0;
        return nullptr;
    }
    return head->Peek(len);
}

void TIcsBufferHandler::Remove(int len) {
    if (len < 0)
        throw Exception("TIcsBufferHandler.Remove: Invalid Len " + std::to_string(len));
    TIcsBuffer* head = FInUseList.Head();
    if (!head)
        throw Exception("TIcsBufferHandler.Remove: nothing to remove");
    head->Remove(len);
    if (head->Count() == 0)
        FFreeList.InsertAtHead(FInUseList.RemoveFromListHead());
}

void TIcsBufferHandler::DeleteAll() {
    while (TIcsBuffer* b = FInUseList.RemoveFromListHead()) {
        b->Remove(b->Count()); // back to an empty block
        FFreeList.InsertAtHead(b);
    }
}

bool TIcsBufferHandler::IsEmpty() const {
    for (TIcsBuffer* b = FInUseList.Head(); b; b = b->Next)
        if (b->Count() > 0)
            return false;
    return true;
}

long long TIcsBufferHandler::TotalCount() const {
    long long n = 0;
    for (TIcsBuffer* b = FInUseList.Head(); b; b = b->Next)
        n += b->Count();
    return n;
}
