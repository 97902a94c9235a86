#include "app/main_config.h"

namespace orvelgate {

MainConfig ReadMainConfig(const IniFile& ini) {
  const MainConfig d;
  MainConfig c;
  c.ComPort = ini.ReadString("main", "ComPort", d.ComPort);
  c.ComBaudRate = ini.ReadString("main", "ComBaudRate", d.ComBaudRate);
  c.n_abs = ini.ReadInteger("main", "n_abs", d.n_abs);
  c.name = ini.ReadInteger("main", "name", d.name);
  c.FirstNumber = ini.ReadInteger("main", "FirstNumber", d.FirstNumber);
  c.PathForSoob = ini.ReadString("main", "PathForSoob", d.PathForSoob);
  c.host = ini.ReadString("main", "host", d.host);
  c.NotSendToDiskT8 = ini.ReadBool("main", "NotSendToDiskT8", d.NotSendToDiskT8);
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
