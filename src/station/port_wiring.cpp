#include "station/port_wiring.h"

namespace orvelgate {

void ConnectPacketHandler(SerialPort& port, PacketHandler& handler) {
  port.OnReceivePacket = [&handler](const uint8_t* packet, uint32_t size) {
    handler.HandlePacket(packet, size);
  };
}

}  // namespace orvelgate
