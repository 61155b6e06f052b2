#include "net/socket/icsbuffer.h"

#include "framework/exception.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

std::vector<char> Pattern(int n) {
    std::vector<char> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<char>(i * 7 + 3);
    return v;
}

// Drains the handler the way the socket's write loop does, block by block.
std::vector<char> Drain(TIcsBufferHandler& h, int chunk) {
    std::vector<char> out;
    for (;;) {
        int len = 0;
        const char* p = h.Peek(len);
        if (len == 0)
            break;
        int n = std::min(len, chunk);
        out.insert(out.end(), p, p + n);
        h.Remove(n);
    }
    return out;
}

} // namespace

TEST(TIcsBuffer, SizeZeroOrLessGives1460) {
    for (int size : {0, -1, -5000}) {
        TIcsBuffer b(size);
        EXPECT_EQ(b.Size(), 1460) << size;
    }
    EXPECT_EQ(TIcsBuffer(10).Size(), 10);
}

TEST(TIcsBuffer, WriteStopsAtTheEndAndRemoveRewindsWhenEmpty) {
    TIcsBuffer b(10);
    auto data = Pattern(15);
    EXPECT_EQ(b.Write(data.data(), 15), 10);
    EXPECT_EQ(b.Write(data.data(), 1), 0);
    EXPECT_EQ(b.Remove(4), 4);
    int len = 0;
    const char* p = b.Peek(len);
    ASSERT_EQ(len, 6);
    EXPECT_EQ(std::string(p, 6), std::string(data.data() + 4, 6));
    // Removing more than is unread removes only what is there.
    EXPECT_EQ(b.Remove(100), 6);
    EXPECT_EQ(b.ReadIndex(), 0);
    EXPECT_EQ(b.WriteIndex(), 0);
    EXPECT_EQ(b.Write(data.data(), 15), 10);
}

TEST(TIcsBufferLinkedList, KeepsOrderAtBothEnds) {
    TIcsBufferLinkedList list;
    auto* a = new TIcsBuffer(1);
    auto* b = new TIcsBuffer(2);
    auto* c = new TIcsBuffer(3);
    list.AddToListTail(b);
    list.AddToListTail(c);
    list.InsertAtHead(a);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Head(), a);
    EXPECT_EQ(list.Tail(), c);
    EXPECT_EQ(c->Prev, b);
    TIcsBuffer* taken = list.RemoveFromListHead();
    EXPECT_EQ(taken, a);
    EXPECT_EQ(taken->Next, nullptr);
    EXPECT_EQ(list.Head()->Prev, nullptr);
    delete taken;
    // The rest is freed by the list's destructor (checked under ASan).
}

TEST(TIcsBufferHandler, ThreeThousandBytesFillTwoBlocksAndEightyIntoAThird) {
    TIcsBufferHandler h;
    auto data = Pattern(3000);
    h.Write(data.data(), 3000);
    ASSERT_EQ(h.InUseList().Count(), 3);
    TIcsBuffer* b = h.InUseList().Head();
    EXPECT_EQ(b->Count(), 1460);
    EXPECT_EQ(b->Next->Count(), 1460);
    EXPECT_EQ(b->Next->Next->Count(), 80);
    EXPECT_EQ(h.TotalCount(), 3000);
    EXPECT_EQ(Drain(h, 1000), data);
    EXPECT_TRUE(h.IsEmpty());
    EXPECT_EQ(h.FreeList().Count(), 3);
}

TEST(TIcsBufferHandler, AppendContinuesInTheTailBlock) {
    TIcsBufferHandler h;
    auto data = Pattern(1500);
    h.Write(data.data(), 700);
    h.Write(data.data() + 700, 800);
    EXPECT_EQ(h.InUseList().Count(), 2);
    EXPECT_EQ(h.InUseList().Head()->Count(), 1460);
    EXPECT_EQ(Drain(h, 333), data);
}

TEST(TIcsBufferHandler, EmptiedHeadBlockIsReusedBeforeANewOne) {
    TIcsBufferHandler h;
    auto data = Pattern(2000);
    h.Write(data.data(), 2000);
    TIcsBuffer* first = h.InUseList().Head();
    h.Remove(1460); // exactly the head's unread count
    EXPECT_EQ(h.FreeList().Head(), first);
    EXPECT_EQ(h.InUseList().Count(), 1);
    // The tail block has 540 bytes in it, 920 of room; the overflow takes
    // the freed block instead of allocating.
    h.Write(data.data(), 1000);
    EXPECT_EQ(h.FreeList().Count(), 0);
    EXPECT_EQ(h.InUseList().Tail(), first);
    EXPECT_EQ(first->Count(), 80);
}

TEST(TIcsBufferHandler, PartialRemoveLeavesTheRestAtTheHead) {
    TIcsBufferHandler h;
    h.Write("abcdef", 6);
    h.Remove(2);
    int len = 0;
    const char* p = h.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<size_t>(len)), "cdef");
    EXPECT_EQ(h.FreeList().Count(), 0);
}

TEST(TIcsBufferHandler, BufSizeAppliesToBlocksCreatedAfterwards) {
    TIcsBufferHandler h;
    h.SetBufSize(100);
    auto data = Pattern(250);
    h.Write(data.data(), 250);
    EXPECT_EQ(h.InUseList().Count(), 3);
    EXPECT_EQ(h.InUseList().Head()->Size(), 100);
    h.SetBufSize(0);
    h.Write(data.data(), 100);
    EXPECT_EQ(h.InUseList().Tail()->Size(), 1460);
}

TEST(TIcsBufferHandler, RemoveRefusesNegativeCountAndEmptyChain) {
    TIcsBufferHandler h;
    try {
        h.Remove(1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "TIcsBufferHandler.Remove: nothing to remove");
    }
    h.Write("x", 1);
    try {
        h.Remove(-3);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "TIcsBufferHandler.Remove: Invalid Len -3");
    }
    EXPECT_EQ(h.TotalCount(), 1);
}

TEST(TIcsBufferHandler, DeleteAllMovesEveryBlockToTheFreeChain) {
    TIcsBufferHandler h;
    auto data = Pattern(4000);
    h.Write(data.data(), 4000);
    h.Remove(10);
    h.DeleteAll();
    EXPECT_TRUE(h.InUseList().Empty());
    EXPECT_EQ(h.FreeList().Count(), 3);
    int len = -1;
    EXPECT_EQ(h.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    // Reused blocks start empty.
    h.Write("hello", 5);
    EXPECT_EQ(h.InUseList().Head()->Count(), 5);
    EXPECT_EQ(h.FreeList().Count(), 2);
}

TEST(TIcsBufferHandler, NothingAppendedForNullOrNonPositiveLength) {
    TIcsBufferHandler h;
    h.Write(nullptr, 10);
    h.Write("abc", 0);
    h.Write("abc", -1);
    EXPECT_TRUE(h.InUseList().Empty());
}

TEST(TIcsBufferHandler, LockIsRecursive) {
    TIcsBufferHandler h;
    h.Lock();
    h.Lock();
    h.Write("a", 1);
    h.Unlock();
    h.Unlock();
    EXPECT_EQ(h.TotalCount(), 1);
}

TEST(TIcsBufferHandler, ALongExchangeAllocatesOnlyItsPeakBacklog) {
    TIcsBufferHandler h;
    auto data = Pattern(3000);
    for (int round = 0; round < 50; ++round) {
        h.Write(data.data(), 3000);
        ASSERT_EQ(Drain(h, 700), data);
        // Three blocks at the peak, all of them back on the free chain.
        EXPECT_EQ(h.InUseList().Count() + h.FreeList().Count(), 3) << round;
    }
}
