// Binding to the socket library.
//
// The socket layer was designed over a socket library that is not linked at
// build time: the program loads it by name when it starts and looks up its 38
// entries by name. Here the "library" is a table owned by this project whose
// entries are bound to the POSIX calls and keep the interface the socket layer
// expects: Windows Sockets error codes (10000-11004), address family 23 for
// IPv6, socket-level options at level 65535 with their Windows numbers, the
// FIONBIO/FIONREAD control codes, and a select() over the project's own
// 64-slot socket set (done with poll). A test can replace the loader to make
// loading fail or to hand out a library with entries missing.
//
// Entries missing from the loaded library stay empty; the wrappers below
// (namespace sockapi) then fail with 10093 "Winsock not initialized" instead
// of calling through an empty pointer.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/Exception.h"

struct sockaddr;
struct addrinfo;
struct hostent;
struct protoent;
struct servent;

namespace qv::net {

using TSocket = intptr_t;
constexpr TSocket INVALID_SOCKET = -1;  // all bits set
constexpr int32_t SOCKET_ERROR = -1;

// Numbers of the socket library's interface (they differ from Linux's own).
constexpr int32_t kAfUnspec = 0;
constexpr int32_t kAfInet = 2;
constexpr int32_t kAfInet6 = 23;
constexpr int32_t kSockStream = 1;
constexpr int32_t kSockDgram = 2;
constexpr int32_t kSockRaw = 3;
constexpr int32_t kIpProtoIp = 0;
constexpr int32_t kIpProtoTcp = 6;
constexpr int32_t kIpProtoUdp = 17;
constexpr int32_t kIpProtoIpv6 = 41;
constexpr int32_t kSolSocket = 65535;
constexpr int32_t kSoReuseAddr = 4;
constexpr int32_t kSoBroadcast = 32;
constexpr int32_t kSoLinger = 128;
constexpr int32_t kSoSndBuf = 4097;
constexpr int32_t kSoRcvBuf = 4098;
constexpr int32_t kSoSndTimeo = 4101;
constexpr int32_t kSoRcvTimeo = 4102;
constexpr int32_t kSoError = 4103;
constexpr int32_t kSoType = 4104;
constexpr int32_t kIpTtl = 4;
constexpr int32_t kIpMulticastTtl = 10;
constexpr int32_t kIpMulticastLoop = 11;
constexpr int32_t kIpv6UnicastHops = 8;
constexpr int32_t kIpv6MulticastHops = 10;
constexpr int32_t kIpv6MulticastLoop = 11;
constexpr int32_t kTcpNoDelay = 1;
constexpr uint32_t kFionbio = 0x8004667Eu;
constexpr uint32_t kFionread = 0x4004667Fu;
constexpr int32_t kMsgOob = 1;
constexpr int32_t kMsgPeek = 2;
constexpr int32_t kAiPassive = 1;
constexpr int32_t kAiCanonName = 2;
constexpr int32_t kAiNumericHost = 4;
constexpr int32_t kNiNoFqdn = 1;
constexpr int32_t kNiNumericHost = 2;
constexpr int32_t kNiNameReqd = 4;
constexpr int32_t kNiNumericServ = 8;
constexpr int32_t kNiDgram = 16;
constexpr int32_t kSdReceive = 0;
constexpr int32_t kSdSend = 1;
constexpr int32_t kSdBoth = 2;

// Windows Sockets error codes the layers set or test themselves.
constexpr int32_t WSAEINTR = 10004;
constexpr int32_t WSAEINVAL = 10022;
constexpr int32_t WSAEWOULDBLOCK = 10035;
constexpr int32_t WSAEINPROGRESS = 10036;
constexpr int32_t WSAENOTSOCK = 10038;
constexpr int32_t WSAENOPROTOOPT = 10042;
constexpr int32_t WSAEPROTONOSUPPORT = 10043;
constexpr int32_t WSAEOPNOTSUPP = 10045;
constexpr int32_t WSAEAFNOSUPPORT = 10047;
constexpr int32_t WSAECONNRESET = 10054;
constexpr int32_t WSAENOBUFS = 10055;
constexpr int32_t WSAETIMEDOUT = 10060;
constexpr int32_t WSAECONNREFUSED = 10061;
constexpr int32_t WSASYSNOTREADY = 10091;
constexpr int32_t WSANOTINITIALISED = 10093;
constexpr int32_t WSATYPE_NOT_FOUND = 10109;
constexpr int32_t WSAHOST_NOT_FOUND = 11001;
constexpr int32_t WSATRY_AGAIN = 11002;
constexpr int32_t WSANO_RECOVERY = 11003;
constexpr int32_t WSANO_DATA = 11004;

// Raised by the socket layer when a socket's RaiseExcept switch is on, and
// when the socket library cannot be loaded at start.
class ENetSocketError : public Exception {
public:
  explicit ENetSocketError(std::string message, int32_t errorCode = 0, std::string errorMessage = {})
      : Exception(std::move(message)), ErrorCode(errorCode), ErrorMessage(std::move(errorMessage)) {}
  int32_t ErrorCode;
  std::string ErrorMessage;
};

// Start-up information filled by WSAStartup.
struct TWSAData {
  uint16_t wVersion = 0;
  uint16_t wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  uint16_t iMaxSockets = 0;
  uint16_t iMaxUdpDg = 0;
  char* lpVendorInfo = nullptr;
};

// The library's socket set: a count and room for 64 handles.
constexpr uint32_t kFDSetSize = 64;
struct TFDSet {
  uint32_t fd_count = 0;
  TSocket fd_array[kFDSetSize] = {};
};
void FDSetZero(TFDSet& set);
// Adding a handle already present, or to a full set, changes nothing.
void FDSetAdd(TFDSet& set, TSocket s);

struct TTimeVal {
  int32_t tv_sec = 0;
  int32_t tv_usec = 0;
};

// A library as the loader hands it out: its entries by name.
struct TSockLibEntry {
  const char* Name;
  void* Proc;
};
using TSockLibImage = std::vector<TSockLibEntry>;

// The project's stand-in for the system socket library (all 38 entries).
const TSockLibImage& PosixSocketLibrary();
// The 38 entry names in lookup order.
const std::vector<const char*>& SocketEntryNames();

// Finds a library by file name; nullptr when it cannot be loaded. The default
// loader knows "ws2_32.dll" (any case) only. A null function restores it.
using TSockLibLoader = std::function<const TSockLibImage*(const std::string& name)>;
void SetSocketLibraryLoader(TSockLibLoader loader);

// Reference-counted load of the library (an empty Stub means "ws2_32.dll").
bool LoadSocketLibrary(const std::string& stub);
void UnloadSocketLibrary();
// The system library itself has getaddrinfo, freeaddrinfo and getnameinfo.
bool SockEnhancedApi();
// Those three came from "wship6.dll" instead.
bool SockWship6Api();
// Guards loading, unloading and every use of the old, non-reentrant
// resolver entries (gethostbyname and friends).
std::recursive_mutex& SocketLibraryLock();

// Start of the socket unit: ignores SIGPIPE, loads the library (raises
// ENetSocketError "Error loading Socket interface (ws2_32.dll)!" with code 0
// when it cannot) and calls WSAStartup(2.2). Runs once; the socket
// constructor calls it. SocketUnitEnd undoes it (WSACleanup, unload).
void SocketUnitStart();
void SocketUnitEnd();
bool SocketUnitStarted();
// The process's start-up record (each socket keeps a copy).
const TWSAData& ProcessWsaData();

// Windows Sockets code for a POSIX errno value; a value with no counterpart
// is returned unchanged (its text is then "Not a Winsock error (n)").
int32_t WsaCodeFromErrno(int32_t err);

// Calls through the loaded library's entries. A missing entry fails with
// SOCKET_ERROR (or the failure value of the call) and last error 10093.
namespace sockapi {
int32_t WSAIoctl(TSocket s, uint32_t code, void* in, uint32_t inLen, void* out, uint32_t outLen,
                 uint32_t* bytesReturned);
int32_t WSAFDIsSet(TSocket s, TFDSet* set);
int32_t CloseSocket(TSocket s);
int32_t IoctlSocket(TSocket s, uint32_t cmd, uint32_t* arg);
int32_t WSAGetLastError();
int32_t WSAStartup(uint16_t version, TWSAData* data);
int32_t WSACleanup();
TSocket Accept(TSocket s, sockaddr* addr, int32_t* addrLen);
int32_t Bind(TSocket s, const sockaddr* addr, int32_t addrLen);
int32_t Connect(TSocket s, const sockaddr* addr, int32_t addrLen);
int32_t GetPeerName(TSocket s, sockaddr* addr, int32_t* addrLen);
int32_t GetSockName(TSocket s, sockaddr* addr, int32_t* addrLen);
int32_t GetSockOpt(TSocket s, int32_t level, int32_t opt, char* value, int32_t* valueLen);
uint32_t HToNL(uint32_t v);
uint16_t HToNS(uint16_t v);
uint32_t InetAddr(const char* text);
std::string InetNtoa(uint32_t netAddr);
int32_t Listen(TSocket s, int32_t backlog);
uint32_t NToHL(uint32_t v);
uint16_t NToHS(uint16_t v);
int32_t Recv(TSocket s, void* buf, int32_t len, int32_t flags);
int32_t RecvFrom(TSocket s, void* buf, int32_t len, int32_t flags, sockaddr* from, int32_t* fromLen);
int32_t Select(int32_t nfds, TFDSet* readFds, TFDSet* writeFds, TFDSet* exceptFds, const TTimeVal* timeout);
int32_t Send(TSocket s, const void* buf, int32_t len, int32_t flags);
int32_t SendTo(TSocket s, const void* buf, int32_t len, int32_t flags, const sockaddr* to, int32_t toLen);
int32_t SetSockOpt(TSocket s, int32_t level, int32_t opt, const char* value, int32_t valueLen);
int32_t Shutdown(TSocket s, int32_t how);
TSocket Socket(int32_t af, int32_t type, int32_t protocol);
hostent* GetHostByAddr(const char* addr, int32_t len, int32_t type);
hostent* GetHostByName(const char* name);
protoent* GetProtoByName(const char* name);
protoent* GetProtoByNumber(int32_t proto);
servent* GetServByName(const char* name, const char* proto);
servent* GetServByPort(int32_t port, const char* proto);
int32_t GetHostName(char* name, int32_t len);
int32_t GetAddrInfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res);
// GetAddrInfo that waits at most timeoutMs for the answer (netresolve.h)
// and fails with WSAETIMEDOUT (10060) after that; 0: as long as it takes.
// The limit holds for the system's own resolver; a library loaded in its
// place is called as it is.
int32_t GetAddrInfoWithin(const char* node, const char* service, const addrinfo* hints, addrinfo** res,
                          int32_t timeoutMs);
void FreeAddrInfo(addrinfo* ai);
int32_t GetNameInfo(const sockaddr* addr, int32_t addrLen, char* host, uint32_t hostLen, char* serv,
                    uint32_t servLen, int32_t flags);
}  // namespace sockapi

}  // namespace qv::net
