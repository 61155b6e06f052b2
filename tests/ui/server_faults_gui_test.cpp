// Every server fault met by "Adauga": the operator is told, the trace holds
// the exchange's text, and the contact stays in the list, not sent.
#include "tests/ui/upload_fixture.h"

#include "tests/support/server_faults.h"

namespace {

using namespace uitest;
using testpeer::ServerFault;

class ServerFaultFromMainWindow : public EntryFixture,
                                  public ::testing::WithParamInterface<ServerFault> {
protected:
    void SetUp() override {
        EntryFixture::SetUp();
        PostSettings.TimeoutSeconds = 1;
    }
};

TEST_P(ServerFaultFromMainWindow, ContactStaysUnsent) {
    const ServerFault& fault = GetParam();
    std::unique_ptr<testpeer::ScriptedPeer> peer;
    switch (fault.Target) {
    case ServerFault::Where::Peer:
        peer = std::make_unique<testpeer::ScriptedPeer>();
        peer->Script(fault.Script);
        UseServer(peer->Port());
        break;
    case ServerFault::Where::RefusedPort:
        UseServer(testpeer::RefusedPort());
        break;
    case ServerFault::Where::UnknownHost:
        PostSettings.RobotHost = "no-such-host.invalid";
        break;
    }
    Start();
    AddContact("YO3ABC");

    ASSERT_EQ(Form1->Logbook().Count(), 1);
    EXPECT_EQ(Cell(0, 3), QStringLiteral("YO3ABC"));
    EXPECT_EQ(Cell(0, 9), QStringLiteral("NO"));
    EXPECT_EQ(Record(0)->QsoId, "");
    const QStringList trace = MemoLines("DebugMemo");
    ASSERT_GE(trace.size(), 3);
    EXPECT_EQ(trace[2], QString::fromStdString("ADDQSO Raspuns -> " + fault.Reply));
    const QStringList memo = MemoLines();
    if (fault.Succeeds) {
        // An answer without a length: nothing to tell, nothing stored.
        EXPECT_EQ(memo.size(), 1);
        EXPECT_TRUE(Boxes.empty());
    } else {
        EXPECT_EQ(memo.last(), QStringLiteral("Conexiune Internet inexistenta"));
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, "n-ai net");
    }
}

INSTANTIATE_TEST_SUITE_P(All, ServerFaultFromMainWindow,
                         ::testing::ValuesIn(testpeer::ServerFaults()),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
