#include "upload/post_to_server.h"

#include "guarded_server.h"
#include "map_image.h"
#include "service.h"
#include "tests/support/local_service.h"
#include "tests/support/scripted_peer.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace testpeer;

const std::string kBody = "Callsign=QQ9XYZ&Code=9999999999&ADIFData=<call:10>TEST1<qso_date:8>"
                          "20110715<time_on:6>134501 <band:3>20m<mode:10>SSB<rst_sent:3>59"
                          "<rst_rcvd:3>57<GRIDSQUARE:6> KN37<station_callsign:11>QQ9XYZ<EOR>";

// Points the uploads at a local server for one test.
class PostToServerTest : public ::testing::Test {
protected:
    void UseServer(std::uint16_t port) { Settings.RobotHost = "127.0.0.1:" + std::to_string(port); }
    bool PostToServer(const TStringList& body, std::string& reply) {
        return ::PostToServer(body, reply, Settings);
    }
    static TStringList Body() {
        TStringList list;
        list.Add(kBody);
        return list;
    }

    TPostSettings Settings;
};

TEST_F(PostToServerTest, SendsTheUploadRequestByteForByte) {
    ScriptedPeer peer;
    peer.Script({WaitFor("<EOR>\r\n"),
                 Send("HTTP/1.1 200 OK\r\nContent-Length: 18\r\n\r\n<insert>1</insert>"), Close()});
    UseServer(peer.Port());
    std::string reply;
    EXPECT_TRUE(PostToServer(Body(), reply));
    EXPECT_EQ(reply, "<insert>1</insert>");
    const std::string host = "127.0.0.1:" + std::to_string(peer.Port());
    EXPECT_EQ(peer.Received(),
              "POST /newentry.aspx HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "Connection: Keep-Alive\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\n"
              "User-Agent: Mozilla/4.0 (compatible; TORVELIX)\r\n"
              "Host: " +
                  host +
                  "\r\n"
                  "Content-Length: " +
                  std::to_string(kBody.size() + 2) +
                  "\r\n"
                  "\r\n" +
                  kBody + "\r\n");
}

TEST_F(PostToServerTest, AnswerWithoutContentLengthIsAnEmptySuccess) {
    ScriptedPeer peer;
    peer.Script({WaitFor("<EOR>\r\n"), Send("HTTP/1.0 200 OK\r\n\r\n<insert>1</insert>"), Close()});
    UseServer(peer.Port());
    std::string reply;
    EXPECT_TRUE(PostToServer(Body(), reply));
    EXPECT_EQ(reply, "");
}

TEST_F(PostToServerTest, ErrorStatusIsAFailureWithTheReasonAsText) {
    ScriptedPeer peer;
    peer.Script({WaitFor("<EOR>\r\n"),
                 Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops"),
                 Close()});
    UseServer(peer.Port());
    std::string reply;
    EXPECT_FALSE(PostToServer(Body(), reply));
    EXPECT_EQ(reply, "Internal Server Error");
}

TEST_F(PostToServerTest, UnreachableHostIsAFailureWithTheClientsMessage) {
    UseServer(RefusedPort());
    std::string reply;
    EXPECT_FALSE(PostToServer(Body(), reply));
    EXPECT_EQ(reply, "Connection refused (Error #10061)");
}

TEST_F(PostToServerTest, CutShortAnswerIsNeverASuccess) {
    ScriptedPeer peer;
    peer.Script(
        {WaitFor("<EOR>\r\n"), Send("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n<ins"), Close()});
    UseServer(peer.Port());
    std::string reply;
    EXPECT_FALSE(PostToServer(Body(), reply));
    EXPECT_EQ(reply, "Connection closed before the whole response body");
}

// The service's answers are a few hundred bytes: up to 64 KiB is kept as the
// answer, one byte more ends the exchange as a failure.
TEST_F(PostToServerTest, AnswerOfAtMost64KiBIsKeptALongerOneFails) {
    for (const std::size_t size : {std::size_t{65536}, std::size_t{65537}}) {
        std::string answer(size, 'x');
        answer.replace(0, 18, "<insert>1</insert>");
        ScriptedPeer peer;
        peer.Script({WaitFor("<EOR>\r\n"),
                     Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                          "\r\n\r\n" + answer),
                     Close()});
        UseServer(peer.Port());
        std::string reply;
        const bool ok = PostToServer(Body(), reply);
        if (size <= 65536) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(reply, answer);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(reply, "Answer longer than 65536 bytes: exchange ended");
        }
    }
}

TEST_F(PostToServerTest, TheServiceLogsWhatWasUploaded) {
    testpeer::TLocalService local;
    UseServer(static_cast<std::uint16_t>(local.Port()));
    std::string reply;
    ASSERT_TRUE(PostToServer(Body(), reply));
    EXPECT_EQ(reply, "<response><insert>1</insert><id>1001</id></response>");
    auto contacts = local.Service().Contacts("QQ9XYZ");
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].Grid, "KN37");

    httplib::Client web("127.0.0.1", local.Port());
    auto page = web.Get("/ViewLogbook.aspx?user=QQ9XYZ");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<td>TEST1</td>"), std::string::npos);
    auto withContact = web.Get("/public/cache/map_QQ9XYZ.jpg");
    ASSERT_TRUE(withContact);
    EXPECT_EQ(withContact->get_header_value("Content-Type"), "image/jpeg");
    // The map marks the contact: it differs from the empty map.
    EXPECT_NE(withContact->body, logbook::MapJpeg({}));
    EXPECT_EQ(withContact->body, logbook::MapJpeg({"KN37"}));
}

} // namespace
