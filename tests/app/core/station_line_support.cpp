#include "station_line.h"

#include "app/qt_core_app.h"
#include "station/packet_handler.h"
#include "support/temp_dir.h"

namespace orvelgate::testing {

std::size_t StationLine::PacketsLogged() const {
  const std::filesystem::path log = folder_ / PacketHandler::kDefaultPacketLog;
  if (!std::filesystem::exists(log)) return 0;
  const std::string text = ReadFileText(log);
  std::size_t count = 0;
  for (std::size_t at = text.find("Packsize "); at != std::string::npos;
       at = text.find("Packsize ", at + 1)) {
    ++count;
  }
  return count;
}

bool StationLine::Send(std::span<const uint8_t> bytes) {
  const std::size_t before = PacketsLogged();
  if (!pty_.Write(bytes)) return false;
  return PumpUntil([&] { return PacketsLogged() > before; });
}

bool StationLine::Send(const std::string& bytes) {
  return Send(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace orvelgate::testing
