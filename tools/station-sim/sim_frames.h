#pragma once
// The frames the simulated station sends, described by short texts so that people,
// scripts and tests can name them:
//
//   KIND[:VARIANT][,field=value]...      e.g.  gb   cn:noevent   ascii,object=0042,code=E1
//   raw:HEX                              bytes as they are, e.g. raw:2447424245
//
//   KIND     gb (35 bytes), cn (31 bytes), ascii (13 bytes)
//   VARIANT  valid (the default), noevent (acknowledged, carries no event),
//            corrupt (gb: check byte off by one; cn: XOR check broken; neither is answered;
//            ascii: a group that is not a digit)
//   fields   object  gb 0..65535; cn and ascii four decimal digits
//            group   gb 1..255; ascii one digit
//            code    gb and ascii two characters; cn two letters AA..ZZ or a number 0..65535
//            key     the scrambling key 0..255 (gb, cn); random when not given
//            time    YYYY-MM-DDTHH:MM:SS carried by gb and cn; the local time when not given

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/day_count.h"
#include "framecodec/frame_codec.h"

namespace orvelgate::sim {

enum class FrameVariant { kValid, kNoEvent, kCorrupt };
enum class Answer { kNone, kGbAck, kCnAck };

struct FrameRecipe {
  std::string kind;  // "gb", "cn", "ascii" or "raw"
  FrameVariant variant = FrameVariant::kValid;
  std::string object;  // as given; the default depends on the kind
  std::string group;
  std::string code;
  std::optional<uint8_t> key;
  std::optional<CalendarTime> time;
  std::vector<uint8_t> raw;
  std::string text;  // the frame as written, for reports
};

// nullopt with a message for a text that names no frame.
std::optional<FrameRecipe> ParseFrameRecipe(std::string_view text, std::string* error);

struct BuiltFrame {
  std::vector<uint8_t> bytes;
  Answer answer = Answer::kNone;
  GbEcho echo{};  // what a GB acknowledgement must repeat
};

// The bytes of one frame. `now` fills a frame time that was not given; `rng` draws keys
// and the GB echo bytes.
BuiltFrame BuildFrame(const FrameRecipe& recipe, const CalendarTime& now, std::mt19937& rng);

// Whether `answer` is the right acknowledgement for `frame` (false when none was due).
bool AnswerIsValid(const BuiltFrame& frame, const std::vector<uint8_t>& answer);

std::size_t AnswerSize(Answer answer);

}  // namespace orvelgate::sim
