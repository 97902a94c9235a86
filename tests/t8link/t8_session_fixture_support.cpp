#include "t8_session_fixture.h"

#include <algorithm>
#include <cctype>

#include "t8link/t8_frames.h"

namespace orvelgate::testing {

std::vector<uint8_t> Event(int n) {
  std::vector<uint8_t> record(18, 0);
  record[0] = static_cast<uint8_t>(n);
  record[1] = static_cast<uint8_t>(n >> 8);
  record[4] = 1;
  return record;
}

std::string AnswerName(std::string answer) {
  std::replace_if(answer.begin(), answer.end(), [](char ch) { return !std::isalnum(ch); }, '_');
  return answer;
}

void T8SessionFixture::MakeSession(T8SocketFactory factory,
                                   std::function<ServerHostSettings()> address,
                                   T8SessionSettings settings) {
  settings.FirstNumber = 300;
  session = std::make_unique<T8Session>(
      host, clock, std::move(factory),
      [this, address = std::move(address)] {
        ++serverHostReads;
        return address();
      },
      settings);
  session->Begin();
}

void T8SessionFixture::Cycles(int n) {
  for (int i = 0; i < n; ++i) session->RunCycle();
}

void T8SessionFixture::ConnectAndGreet() {
  session->RunCycle();
  ASSERT_TRUE(session->LinkUp());
  Cycles(4);
  ASSERT_EQ(session->QueuedCount(), 0u);
}

void T8SessionFixture::QueueEvent(int n) {
  ASSERT_TRUE(session->QueueMessage(T8Type::EventMessage, Event(n)));
}

bool T8SessionFixture::CyclesUntilDown(int limit) {
  for (int i = 0; i < limit && session->LinkUp(); ++i) session->RunCycle();
  return !session->LinkUp();
}

}  // namespace orvelgate::testing
