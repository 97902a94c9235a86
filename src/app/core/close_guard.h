#pragma once
// Whether the program may close: without a question once the message server has sent
// its close record, otherwise only with the access code the window shows. A wrong code
// is told to the operator, unless the program is ending by then (a signal or a close
// record may come while the question waits).

#include <functional>
#include <string>

#include "app/core/main_view.h"

namespace orvelgate {

class CloseGuard {
 public:
  static constexpr const char* kWrongCodeText = "Не правильный пароль.";

  // `ending` tells whether the program is ending already.
  CloseGuard(MainView& view, std::function<bool()> ending)
      : view_(view), ending_(std::move(ending)) {}

  // Every start: a new code, and no close record heard yet.
  void Reset(std::string accessCode);
  const std::string& AccessCode() const { return accessCode_; }

  // The message server's close record: the next close needs no code.
  void AllowWithoutCode() { withoutCode_ = true; }
  bool AllowedWithoutCode() const { return withoutCode_; }

  // Asks the operator for the code unless a close needs none; true when the close
  // goes ahead.
  bool MayClose();

 private:
  MainView& view_;
  std::function<bool()> ending_;
  std::string accessCode_;
  bool withoutCode_ = false;
};

}  // namespace orvelgate
