#include "sim_frames.h"

#include <charconv>
#include <cstdio>

#include "common/hex_text.h"

namespace orvelgate::sim {
namespace {

std::optional<long> Number(std::string_view text, long low, long high) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

std::optional<CalendarTime> ParseTime(std::string_view text) {
  CalendarTime t;
  char tail = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour,
                  &t.minute, &t.second, &tail) != 6) {
    return std::nullopt;
  }
  return t;
}

uint8_t Bcd(int value) { return static_cast<uint8_t>((value / 10 % 10) << 4 | value % 10); }

// The fields' texts, checked for the kind; the message names the first bad one.
std::string CheckFields(const FrameRecipe& s) {
  if (s.kind == "gb") {
    if (!s.object.empty() && !Number(s.object, 0, 65535)) return "gb object must be 0..65535";
    if (!s.group.empty() && !Number(s.group, 1, 255)) return "gb group must be 1..255";
    if (!s.code.empty() && s.code.size() != 2) return "gb code must be two characters";
  } else if (s.kind == "cn") {
    if (!s.object.empty() && (s.object.size() != 4 || !AllDigits(s.object)))
      return "cn object must be four digits";
    if (!s.group.empty()) return "cn frames carry no group";
    const bool letters = s.code.size() == 2 && s.code[0] >= 'A' && s.code[0] <= 'Z' &&
                         s.code[1] >= 'A' && s.code[1] <= 'Z';
    if (!s.code.empty() && !letters && !Number(s.code, 0, 65535))
      return "cn code must be two letters AA..ZZ or a number 0..65535";
  } else if (s.kind == "ascii") {
    if (!s.object.empty() && s.object.size() != 4) return "ascii object must be four characters";
    if (!s.group.empty() && (s.group.size() != 1 || !AllDigits(s.group)))
      return "ascii group must be one digit";
    if (!s.code.empty() && s.code.size() != 2) return "ascii code must be two characters";
  }
  return {};
}

uint16_t CnCodeValue(const std::string& code) {
  if (code.empty()) return 1;  // AB
  if (code[0] >= 'A' && code[0] <= 'Z') return static_cast<uint16_t>((code[0] - 'A') * 26 + (code[1] - 'A'));
  return static_cast<uint16_t>(*Number(code, 0, 65535));
}

BuiltFrame BuildGb(const FrameRecipe& s, const CalendarTime& time, std::mt19937& rng, uint8_t key) {
  BuiltFrame built;
  GbFields f;
  for (auto& b : f.echo) b = static_cast<uint8_t>(rng());
  f.object = static_cast<uint16_t>(s.object.empty() ? 123 : *Number(s.object, 0, 65535));
  f.group = static_cast<uint8_t>(s.group.empty() ? 1 : *Number(s.group, 1, 255));
  if (s.variant == FrameVariant::kNoEvent) f.group = 0;
  f.code = s.code.empty() ? "E1" : s.code;
  f.time = time;
  const GbFrame frame = EncodeGbFrame(f, key);
  built.bytes.assign(frame.begin(), frame.end());
  built.echo = f.echo;
  built.answer = Answer::kGbAck;
  if (s.variant == FrameVariant::kCorrupt) {
    built.bytes[kGbPayloadOffset + 16] ^= 0x01;  // the check byte, one off
    built.answer = Answer::kNone;
  }
  return built;
}

BuiltFrame BuildCn(const FrameRecipe& s, const CalendarTime& time, std::mt19937& rng, uint8_t key) {
  BuiltFrame built;
  CnFields f;
  const std::string object = s.object.empty() ? "0123" : s.object;
  f.objectHigh = static_cast<uint8_t>((object[0] - '0') << 4 | (object[1] - '0'));
  f.objectLow = static_cast<uint8_t>((object[2] - '0') << 4 | (object[3] - '0'));
  f.code = CnCodeValue(s.code);
  f.minute = Bcd(time.minute);
  f.hour = Bcd(time.hour);
  f.day = Bcd(time.day);
  f.month = Bcd(time.month);
  f.year = Bcd(time.year % 100);
  const CnFrame frame = EncodeCnFrame(f, key, s.variant == FrameVariant::kNoEvent,
                                      static_cast<uint8_t>(rng()));
  built.bytes.assign(frame.begin(), frame.end());
  built.answer = Answer::kCnAck;
  if (s.variant == FrameVariant::kCorrupt) {
    built.bytes[20] ^= 0x01;  // a scrambled byte: the XOR check fails
    built.answer = Answer::kNone;
  }
  return built;
}

BuiltFrame BuildAscii(const FrameRecipe& s) {
  BuiltFrame built;
  char group = s.group.empty() ? '1' : s.group[0];
  if (s.variant != FrameVariant::kValid) group = 'X';  // not a digit: no event
  const AsciiFrame frame = EncodeAsciiFrame(group, s.object.empty() ? "0123" : s.object,
                                            s.code.empty() ? "01" : s.code);
  built.bytes.assign(frame.begin(), frame.end());
  return built;
}

}  // namespace

std::optional<FrameRecipe> ParseFrameRecipe(std::string_view text, std::string* error) {
  auto fail = [&](std::string message) -> std::optional<FrameRecipe> {
    if (error) *error = std::string(text) + ": " + message;
    return std::nullopt;
  };
  FrameRecipe recipe;
  recipe.text = std::string(text);
  if (text.substr(0, 4) == "raw:") {
    auto bytes = ParseHex(text.substr(4));
    if (!bytes || bytes->empty()) return fail("raw needs an even number of hexadecimal digits");
    recipe.kind = "raw";
    recipe.raw = std::move(*bytes);
    return recipe;
  }
  std::string_view head = text.substr(0, text.find(','));
  std::string_view rest = head.size() < text.size() ? text.substr(head.size() + 1) : "";
  const std::size_t colon = head.find(':');
  recipe.kind = std::string(head.substr(0, colon));
  if (recipe.kind != "gb" && recipe.kind != "cn" && recipe.kind != "ascii") {
    return fail("the kind must be gb, cn, ascii or raw");
  }
  if (colon != std::string_view::npos) {
    const std::string_view variant = head.substr(colon + 1);
    if (variant == "valid") recipe.variant = FrameVariant::kValid;
    else if (variant == "noevent") recipe.variant = FrameVariant::kNoEvent;
    else if (variant == "corrupt") recipe.variant = FrameVariant::kCorrupt;
    else return fail("the variant must be valid, noevent or corrupt");
  }
  while (!rest.empty()) {
    const std::string_view field = rest.substr(0, rest.find(','));
    rest = field.size() < rest.size() ? rest.substr(field.size() + 1) : "";
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return fail("a field is written name=value");
    const std::string_view name = field.substr(0, eq);
    const std::string_view value = field.substr(eq + 1);
    if (name == "object") recipe.object = std::string(value);
    else if (name == "group") recipe.group = std::string(value);
    else if (name == "code") recipe.code = std::string(value);
    else if (name == "key") {
      const auto key = Number(value, 0, 255);
      if (!key) return fail("key must be 0..255");
      recipe.key = static_cast<uint8_t>(*key);
    } else if (name == "time") {
      recipe.time = ParseTime(value);
      if (!recipe.time) return fail("time is written YYYY-MM-DDTHH:MM:SS");
    } else {
      return fail("unknown field " + std::string(name));
    }
  }
  if (std::string problem = CheckFields(recipe); !problem.empty()) return fail(problem);
  return recipe;
}

BuiltFrame BuildFrame(const FrameRecipe& recipe, const CalendarTime& now, std::mt19937& rng) {
  const CalendarTime time = recipe.time.value_or(now);
  const uint8_t key = recipe.key.value_or(static_cast<uint8_t>(rng()));
  if (recipe.kind == "gb") return BuildGb(recipe, time, rng, key);
  if (recipe.kind == "cn") return BuildCn(recipe, time, rng, key);
  if (recipe.kind == "ascii") return BuildAscii(recipe);
  BuiltFrame raw;
  raw.bytes = recipe.raw;
  return raw;
}

bool AnswerIsValid(const BuiltFrame& frame, const std::vector<uint8_t>& answer) {
  switch (frame.answer) {
    case Answer::kGbAck: return VerifyGbAck(answer, frame.echo).has_value();
    case Answer::kCnAck: return VerifyCnAck(answer);
    case Answer::kNone: return false;
  }
  return false;
}

std::size_t AnswerSize(Answer answer) {
  switch (answer) {
    case Answer::kGbAck: return kGbAckSize;
    case Answer::kCnAck: return kCnAckSize;
    case Answer::kNone: return 0;
  }
  return 0;
}

}  // namespace orvelgate::sim
