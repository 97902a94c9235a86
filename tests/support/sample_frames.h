#pragma once
// The GB and CN fields that the frame codec's byte vectors were written for, shared by
// the codec tests, the packet handler tests and the fuzz seeds.

#include "framecodec/frame_codec.h"

namespace orvelgate::testing {

inline GbFields SampleGbFields() {
  GbFields f;
  f.echo = {0x11, 0x22, 0x33, 0x44};
  f.object = 0x0123;
  f.group = 3;
  f.code = "BA";
  f.time = {2010, 9, 8, 12, 34, 56, 0};
  return f;
}

inline CnFields SampleCnFields() {
  CnFields f;
  f.minute = 0x34;
  f.hour = 0x12;
  f.day = 0x08;
  f.month = 0x09;
  f.year = 0x10;
  f.objectHigh = 0x12;
  f.objectLow = 0x34;
  f.code = 0x0001;
  return f;
}

}  // namespace orvelgate::testing
