// A second baseline of the `add` benchmark, for scale: a program that only
// imports WSOCK32 and starts and stops Winsock, as varnick.exe must. Under
// Wine, loading WSOCK32 brings WS2_32, IPHLPAPI, NSI, DNSAPI, ADVAPI32 and
// SECHOST along, so this is the floor of `add` above an empty program.
#include <winsock2.h>

int wmain() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  WSACleanup();
  return 0;
}
