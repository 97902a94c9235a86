#include "app/main_config.h"

namespace orvelgate {

MainConfig ReadMainConfig(const IniFile& ini) {
  const MainConfig d;
  MainConfig c;
  c.ComPort = ini.ReadString("main", "ComPort", d.ComPort);
  c.ComBaudRate = ini.ReadString("main", "ComBaudRate", d.ComBaudRate);
  c.NoticeFileNumber = ini.ReadInteger("main", "n_abs", d.NoticeFileNumber);
  c.Name = ini.ReadInteger("main", "name", d.Name);
  c.FirstNumber = ini.ReadInteger("main", "FirstNumber", d.FirstNumber);
  c.SpoolPrefix = ini.ReadString("main", "PathForSoob", d.SpoolPrefix);
  c.T7Host = ini.ReadString("main", "host", d.T7Host);
  c.DropUndeliveredT8 = ini.ReadBool("main", "NotSendToDiskT8", d.DropUndeliveredT8);
  c.Attention = ParseAttention(ini.ReadString("main", "Attention", "00:10:00"));
  c.Log = ini.ReadBool("main", "Log", d.Log);
  c.SendT7 = ini.ReadBool("main", "SendT7", d.SendT7);
  c.SendT8 = ini.ReadBool("main", "SendT8", d.SendT8);
  return c;
}

ServerHostConfig ReadServerHostConfig(const IniFile& ini) {
  const ServerHostConfig d;
  ServerHostConfig c;
  c.Address = ini.ReadString("ServerHost", "Address", d.Address);
  c.Port = ini.ReadInteger("ServerHost", "Port", d.Port);
  c.PacketSize = ini.ReadInteger("ServerHost", "PacketSize", d.PacketSize);
  return c;
}

MainConfig LoadMainConfig(const std::string& path) {
  return ReadMainConfig(IniFile::Load(path));
}

ServerHostConfig LoadServerHostConfig(const std::string& path) {
  return ReadServerHostConfig(IniFile::Load(path));
}

}  // namespace orvelgate
