#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "common/failure.h"
#include "t7link/host_lookup.h"

namespace orvelgate {

ResolveAnswer ResolveHostIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the T7 socket is IPv4
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (code != 0) {
    const int err = errno;
    return {{}, code == EAI_SYSTEM ? Failure::FromErrno(err, "")
                                   : Failure::FromText(AddressLookupText(code, 0))};
  }
  ResolveAnswer answer;
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
    if (std::find(answer.addresses.begin(), answer.addresses.end(), address) ==
        answer.addresses.end())
      answer.addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (answer.addresses.empty()) answer.failure = Failure::FromText("no IPv4 address for the host");
  return answer;
}

std::optional<uint32_t> ParseNumericIPv4(const std::string& host) {
  in_addr dotted{};
  if (host.empty() || inet_aton(host.c_str(), &dotted) == 0) return std::nullopt;
  return dotted.s_addr;
}

}  // namespace orvelgate
