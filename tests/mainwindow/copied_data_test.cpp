// The copied-data path: records cut from a byte stream, and the window's
// server on its real socket, reached by the data source's plain client.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QFileInfo>

#include <cstring>
#include <string>

#include "dslink/copied_data.h"
#include "dslink/shared_message_channel.h"
#include "dslink/twain_control.h"
#include "mainwindow/copied_data_server.h"
#include "platform/local_socket.h"
#include "platform/paths.h"
#include "tests/mainwindow/drive_fixture.h"
#include "tests/mainwindow/private_program_folder.h"

namespace tavrin {
namespace {

using test::DriveTest;
using test::WaitFor;

std::string BlockBytes(int code, size_t size = sizeof(ChannelBlock)) {
  ChannelBlock block;
  block.code = code;
  std::string bytes(reinterpret_cast<const char*>(&block), sizeof(block));
  return bytes.substr(0, size);
}

TEST(CopiedDataRecordTest, HeaderIsIdentifierThenLengthLittleEndian) {
  const std::string record = EncodeCopiedDataRecord(kCopyDataMessageId, "abc");
  EXPECT_EQ(record, std::string("\xea\x03\x00\x00\x03\x00\x00\x00"
                                "abc",
                                11));
  EXPECT_EQ(EncodeCopiedDataRecord(-1, "").size(), 8u);
  EXPECT_EQ(CopiedDataSocketName(), "tavrin-desk-" + std::to_string(platform::UserId()));
  EXPECT_EQ(CopiedDataSocketPath(), platform::PrivateTempFolder() + CopiedDataSocketName());
}

TEST(CopiedDataRecordTest, RecordsComeWholeHoweverTheBytesArrive) {
  const std::string stream = EncodeCopiedDataRecord(kCopyDataMessageId, BlockBytes(kMsgRequest)) +
                             EncodeCopiedDataRecord(7, "") +
                             EncodeCopiedDataRecord(kCopyDataMessageId, std::string("\x00\x01", 2));
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{8}, size_t{1000}, stream.size()}) {
    CopiedDataReader reader;
    std::vector<CopiedDataRecord> records;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      ASSERT_TRUE(reader.Append(std::string_view(stream).substr(at, chunk)));
      while (auto record = reader.Next()) records.push_back(*record);
    }
    ASSERT_EQ(records.size(), 3u) << "chunk " << chunk;
    EXPECT_EQ(records[0].id, kCopyDataMessageId);
    EXPECT_EQ(records[0].data, BlockBytes(kMsgRequest));
    EXPECT_EQ(records[1].id, 7);
    EXPECT_TRUE(records[1].data.empty());
    EXPECT_EQ(records[2].data, std::string("\x00\x01", 2));
    EXPECT_EQ(reader.Pending(), 0u);
  }
}

TEST(CopiedDataRecordTest, AnOversizedRecordBreaksTheStreamWithoutWaitingForIt) {
  CopiedDataReader reader;
  std::string header = EncodeCopiedDataRecord(kCopyDataMessageId, "").substr(0, 4);
  const uint32_t huge = CopiedDataReader::kMaxRecordBytes + 1;
  for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>((huge >> (8 * i)) & 0xFF));
  EXPECT_FALSE(reader.Append(header));
  EXPECT_TRUE(reader.Broken());
  EXPECT_FALSE(reader.Next().has_value());
  // Whatever follows is not read as records.
  EXPECT_FALSE(reader.Append(EncodeCopiedDataRecord(kCopyDataMessageId, BlockBytes(kMsgClose))));
  EXPECT_FALSE(reader.Next().has_value());

  // The largest allowed record is still taken.
  CopiedDataReader big;
  ASSERT_TRUE(
      big.Append(EncodeCopiedDataRecord(3, std::string(CopiedDataReader::kMaxRecordBytes, 'x'))));
  ASSERT_TRUE(big.Next().has_value());
}

TEST(CopiedDataClientTest, NobodyListeningIsAnErrorNotASilentSuccess) {
  std::string error;
  const std::string path = test::PrivateRoot() + "/tmp/nobody-here";
  EXPECT_FALSE(platform::SendToLocalSocket(path, "x", 1, 500, &error));
  EXPECT_NE(error.find("nobody-here"), std::string::npos) << error;
  // A path a socket address cannot hold is refused, not cut to another.
  EXPECT_FALSE(platform::SendToLocalSocket("/" + std::string(200, 'a'), "x", 1, 500, &error));
  EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

class CopiedDataWindowTest : public DriveTest {};

TEST_F(CopiedDataWindowTest, MessagesOfIdentifier1002DriveTheWindowAndOthersDoNot) {
  WriteShowModel(1);
  ASSERT_TRUE(Start());
  ASSERT_FALSE(window->isVisible());
  EXPECT_FALSE(window->OnCopyData({1001, BlockBytes(kMsgShow)}));
  EXPECT_FALSE(window->OnCopyData({kCopyDataMessageId, BlockBytes(kMsgShow, 3)}));
  EXPECT_FALSE(window->isVisible());
  // Only the code is read: four bytes are a whole message.
  EXPECT_TRUE(window->OnCopyData({kCopyDataMessageId, BlockBytes(kMsgShow, 4)}));
  EXPECT_TRUE(window->isVisible());
}

TEST_F(CopiedDataWindowTest, TheDataSourcesClientReachesTheWindowThroughItsSocket) {
  WriteShowModel(1);
  ASSERT_TRUE(Start());
  ASSERT_NE(Probe().CopiedData(), nullptr);
  ASSERT_TRUE(Probe().CopiedData()->IsListening())
      << Probe().CopiedData()->LastError().toStdString();
  EXPECT_EQ(Probe().CopiedData()->Path().toStdString(), CopiedDataSocketPath());

  // A broken stream is dropped; the server goes on taking others.
  const std::string broken = std::string("\xea\x03\x00\x00\xff\xff\xff\x7f", 8);
  ASSERT_TRUE(
      platform::SendToLocalSocket(CopiedDataSocketPath(), broken.data(), broken.size(), 1000));
  test::Pump(100);
  std::string error;
  ASSERT_TRUE(SendCopiedDataMessage(kMsgShow, 2000, &error)) << error;
  EXPECT_TRUE(WaitFor([&] { return window->isVisible(); }));

  // 205 closes the window as cancelled; its socket goes with it.
  ASSERT_TRUE(SendCopiedDataMessage(kMsgClose, 2000, &error)) << error;
  EXPECT_TRUE(WaitFor([&] { return !window->isVisible() && window->result() == 0; }));
  EXPECT_TRUE(
      WaitFor([] { return !QFileInfo::exists(QString::fromStdString(CopiedDataSocketPath())); }));
  EXPECT_FALSE(SendCopiedDataMessage(kMsgShow, 500, &error));
}

TEST_F(CopiedDataWindowTest, AStaleSocketIsReplacedAndALiveOneIsLeftToItsWindow) {
  const QString path = QString::fromStdString(test::PrivateRoot() + "/tmp/server-test");
  int received = 0;
  {
    // A server that ends without removing its socket leaves the name taken.
    CopiedDataServer first([&](const CopiedDataRecord&) { ++received; });
    ASSERT_TRUE(first.Listen(path));
    CopiedDataServer second([](const CopiedDataRecord&) {});
    EXPECT_FALSE(second.Listen(path));
    EXPECT_TRUE(second.LastError().contains(QStringLiteral("another scan window")));
    const std::string record = EncodeCopiedDataRecord(kCopyDataMessageId, BlockBytes(kMsgShow));
    ASSERT_TRUE(
        platform::SendToLocalSocket(path.toStdString(), record.data(), record.size(), 1000));
    EXPECT_TRUE(WaitFor([&] { return received == 1; }));
  }
  {
    // What a window that crashed leaves: the socket file, nobody behind it.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toStdString().c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));
    CopiedDataServer next([&](const CopiedDataRecord&) { ++received; });
    EXPECT_TRUE(next.Listen(path)) << next.LastError().toStdString();
    const std::string record = EncodeCopiedDataRecord(kCopyDataMessageId, BlockBytes(kMsgShow));
    ASSERT_TRUE(
        platform::SendToLocalSocket(path.toStdString(), record.data(), record.size(), 1000));
    EXPECT_TRUE(WaitFor([&] { return received == 2; }));
  }
}

}  // namespace
}  // namespace tavrin
