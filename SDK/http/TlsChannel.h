// sion's TLS channel: one process-wide OpenSSL context (the system's roots, a development CA
// file, the system verifier for chains OpenSSL refuses), sessions kept for resumption, and TLS
// pumped through memory buffers over a Socket (SocketConnection.h), so that every byte obeys
// the exchange's bounds. Internal to sion; OpenSSL stays inside TlsChannel.cpp.
#pragma once

#include <string>

#include "http/SocketConnection.h"

namespace sion {
namespace detail {

// Puts a TLS channel over connection's socket (connected, or tunnelled through a proxy) and
// performs the handshake within bounds: the certificate must name host (or be issued for the
// address host is), and its chain pass OpenSSL's check or, where OpenSSL refuses it, the
// system's verifier. A session of an earlier connection to origin is resumed where there is
// one. Throws kTlsHandshakeMessage, or kCertificateMessage with the reason; the channel stays
// in connection either way, to be closed with it.
void StartTls(Connection& connection, const std::string& host, const std::string& origin,
              const Bounds& bounds);

}  // namespace detail
}  // namespace sion
