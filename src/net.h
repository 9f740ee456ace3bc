// Connections to a target and the transfers over them, shared by every
// program that talks to one: finding the board by name, how long a board
// that is off or gone may hold us, and how a busy board is told from a
// vanished one.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// A target that stays completely silent this long while we wait on it,
// with what we last sent it unanswered, has vanished (power cut, cable
// pulled). A live one answers at the TCP level however busy it is.
inline constexpr int DEAD_PEER_MS = 25000;
// How long a connect may take: a board that is off answers nothing, and the
// kernel's own SYN retries would hold a run for two minutes.
inline constexpr int CONNECT_TIMEOUT_MS = 25000;

// Keepalive, so that a target silent while nothing is in flight is probed,
// and one-second time-outs on blocking sends and receives, so that
// send_all and recv_all look at the peer while they wait.
void enable_dead_peer_detection(int sock);

// What peer_vanished remembers between two looks at one connection.
struct peer_watch {
  int64_t unanswered_since_ms = -1;  // when we first saw our sending unanswered
};

// True once the peer has been silent for DEAD_PEER_MS and has left our
// retransmissions or probes unanswered for a while. Call it whenever a wait
// on sock has gone on for a second or so. Never true for a socket that is
// not TCP.
bool peer_vanished(int sock, peer_watch *watch, int64_t now_ms);

// Milliseconds of a clock that only goes forward.
int64_t monotonic_ms();

// For a transfer that found sock not ready: false, with errno ETIMEDOUT,
// when the peer has vanished; otherwise true once it is worth trying again
// (on a non-blocking socket, after waiting up to a second for events,
// POLLIN or POLLOUT; a blocking one has waited in the call already).
bool keep_waiting(int sock, short events, peer_watch *watch);

// Connects sock to target within CONNECT_TIMEOUT_MS. 0, or -1 with errno
// (ETIMEDOUT when the board never answered). sock is left blocking.
int connect_bounded(int sock, const sockaddr_in &target);

// Turns Nagle's algorithm off for the rest of the connection: what is sent
// goes out without waiting on the peer's acknowledgements.
void send_without_delay(int sock);

// From now on the kernel sends only full segments, however small the sends
// that fill them, until push_queued. For a stream of small sends that must
// neither go out as runts nor wait on acknowledgements.
void hold_partial_segments(int sock);

// Sends what is queued at once rather than holding it for a full segment
// or for the peer's delayed acknowledgement, and keeps Nagle's algorithm
// off from now on: for after the last image byte, however the stream ended.
void push_queued(int sock);

// The first IPv4 address of host: nullptr with *address set, or why the
// name does not resolve (the resolver's text, or errno's for a system
// error).
const char *resolve_host(const char *host, in_addr *address);

// address as dotted decimal, the way every message and report shows a
// board's address.
void address_text(const in_addr &address, char (&text)[INET_ADDRSTRLEN]);

// Sends all n bytes, continuing partial sends and retrying EINTR. A closed
// peer fails the call with EPIPE instead of raising SIGPIPE, a vanished one
// with ETIMEDOUT (see keep_waiting); a busy one is waited for. Returns n,
// or -1 with errno set.
ssize_t send_all(int fd, const void *buf, size_t n);

// Receives exactly n bytes unless the peer closes or vanishes first.
// Returns n, the count gathered before an orderly close (less than n), or
// -1 with errno set.
ssize_t recv_all(int fd, void *buf, size_t n);
