#include "framework/application.h"
#include "framework/component.h"
#include "framework/stream.h"
#include "framework/strings.h"

#include <gtest/gtest.h>

namespace {

TEST(TStringList, WritesEveryLineFollowedByCrLf) {
    TStringList list;
    list.Add("Callsign=QQ9XYZ&Code=1");
    list.Add("");
    list.Add("last");
    TMemoryStream stream;
    list.SaveToStream(stream);
    EXPECT_EQ(stream.DataString(), "Callsign=QQ9XYZ&Code=1\r\n\r\nlast\r\n");
    EXPECT_EQ(stream.Position(), stream.Size());
}

TEST(TStringList, SetTextSplitsAtAnyLineBreak) {
    TStringList list;
    list.SetText("a\r\nb\nc\rd\r\n");
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list[3], "d");
    list.Delete(0);
    list.Insert(1, "x");
    EXPECT_EQ(list.Text(), "b\r\nx\r\nc\r\nd\r\n");
    EXPECT_EQ(list.IndexOf("c"), 2);
}

TEST(TMemoryStream, ReadsWritesSeeksAndTruncates) {
    TMemoryStream s;
    s.Write(std::string("hello world"));
    s.SetPosition(6);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 100), 5);
    EXPECT_STREQ(buf, "world");
    EXPECT_EQ(s.Read(buf, 1), 0);
    s.Seek(-5, TSeekOrigin::soEnd);
    s.Write(std::string("WORLD!"));
    EXPECT_EQ(s.DataString(), "hello WORLD!");
    s.SetSize(5);
    EXPECT_EQ(s.Position(), 5);
    EXPECT_EQ(s.DataString(), "hello");
}

TEST(TComponent, OwnerFreesItsChildrenAndNotifiesWatchers) {
    struct Probe : TComponent {
        using TComponent::TComponent;
        int* freed = nullptr;
        TComponent* removed = nullptr;
        ~Probe() override {
            if (freed)
                ++*freed;
        }
        void Notification(TComponent* c, TOperation op) override {
            if (op == TOperation::opRemove)
                removed = c;
        }
    };
    int freed = 0;
    Probe watcher;
    auto* owner = new TComponent();
    auto* child = new Probe(owner);
    child->freed = &freed;
    EXPECT_EQ(owner->ComponentCount(), 1);
    watcher.FreeNotification(owner);
    delete owner;
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(watcher.removed, owner);
}

TEST(ErrorBox, AddsAFullStopOnlyAfterCharactersSortingAboveIt) {
    EXPECT_EQ(ErrorBoxText("Time zone could not be determined"),
              "Time zone could not be determined.");
    EXPECT_EQ(ErrorBoxText("Done."), "Done.");
    EXPECT_EQ(ErrorBoxText("Really!"), "Really!");      // '!' sorts below '.'
    EXPECT_EQ(ErrorBoxText("(x)"), "(x)");              // so does ')'
    EXPECT_EQ(ErrorBoxText("Error #42"), "Error #42."); // digits sort above it
    EXPECT_EQ(ErrorBoxText(""), "");
}

} // namespace
