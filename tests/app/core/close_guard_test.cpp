// The close guard against a view that answers the access-code question as the test
// says.
#include "app/core/close_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/recording_view.h"

namespace orvelgate {
namespace {

using testing::RecordingView;

const std::string kWrongNotice = "ShowNotice Не правильный пароль.";

struct Answered {
  const char* what;
  AccessAnswer answer;
  bool endingMeanwhile;  // a signal or a close record comes while the question waits
  bool closes;
  std::vector<std::string> notices;
};

class CloseGuardAnswerTest : public ::testing::TestWithParam<Answered> {};

TEST_P(CloseGuardAnswerTest, TheCodeDecides) {
  RecordingView view;
  bool ending = false;
  CloseGuard guard(view, [&] { return ending; });
  guard.Reset("54321");
  view.answers = {GetParam().answer};
  view.whileAsking = [&] { ending = GetParam().endingMeanwhile; };
  EXPECT_EQ(guard.MayClose(), GetParam().closes);
  EXPECT_EQ(view.CallsStartingWith("AskAccessCode"),
            std::vector<std::string>{"AskAccessCode 54321"});
  EXPECT_EQ(view.CallsStartingWith("ShowNotice"), GetParam().notices);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CloseGuardAnswerTest,
    ::testing::Values(Answered{"Accepted", AccessAnswer::Accepted, false, true, {}},
                      Answered{"Wrong", AccessAnswer::Wrong, false, false, {kWrongNotice}},
                      Answered{"Cancelled", AccessAnswer::Cancelled, false, false, {}},
                      Answered{"WrongWhileEnding", AccessAnswer::Wrong, true, false, {}},
                      Answered{"AcceptedWhileEnding", AccessAnswer::Accepted, true, true, {}}),
    [](const ::testing::TestParamInfo<Answered>& info) { return std::string(info.param.what); });

TEST(CloseGuardTest, AfterTheCloseRecordNoQuestionIsAsked) {
  RecordingView view;
  CloseGuard guard(view, [] { return false; });
  guard.Reset("54321");
  EXPECT_FALSE(guard.AllowedWithoutCode());
  guard.AllowWithoutCode();
  EXPECT_TRUE(guard.AllowedWithoutCode());
  EXPECT_TRUE(guard.MayClose());
  EXPECT_TRUE(view.calls.empty());
}

// Every start draws a new code and forgets a close record of the run before.
TEST(CloseGuardTest, ResetTakesTheNewCodeAndAsksAgain) {
  RecordingView view;
  CloseGuard guard(view, [] { return false; });
  guard.Reset("11111");
  guard.AllowWithoutCode();
  guard.Reset("22222");
  EXPECT_EQ(guard.AccessCode(), "22222");
  EXPECT_FALSE(guard.AllowedWithoutCode());
  EXPECT_FALSE(guard.MayClose());  // nobody answers: cancelled
  EXPECT_EQ(view.calls, std::vector<std::string>{"AskAccessCode 22222"});
}

}  // namespace
}  // namespace orvelgate
