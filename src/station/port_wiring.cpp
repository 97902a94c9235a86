#include "station/port_wiring.h"

namespace orvelgate {

void ConnectPacketHandler(SerialPort& port, PacketHandler& handler) {
  port.OnReceivePacket = [&handler](const uint8_t* packet, uint32_t size) {
    handler.HandlePacket(packet, size);
  };
}

void PortAckHost::SendBytes(std::span<const uint8_t> bytes) {
  // A short write is not detected: the station sends the frame again if it must.
  port_.SendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace orvelgate
