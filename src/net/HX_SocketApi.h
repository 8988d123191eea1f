#pragma once
// IPv4 TCP socket helpers of the reactor. Each returns -1 on failure after one
// WARNING line located at its own name (composite helpers add their own line
// on top). A returned descriptor belongs to the caller (HX_UniqueFd owns one).
// Safe to call from any thread.
#include <netinet/in.h>
#include <sys/socket.h>

// A blocking IPv4 TCP socket with address reuse and no-delay on.
int HX_CreateSocket();
// Binds and listens (backlog 511). Does not close |fd| on failure.
int HX_Listen(int fd, const struct sockaddr_in& address);
// True for the errors of a process or system out of descriptors or socket
// memory: the accept helpers leave those unlogged (errno kept) for the caller,
// which reports them once per episode instead of once per attempt.
bool HX_IsDescriptorExhaustion(int error);
// Accepts one connection, retrying when a signal interrupts the call. errno
// is the accept's own on failure.
int HX_GenericAccept(int listenFd, struct sockaddr* address, socklen_t* addressLength);
int HX_NonBlock(int fd);
// Accepts one connection and reports the peer's dotted-decimal address (into
// |ip|, at least 16 bytes, when given) and port (host order, when given).
int HX_TcpAccept(int listenFd, char* ip, int* port);
// A listening socket on |bindAddress| (dotted decimal; null = all interfaces).
// Address reuse stays on so that a restart does not fail while old connections
// linger in TIME_WAIT; Linux still refuses a second listener on the port.
int HX_TcpServer(int port, const char* bindAddress);
