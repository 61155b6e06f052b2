// The send buffer of the socket: a chain of fixed-size byte blocks. Bytes
// are copied once into the blocks at the tail of the in-use chain and written
// out from the head; emptied blocks go to a free chain and are reused, so a
// long exchange allocates only up to its peak backlog.
#pragma once

#include "framework/component.h"
#include "platform/win32/windows.h"

#include <memory>

// One block of the chain.
class TIcsBuffer {
public:
    static constexpr int DefaultSize = 1460;

    // A size of 0 or less gives a block of DefaultSize bytes.
    explicit TIcsBuffer(int size);
    TIcsBuffer(const TIcsBuffer&) = delete;
    TIcsBuffer& operator=(const TIcsBuffer&) = delete;

    int Size() const { return FSize; }
    int WriteIndex() const { return FWriteIndex; }
    int ReadIndex() const { return FReadIndex; }
    // Unread bytes: WriteIndex - ReadIndex.
    int Count() const { return FWriteIndex - FReadIndex; }
    // Free room after WriteIndex.
    int Room() const { return FSize - FWriteIndex; }

    // Copies as many of the bytes as fit after WriteIndex; returns how many.
    int Write(const void* data, int len);
    // The unread bytes: their address, and their count in `len`.
    const char* Peek(int& len) const;
    // Advances ReadIndex by at most the unread count; returns how many bytes
    // were removed. When everything is read both indexes return to 0.
    int Remove(int len);

    TIcsBuffer* Next = nullptr;
    TIcsBuffer* Prev = nullptr;

private:
    int FSize;
    int FWriteIndex = 0;
    int FReadIndex = 0;
    std::unique_ptr<char[]> FBuf;
};

// A doubly linked chain of blocks; it owns them, and destroying it frees every
// block still in it.
class TIcsBufferLinkedList {
public:
    TIcsBufferLinkedList() = default;
    ~TIcsBufferLinkedList();
    TIcsBufferLinkedList(const TIcsBufferLinkedList&) = delete;
    TIcsBufferLinkedList& operator=(const TIcsBufferLinkedList&) = delete;

    TIcsBuffer* Head() const { return FHead; }
    TIcsBuffer* Tail() const { return FTail; }
    bool Empty() const { return FHead == nullptr; }
    int Count() const;

    void AddToListTail(TIcsBuffer* buffer);
    void InsertAtHead(TIcsBuffer* buffer);
    // Unlinks and returns the head block (nullptr when the chain is empty);
    // the caller owns it.
    TIcsBuffer* RemoveFromListHead();
    void FreeAll();

private:
    TIcsBuffer* FHead = nullptr;
    TIcsBuffer* FTail = nullptr;
};

// The socket's send buffer: an in-use chain, a free chain of emptied blocks
// kept for reuse, and SendBufferLock, which the socket holds around its send
// operations (Lock/Unlock). The operations themselves do not lock.
class TIcsBufferHandler : public TComponent {
public:
    explicit TIcsBufferHandler(TComponent* owner = nullptr);
    ~TIcsBufferHandler() override;

    // Block size of blocks created from now on (default 1460).
    int BufSize() const { return FBufSize; }
    void SetBufSize(int value) { FBufSize = value; }

    void Lock() { EnterCriticalSection(&FSendBufferLock); }
    void Unlock() { LeaveCriticalSection(&FSendBufferLock); }
    CRITICAL_SECTION& SendBufferLock() { return FSendBufferLock; }

    // Appends the bytes at the tail of the in-use chain (nothing for a null
    // pointer or a length of 0 or less).
    void Write(const void* data, int len);
    // The unread bytes of the head block (nullptr and 0 when empty).
    const char* Peek(int& len) const;
    // Removes `len` bytes from the head block; an emptied block moves to the
    // front of the free chain. Raises Exception for a negative count
    // ("TIcsBufferHandler.Remove: Invalid Len " + count) and on an empty chain
    // ("TIcsBufferHandler.Remove: nothing to remove").
    void Remove(int len);
    // Empties the whole buffer: every in-use block goes to the free chain.
    void DeleteAll();

    bool IsEmpty() const;
    // Unread bytes in the whole in-use chain.
    long long TotalCount() const;
    const TIcsBufferLinkedList& InUseList() const { return FInUseList; }
    const TIcsBufferLinkedList& FreeList() const { return FFreeList; }

private:
    TIcsBuffer* TakeBlock();

    int FBufSize = TIcsBuffer::DefaultSize;
    TIcsBufferLinkedList FInUseList;
    TIcsBufferLinkedList FFreeList;
    CRITICAL_SECTION FSendBufferLock{};
};
