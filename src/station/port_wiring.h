#pragma once
// The station's serial line wired to the packet handler: every packet the port delivers
// goes to HandlePacket, and the acknowledgements the handler makes go
// back out on the same port.

#include <span>

#include "station/serial_port.h"
#include "station/packet_handler.h"
#include "station/packet_handler_host.h"

namespace orvelgate {

// Sets the port's OnReceivePacket to the handler. Both must outlive the connection.
void ConnectPacketHandler(SerialPort& port, PacketHandler& handler);

// A host that writes acknowledgements to the port (with its bounded wait, result not
// awaited) and passes everything else on to `rest`, the application core.
class PortAckHost final : public PacketHandlerHost {
 public:
  PortAckHost(SerialPort& port, PacketHandlerHost& rest) : port_(port), rest_(rest) {}

  void SendBytes(std::span<const uint8_t> bytes) override;
  void RouteEvent(const EventRecord& current) override { rest_.RouteEvent(current); }
  void DrawStationIndicator() override { rest_.DrawStationIndicator(); }
  void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                         DayCount time) override {
    rest_.SendT7EventReport(account, code, group, time);
  }
  void ReportPacketProblem(PacketProblem problem) override { rest_.ReportPacketProblem(problem); }

 private:
  SerialPort& port_;
  PacketHandlerHost& rest_;
};

}  // namespace orvelgate
