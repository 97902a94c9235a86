// A T7 host whose name server never answers must not delay the station's
// acknowledgements: the lookup runs off the thread that reads the line.

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/core/driver_core.h"
#include "framecodec/frame_codec.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "station_line.h"
#include "support/fake_clock.h"
#include "support/sample_frames.h"
#include "support/scripted_random.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

struct SilentNameServer {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  int asked = 0;
};

TEST(CoreT7Lookup, FramesAreAcknowledgedWhileTheT7HostLookupHangs) {
  testing::CoreApp();
  testing::TempDir dir;
  testing::ScopedCwd cwd(dir.path());
  testing::StationLine line(dir.path());
  testing::WriteFileText(dir / "orvelgate.ini",
                         "[main]\nComPort=COM3\nSendT8=0\nSendT7=1\nhost=messages.example\n" +
                             line.PortsSection());
  auto server = std::make_shared<SilentNameServer>();
  FakeClock clock{45000.25};
  ScriptedRandom random{{12345}};
  testing::RecordingView view;
  CoreEnvironment environment;
  environment.clock = &clock;
  environment.random = &random;
  environment.t7Port = testing::UnusedPort();
  environment.t7Resolver = [server](const std::string&) {
    std::unique_lock lock(server->mutex);
    ++server->asked;
    server->released.wait(lock, [&] { return server->release; });
    return ResolveAnswer{{}, Failure::FromText("released")};
  };
  auto core = std::make_unique<DriverCore>(view, environment);
  core->Start();
  ASSERT_TRUE(testing::PumpUntil([&] {
    std::lock_guard lock(server->mutex);
    return server->asked > 0;
  }));

  for (int frame = 0; frame < 3; ++frame) {
    ASSERT_TRUE(line.Send(EncodeGbFrame(testing::SampleGbFields(), static_cast<uint8_t>(frame))));
    std::vector<uint8_t> ack;
    EXPECT_TRUE(testing::PumpUntil([&] {
      const auto bytes = line.Line().ReadFor(std::chrono::milliseconds(0));
      ack.insert(ack.end(), bytes.begin(), bytes.end());
      return ack.size() >= sizeof(GbAck);
    }, 1000)) << "frame " << frame << " not acknowledged while the lookup hangs";
  }
  core.reset();
  {
    std::lock_guard lock(server->mutex);
    server->release = true;
  }
  server->released.notify_all();
}

}  // namespace
}  // namespace orvelgate
