#include "app/view/headless_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orvelgate {
namespace {

// What the view wrote, read back from a memory stream.
class Captured {
 public:
  Captured() : file_(open_memstream(&buffer_, &size_)) {}
  ~Captured() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

TEST(HeadlessView, WritesOneLinePerChangeNotPerCounterStep) {
  Captured out;
  HeadlessView view(out.file());
  view.SetStartTime("01.02.2024 10:11:12");
  view.SetPortControlsRunning(false);
  view.DrawStationIndicator(false, 1);  // a frame before the first check: nothing lost
  view.DrawStationIndicator(true, 1);
  view.DrawStationIndicator(true, 2);
  view.DrawT8Indicator(false, 0);
  view.DrawT8Indicator(false, 1);
  view.LogLine("Соединение...");
  view.DrawT8Indicator(true, 2);
  view.DrawT7Indicator(false, 0);
  view.DrawT7Indicator(true, 0);
  view.DrawStationIndicator(false, 2);
  view.ShowNotice("Не правильный пароль.");
  view.ShowError("'' is not a valid integer value");
  EXPECT_EQ(out.text(),
            "START 01.02.2024 10:11:12\n"
            "PORT stopped\n"
            "STATION online\n"
            "T8 down\n"
            "LOG Соединение...\n"
            "T8 up\n"
            "T7 disconnected\n"
            "T7 connected\n"
            "STATION lost\n"
            "MESSAGE Не правильный пароль.\n"
            "ERROR '' is not a valid integer value\n");
}

TEST(HeadlessView, NobodyCanTypeTheCode) {
  Captured out;
  HeadlessView view(out.file());
  view.SetAccessCode("12345");
  EXPECT_EQ(view.AccessCode(), "12345");
  EXPECT_EQ(view.AskAccessCode("12345"), AccessAnswer::Cancelled);
  EXPECT_EQ(out.text().find("12345"), std::string::npos) << "the code is not printed";
}

}  // namespace
}  // namespace orvelgate
