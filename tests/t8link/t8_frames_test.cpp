#include "t8link/t8_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/le_bytes.h"

namespace orvelgate {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(T8Frames, MessageHeaderLayout) {
  const Bytes payload{0xAA, 0xBB, 0xCC};
  const auto message = BuildMessage(T8Type::PortNotice, 0x0102030405060708ull, payload);
  ASSERT_TRUE(message);
  const Bytes expected{0xFF,                    // start marker
                       0x62, 0x00, 0x20, 0x02,  // type 0x02200062
                       0x03, 0x00, 0x00, 0x00,  // payload length
                       0x08, 0x07, 0x06, 0x05,  // sequence, low half
                       0x04, 0x03, 0x02, 0x01,  // sequence, high half
                       0xFE,                    // end marker
                       0xAA, 0xBB, 0xCC};
  EXPECT_EQ(*message, expected);
}

TEST(T8Frames, MessageWithoutPayloadTravelsAs39Bytes) {
  const auto message = BuildMessage(T8Type::QueryAnswer, 7, {});
  ASSERT_TRUE(message);
  ASSERT_EQ(message->size(), 18u);
  const Bytes frame = FrameMessage(*message);
  ASSERT_EQ(frame.size(), 39u);
  const LeReader in(frame);
  EXPECT_EQ(*in.U8(0), 0xFF);
  EXPECT_EQ(*in.I32(5), 18);
  EXPECT_EQ(*in.I32(17), 18);
  for (std::size_t i : {1u, 2u, 3u, 4u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u}) {
    EXPECT_EQ(frame[i], 0) << "reserved byte " << i;
  }
  EXPECT_EQ(Bytes(frame.begin() + 21, frame.end()), *message);
}

TEST(T8Frames, EventMessageFrameIs57Bytes) {
  Bytes record(18);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(0x10 + i);
  const auto message = BuildMessage(T8Type::EventMessage, 9, record);
  ASSERT_TRUE(message);
  const Bytes frame = FrameMessage(*message);
  ASSERT_EQ(frame.size(), 57u);
  const LeReader in(frame);
  EXPECT_EQ(*in.I32(5), 36);
  EXPECT_EQ(*in.I32(17), 36);
  EXPECT_EQ(*in.I32(21 + 1), T8Type::EventMessage);
  EXPECT_EQ(*in.I32(21 + 5), 18);
  EXPECT_EQ(Bytes(frame.begin() + 39, frame.end()), record);
}

TEST(T8Frames, PollHasSequenceZeroAndNoPayload) {
  const Bytes poll = BuildPoll();
  const Bytes expected{0xFF, 0x00, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE};
  EXPECT_EQ(poll, expected);
}

TEST(T8Frames, RefusesMessagesAboveTheBound) {
  const Bytes largest(static_cast<std::size_t>(kT8MaxMessageLength) - 18);
  EXPECT_TRUE(BuildMessage(T8Type::EventMessage, 0, largest));
  const Bytes tooLarge(largest.size() + 1);
  EXPECT_FALSE(BuildMessage(T8Type::EventMessage, 0, tooLarge));
}

TEST(T8Frames, ReplyMarkers) {
  EXPECT_TRUE(IsReplyMarker(0xFF));
  EXPECT_TRUE(IsReplyMarker(0xF0));
  for (int marker = 0; marker < 256; ++marker) {
    if (marker == 0xFF || marker == 0xF0) continue;
    EXPECT_FALSE(IsReplyMarker(static_cast<uint8_t>(marker))) << marker;
  }
}

TEST(T8Frames, CheckReplyNeedsBothMarkersAndAWholeHeader) {
  Bytes reply = *BuildMessage(T8Type::EventAck, 1, Bytes{1, 2});
  // The header's payload length is not used: the payload is the rest of the buffer.
  LeWriter(reply).I32(5, 999);
  const auto valid = CheckReply(reply);
  ASSERT_TRUE(valid);
  EXPECT_EQ(valid->Type, T8Type::EventAck);
  EXPECT_EQ(Bytes(valid->Payload.begin(), valid->Payload.end()), (Bytes{1, 2}));

  EXPECT_FALSE(CheckReply(std::span(reply).first(17))) << "shorter than a header";
  EXPECT_FALSE(CheckReply({})) << "empty";
  Bytes badStart = reply;
  badStart[0] = 0xF0;
  EXPECT_FALSE(CheckReply(badStart));
  Bytes badEnd = reply;
  badEnd[17] = 0xFF;
  EXPECT_FALSE(CheckReply(badEnd));
}

TEST(T8Frames, TypeNamesRoundTrip) {
  for (int32_t type : {T8Type::Poll, T8Type::Hello, T8Type::PortNotice, T8Type::FirstNumberNotice,
                       T8Type::DriverVersion, T8Type::EventMessage, T8Type::QueryAnswer,
                       T8Type::LoginAccepted, T8Type::ServerQuery, T8Type::AccessDenied,
                       T8Type::DisconnectOrder, T8Type::DropLink, T8Type::EventAck}) {
    const char* name = T8TypeName(type);
    ASSERT_NE(name, nullptr) << type;
    EXPECT_EQ(T8TypeFromName(name), type) << name;
  }
  EXPECT_EQ(T8TypeName(0x12345678), nullptr);
  EXPECT_FALSE(T8TypeFromName("NoSuchType"));
}

TEST(T8Frames, HelloPayload) { EXPECT_EQ(HelloPayload(), (Bytes{0x17, 0x00})); }

struct PortNoticeCase {
  std::string name;
  bool open;
  Bytes expected;
};

class PortNoticePayloadTest : public ::testing::TestWithParam<PortNoticeCase> {};

TEST_P(PortNoticePayloadTest, CountedNameAndOpenByte) {
  EXPECT_EQ(PortNoticePayload(GetParam().name, GetParam().open), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, PortNoticePayloadTest,
    ::testing::Values(PortNoticeCase{"COM3", true, {0x04, 'C', 'O', 'M', '3', 0, 0, 0x01}},
                      PortNoticeCase{"COM3", false, {0x04, 'C', 'O', 'M', '3', 0, 0, 0x00}},
                      PortNoticeCase{"COM1234", true, {0x06, 'C', 'O', 'M', '1', '2', '3', 0x01}},
                      PortNoticeCase{"COM255", true, {0x06, 'C', 'O', 'M', '2', '5', '5', 0x01}},
                      PortNoticeCase{"", false, {0, 0, 0, 0, 0, 0, 0, 0}}));

TEST(T8Frames, FirstNumberNoticeIsTheLowByte) {
  const std::pair<int32_t, uint8_t> cases[] = {
      {300, 0x2C}, {0, 0x00}, {255, 0xFF}, {256, 0x00}, {-1, 0xFF}, {-300, 0xD4}};
  for (const auto& [number, byte] : cases) {
    EXPECT_EQ(FirstNumberNoticePayload(number), Bytes{byte}) << number;
  }
}

struct VersionCase {
  std::string text;
  Bytes expected;
};

class DriverVersionPayloadTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(DriverVersionPayloadTest, ParsedByTheDotRule) {
  EXPECT_EQ(DriverVersionPayload(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, DriverVersionPayloadTest,
    ::testing::Values(
        VersionCase{"3.10.0.512", {0x03, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x02}},
        VersionCase{"1.2", {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}},
        VersionCase{"1.0.0.0", {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        VersionCase{"512", Bytes(8, 0)},  // no dot: all zero
        VersionCase{"", Bytes(8, 0)},
        VersionCase{"a.b.c.d", Bytes(8, 0)},
        VersionCase{".5", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}},
        VersionCase{"1.2.3.4.5", {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00}},  // "4.5"
        VersionCase{"70000.-1.2.3", {0x70, 0x11, 0xFF, 0xFF, 0x02, 0x00, 0x03, 0x00}},
        VersionCase{"99999999999.1.1.1", {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}}));

}  // namespace
}  // namespace orvelgate
