#pragma once
// The station's serial line wired to the packet handler: every packet the port delivers
// goes to HandlePacket. (The acknowledgements go back out through the handler's host.)

#include "station/serial_port.h"
#include "station/packet_handler.h"

namespace orvelgate {

// Sets the port's OnReceivePacket to the handler. Both must outlive the connection.
void ConnectPacketHandler(SerialPort& port, PacketHandler& handler);

}  // namespace orvelgate
